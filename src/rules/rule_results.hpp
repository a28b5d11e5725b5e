// The results of evaluating a rule set: each rule's value or failure per record, the
// RuleError values that stand for failures, and the results in the caller's form.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "rules/record_columns.hpp"
#include "rules/rule_failure.hpp"
#include "support/py_ref.hpp"
#include "vrel/value.hpp"

namespace vrelpy::rules {

// One rule's result for one record: a number or boolean in place; any other value, and a
// failure, kept beside the table in the extras of its batch.
struct Outcome {
  enum class Kind : std::uint8_t { Null, Int, Float, Bool, Other, Error };
  Kind kind = Kind::Null;
  std::uint32_t extra = 0;  // Other, Error: the index in the batch's extras
  std::uint64_t bits = 0;   // Int, Float, Bool: the value's bits

  std::int64_t as_int() const noexcept { return static_cast<std::int64_t>(bits); }
  double as_float() const noexcept { return std::bit_cast<double>(bits); }
  bool as_bool() const noexcept { return bits != 0; }
};

// Every outcome, rule by rule: each rule's kinds and bits are a column of their own, so that
// typed results leave as one copy per rule and lanes of records write runs of consecutive
// cells. The records are split into batches of `batch` records; each batch is evaluated by
// one worker, which alone writes its rows and its extras, and the table is read only after
// every worker has stopped: nothing in it needs a lock.
class ResultTable {
 public:
  // The cells start unset: evaluation writes every one of them. Their memory is lent by a
  // cache that keeps the last table's (up to a bound), so that evaluating table after table
  // does not make the kernel find and clear fresh pages for them every time, which costs
  // more than filling them and does not get faster with more threads. Throws std::bad_alloc
  // when memory runs out.
  ResultTable(std::size_t rows, std::size_t rules, std::size_t batch);
  ~ResultTable();
  ResultTable(const ResultTable&) = delete;
  ResultTable& operator=(const ResultTable&) = delete;

  void set_value(std::size_t row, std::size_t rule, const vrel::Value& value);
  // `failure` may be borrowed (see borrowed_failure) from an owner that outlives the table.
  void set_error(std::size_t row, std::size_t rule, FailureRef failure);
  // A number or boolean: kind Int, Float or Bool, with its bits.
  void set_plain(std::size_t row, std::size_t rule, Outcome::Kind kind,
                 std::uint64_t bits) noexcept {
    kinds_[rule * rows_ + row] = kind;
    bits_[rule * rows_ + row] = bits;
  }

  Outcome at(std::size_t row, std::size_t rule) const noexcept {
    Outcome o;
    o.kind = kinds_[rule * rows_ + row];
    // Other and Error keep their index in the extras where the others keep their bits.
    if (o.kind == Outcome::Kind::Other || o.kind == Outcome::Kind::Error) {
      o.extra = static_cast<std::uint32_t>(bits_[rule * rows_ + row]);
    } else {
      o.bits = bits_[rule * rows_ + row];
    }
    return o;
  }
  bool failed(std::size_t row, std::size_t rule) const noexcept {
    return kinds_[rule * rows_ + row] == Outcome::Kind::Error;
  }
  // Precondition: failed(row, rule).
  const RuleFailure& error(std::size_t row, std::size_t rule) const noexcept {
    return *extras_[row / batch_].errors[at(row, rule).extra];
  }
  // The value of a rule that did not fail: a number, boolean or null made in `scratch`.
  const vrel::Value& value(std::size_t row, std::size_t rule, vrel::Value& scratch) const;

  // One rule's column: the kinds and the bits of every record.
  const Outcome::Kind* kinds(std::size_t rule) const noexcept { return kinds_ + rule * rows_; }
  const std::uint64_t* bits(std::size_t rule) const noexcept { return bits_ + rule * rows_; }

  std::size_t rules() const noexcept { return rules_; }
  std::size_t rows() const noexcept { return rows_; }

  struct Cells;  // the memory of the cells (rule_results.cpp)

 private:
  struct Extras {
    std::vector<vrel::Value> values;
    std::vector<FailureRef> errors;
  };
  std::size_t rows_;
  std::size_t rules_;
  std::size_t batch_;
  std::unique_ptr<Cells> cells_;  // the memory of kinds_ and bits_, lent by the cache
  Outcome::Kind* kinds_;
  std::uint64_t* bits_;
  std::vector<Extras> extras_;
};

// The process-wide `vrelpy.RuleError` type (borrowed; created on first use under the
// interpreter lock, kept for the process's life). Null with an exception pending.
PyObject* rule_error_type();

// The results in the form the records came in: a list of dicts (Records), a dict of lists
// (Columns), a dict of numpy arrays (NumpyColumns: typed where a rule gave only numbers or
// only booleans, else of objects), a pandas DataFrame (DataFrame) or an object exporting an Arrow
// stream (Arrow). `rule_names` holds each rule's name object; `program` is the one evaluated
// (its rules say how their failures are placed). Null with an exception pending.
PyRef results_to_python(const ResultTable& results, RecordForm form,
                        const std::vector<PyRef>& rule_names, const RuleProgram& program);

}  // namespace vrelpy::rules
