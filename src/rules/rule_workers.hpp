// Evaluating a rule set's records on worker threads, each with a machine of its own.
#pragma once

#include <cstddef>

#include "rules/record_columns.hpp"
#include "rules/rule_program.hpp"
#include "rules/rule_results.hpp"

namespace vrelpy::rules {

// Records handed to a worker at a time: small enough to share the work evenly between
// threads, large enough that taking them costs nothing next to evaluating them. Batches
// start at multiples of it (ResultTable keeps its extras per batch).
inline constexpr std::size_t kRecordBatch = 256;

// Evaluates every record of `records` with `program` on `workers` threads (at least 1) and
// fills `results`. Called with the interpreter lock held; gives it up while the workers run,
// taking it back every 20 ms to run pending signal handlers: a handler that raises (Ctrl-C)
// stops the workers within a few steps of their rules and the exception is returned.
//
// Each record starts from the state the setup left: the worker's machine is marked after the
// setup and reset after each record. A rule that fails gets its message as its outcome and
// leaves its name unbound for the later rules; no failure of a rule writes a report.
// Returns false with an exception pending when the evaluation as a whole failed (a signal
// handler raised, the setup failed, memory ran out); a fatal error of the setup is thrown as
// vrel::FatalError, for the entry point's guard.
bool evaluate_records(const RuleProgram& program, const RecordTable& records, ResultTable& results,
                      std::size_t workers);

}  // namespace vrelpy::rules
