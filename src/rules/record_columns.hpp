// The records a rule set evaluates, as columns that worker threads read without Python
// objects: typed views of buffers, or values converted once under the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "rules/rule_program.hpp"
#include "support/py_ref.hpp"
#include "vrel/detail/record_lanes.hpp"
#include "vrel/machine.hpp"
#include "vrel/value.hpp"

namespace vrelpy::rules {

// One input of every record. Guarded by nothing: built under the interpreter lock before
// the workers start, only read while they run, and released (buffers given back) under the
// lock after they have all stopped.
class InputColumn {
 public:
  // What an element is stored as.
  enum class Kind : std::uint8_t {
    Int64,
    Int32,
    Int16,
    Int8,
    UInt64,
    UInt32,
    UInt16,
    UInt8,
    Float64,
    Float32,
    Bool,
    Utf8,
    LargeUtf8,
    Utf8View,
    Values
  };

  // A column of converted values; `present[i]` false leaves the input unbound in record i.
  static InputColumn of_values(std::vector<vrel::Value> values, std::vector<bool> present);
  // A column over a buffer's items (the buffer, kept by `owner`, outlives the column's use);
  // `validity` is an Arrow validity bitmap (bit i clear: record i lacks the input) or null.
  // A Bool column of stride 0 is bit-packed (Arrow). Texts: `data` is the Arrow offsets
  // (Utf8: int32, LargeUtf8: int64) or views (Utf8View), `text_buffers` the character data.
  static InputColumn of_buffer(Kind kind, const char* data, std::ptrdiff_t stride,
                               const std::uint8_t* validity, std::int64_t offset,
                               std::shared_ptr<void> owner,
                               std::vector<const char*> text_buffers = {});
  InputColumn(InputColumn&&) noexcept = default;
  InputColumn& operator=(InputColumn&&) noexcept = default;

  // Binds record `row`'s value at `place`, or leaves it unbound (after a reset, unbound is
  // what the place already is).
  void bind(const vrel::Machine& machine, vrel::Machine::Place place, std::size_t row) const;

  // Records `row` to `row + n` (n <= kLanes) as lanes: numbers and booleans as they would
  // be bound, anything else (a text, a missing input, null) as Other.
  void fill_lanes(std::size_t row, std::size_t n, vrel::detail::Lanes& out) const;
  // Whether lanes can hold this column's values at all (texts never fit).
  bool fits_lanes() const noexcept {
    return kind_ != Kind::Utf8 && kind_ != Kind::LargeUtf8 && kind_ != Kind::Utf8View;
  }

 private:
  InputColumn() = default;
  Kind kind_ = Kind::Values;
  const char* data_ = nullptr;
  std::ptrdiff_t stride_ = 0;
  const std::uint8_t* validity_ = nullptr;
  std::int64_t offset_ = 0;
  std::shared_ptr<void> owner_;
  std::vector<const char*> text_buffers_;
  std::vector<vrel::Value> values_;
  std::vector<bool> present_;
};

// The buffer-protocol item format `format` as a column kind; false for formats read
// through Python objects instead.
bool kind_of_format(const char* format, InputColumn::Kind& out);

// A run of consecutive records: one column per input of the program, in its order.
struct RecordChunk {
  std::size_t rows = 0;
  std::vector<InputColumn> columns;
};

// The records, in chunks (an Arrow stream comes in batches; every other form is one chunk).
// Built under the interpreter lock, read by the workers, destroyed under the lock.
struct RecordTable {
  std::size_t rows = 0;
  std::vector<RecordChunk> chunks;
};

// The form the records came in, which decides the form of the results.
enum class RecordForm : std::uint8_t { Records, Columns, NumpyColumns, DataFrame, Polars, Arrow };

// Reads `records` (an iterable of mappings, a mapping of columns, or an object with
// __arrow_c_stream__) into `out`. A column missing from columnar input raises ValueError
// naming it; columns of unequal length raise ValueError. False with the error pending.
bool read_records(PyObject* records, const RuleProgram& program, RecordTable& out,
                  RecordForm& form);

}  // namespace vrelpy::rules
