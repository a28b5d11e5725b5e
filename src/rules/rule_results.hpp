// The results of evaluating a rule set: each rule's value or failure per record, the
// RuleError values that stand for failures, and the results in the caller's form.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "rules/record_columns.hpp"
#include "support/py_ref.hpp"
#include "vrel/value.hpp"

namespace vrelpy::rules {

// One rule's result for one record: a value, or the message of its failure.
struct Outcome {
  vrel::Value value;
  std::unique_ptr<std::string> error;  // set when the rule failed
};

// Every outcome, record by record. Each worker writes only the rows of the records it
// evaluates, and the table is read only after every worker has stopped: rows need no lock.
class ResultTable {
 public:
  ResultTable(std::size_t rows, std::size_t rules) : rules_(rules), cells_(rows * rules) {}
  Outcome& at(std::size_t row, std::size_t rule) noexcept { return cells_[row * rules_ + rule]; }
  const Outcome& at(std::size_t row, std::size_t rule) const noexcept {
    return cells_[row * rules_ + rule];
  }
  std::size_t rules() const noexcept { return rules_; }
  std::size_t rows() const noexcept { return rules_ ? cells_.size() / rules_ : 0; }

 private:
  std::size_t rules_;
  std::vector<Outcome> cells_;
};

// The process-wide `vrelpy.RuleError` type (borrowed; created on first use under the
// interpreter lock, kept for the process's life). Null with an exception pending.
PyObject* rule_error_type();

// The results in the form the records came in: a list of dicts (Records), a dict of lists
// (Columns), a pandas DataFrame (DataFrame) or an object exporting an Arrow stream (Arrow).
// `rule_names` holds each rule's name object. Null with an exception pending.
PyRef results_to_python(const ResultTable& results, RecordForm form,
                        const std::vector<PyRef>& rule_names);

}  // namespace vrelpy::rules
