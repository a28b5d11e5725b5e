// Execution of vrel programs against a machine.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "vrel/fatal.hpp"
#include "vrel/machine.hpp"
#include "vrel/syntax_tree.hpp"
#include "vrel/value.hpp"

namespace vrel {

// Every run below is bounded by the machine's limits (RunLimits), read as it starts, and
// calls the host's interrupt check now and then (set_interrupt_check).

// Executes `program` statement by statement against `machine`, consuming it. A fatal
// error (FatalError) abandons the rest; bindings made before it stay.
void deduce(const Machine& machine, std::vector<Statement> program);

// Executes the statements pointed to by `program` without consuming them: the trees stay
// as they are (literal values are copied, function objects cloned as they are installed),
// so a host can run the same statements again without copying them first. Otherwise
// behaves exactly as the consuming form.
void deduce_borrowed(const Machine& machine, std::span<const Statement* const> program);

// deduce_borrowed, with the fatal error of the run returned instead of thrown (nullopt when
// the run completed), its place complete. The common failures of statements that have run
// before (a type error, an unbound variable) then reach the caller without any unwinding,
// which costs microseconds: a host that runs rules over dirty data calls this. A failed
// allocation (std::bad_alloc) and a forced unwind still pass through as exceptions.
std::optional<FatalError> run_borrowed(const Machine& machine,
                                       std::span<const Statement* const> program);

// Evaluates `expression`, consuming it (though never a Shared subtree, which is only read).
// The result is a new shared value, except where the expression's value already has one:
// a variable read returns the stored value itself, and a Constant its own value, whether
// they stand at the top or behind a Shared node. May raise FatalError.
SharedValue deduce_expr(const Machine& machine, Expr expression);

}  // namespace vrel
