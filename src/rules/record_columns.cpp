// The records a rule set evaluates: reading records and columns into typed columns, and
// binding one record's inputs.
#include "rules/record_columns.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "conversion/conversion.hpp"
#include "rules/arrow_import.hpp"
#include "runtime/errors.hpp"
#include "support/messages.hpp"

namespace vrelpy::rules {

InputColumn InputColumn::of_values(std::vector<vrel::Value> values, std::vector<bool> present) {
  InputColumn c;
  c.kind_ = Kind::Values;
  c.values_ = std::move(values);
  c.present_ = std::move(present);
  return c;
}

InputColumn InputColumn::of_buffer(Kind kind, const char* data, std::ptrdiff_t stride,
                                   const std::uint8_t* validity, std::int64_t offset,
                                   std::shared_ptr<void> owner,
                                   std::vector<const char*> text_buffers) {
  InputColumn c;
  c.kind_ = kind;
  c.data_ = data;
  c.stride_ = stride;
  c.validity_ = validity;
  c.offset_ = offset;
  c.owner_ = std::move(owner);
  c.text_buffers_ = std::move(text_buffers);
  return c;
}

namespace {

template <class T>
T load(const char* at) noexcept {
  T v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

}  // namespace

void InputColumn::bind(const vrel::Machine& machine, vrel::Machine::Place place,
                       std::size_t row) const {
  if (kind_ == Kind::Values) {
    if (present_[row]) machine.bind(place, values_[row]);
    return;
  }
  if (validity_) {
    const std::uint64_t bit = static_cast<std::uint64_t>(offset_) + row;
    if (!((validity_[bit >> 3] >> (bit & 7)) & 1)) return;
  }
  const char* at = data_ + (offset_ + static_cast<std::ptrdiff_t>(row)) * stride_;
  switch (kind_) {
    case Kind::Int64:
      return machine.bind(place, vrel::Value::integer(load<std::int64_t>(at)));
    case Kind::Int32:
      return machine.bind(place, vrel::Value::integer(load<std::int32_t>(at)));
    case Kind::Int16:
      return machine.bind(place, vrel::Value::integer(load<std::int16_t>(at)));
    case Kind::Int8:
      return machine.bind(place, vrel::Value::integer(load<std::int8_t>(at)));
    case Kind::UInt64: {
      // Beyond the language's ints: a float, as Expr.literal converts such an int.
      const auto v = load<std::uint64_t>(at);
      return machine.bind(place, v > static_cast<std::uint64_t>(INT64_MAX)
                                     ? vrel::Value::floating(static_cast<double>(v))
                                     : vrel::Value::integer(static_cast<std::int64_t>(v)));
    }
    case Kind::UInt32:
      return machine.bind(place, vrel::Value::integer(load<std::uint32_t>(at)));
    case Kind::UInt16:
      return machine.bind(place, vrel::Value::integer(load<std::uint16_t>(at)));
    case Kind::UInt8:
      return machine.bind(place, vrel::Value::integer(load<std::uint8_t>(at)));
    case Kind::Float64:
      return machine.bind(place, vrel::Value::floating(load<double>(at)));
    case Kind::Float32:
      return machine.bind(place, vrel::Value::floating(load<float>(at)));
    case Kind::Bool:
      if (stride_ == 0) {  // an Arrow bit-packed boolean column
        const std::uint64_t bit = static_cast<std::uint64_t>(offset_) + row;
        const auto* bits = reinterpret_cast<const std::uint8_t*>(data_);
        return machine.bind(place, vrel::Value::boolean((bits[bit >> 3] >> (bit & 7)) & 1));
      }
      return machine.bind(place, vrel::Value::boolean(*at != 0));
    case Kind::Utf8: {
      const auto* offsets = reinterpret_cast<const std::int32_t*>(data_) + offset_ + row;
      return machine.bind(place, vrel::Value::string(std::string(
                                     text_buffers_[0] + offsets[0],
                                     static_cast<std::size_t>(offsets[1] - offsets[0]))));
    }
    case Kind::LargeUtf8: {
      const auto* offsets = reinterpret_cast<const std::int64_t*>(data_) + offset_ + row;
      return machine.bind(place, vrel::Value::string(std::string(
                                     text_buffers_[0] + offsets[0],
                                     static_cast<std::size_t>(offsets[1] - offsets[0]))));
    }
    case Kind::Utf8View: {
      // 16 bytes a view: the length, then up to 12 bytes inline, or a 4-byte prefix, the
      // data buffer's index and the offset in it.
      const char* view = data_ + (offset_ + static_cast<std::int64_t>(row)) * 16;
      const auto length = static_cast<std::size_t>(load<std::int32_t>(view));
      if (length <= 12) {
        return machine.bind(place, vrel::Value::string(std::string(view + 4, length)));
      }
      const auto buffer = static_cast<std::size_t>(load<std::int32_t>(view + 8));
      const auto at = load<std::int32_t>(view + 12);
      return machine.bind(place,
                          vrel::Value::string(std::string(text_buffers_[buffer] + at, length)));
    }
    case Kind::Values:
      return;
  }
}

namespace {

using vrel::detail::LaneKind;
using vrel::detail::Lanes;

template <class T, class F>
void fill_typed(const char* data, std::ptrdiff_t stride, std::size_t n, Lanes& out, LaneKind kind,
                F bits_of) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    out.bits[i] = bits_of(load<T>(data + static_cast<std::ptrdiff_t>(i) * stride));
  }
  std::memset(out.kind, static_cast<int>(kind), n);
}

}  // namespace

void InputColumn::fill_lanes(std::size_t row, std::size_t n, Lanes& out) const {
  const auto as_int = [](auto v) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
  };
  const auto as_float = [](auto v) { return std::bit_cast<std::uint64_t>(static_cast<double>(v)); };
  if (kind_ == Kind::Values) {
    for (std::size_t i = 0; i < n; ++i) {
      if (present_[row + i]) {
        vrel::detail::lane_of(values_[row + i], out.kind[i], out.bits[i]);
      } else {
        out.kind[i] = LaneKind::Other;
        out.bits[i] = 0;
      }
    }
  } else {
    const char* at = data_ + (offset_ + static_cast<std::ptrdiff_t>(row)) * stride_;
    switch (kind_) {
      case Kind::Int64:
        fill_typed<std::int64_t>(at, stride_, n, out, LaneKind::Int, as_int);
        break;
      case Kind::Int32:
        fill_typed<std::int32_t>(at, stride_, n, out, LaneKind::Int, as_int);
        break;
      case Kind::Int16:
        fill_typed<std::int16_t>(at, stride_, n, out, LaneKind::Int, as_int);
        break;
      case Kind::Int8:
        fill_typed<std::int8_t>(at, stride_, n, out, LaneKind::Int, as_int);
        break;
      case Kind::UInt64:
        // Beyond the language's ints: a float, as bind makes it.
        for (std::size_t i = 0; i < n; ++i) {
          const auto v = load<std::uint64_t>(at + static_cast<std::ptrdiff_t>(i) * stride_);
          const bool big = v > static_cast<std::uint64_t>(INT64_MAX);
          out.kind[i] = big ? LaneKind::Float : LaneKind::Int;
          out.bits[i] = big ? as_float(v) : v;
        }
        break;
      case Kind::UInt32:
        fill_typed<std::uint32_t>(at, stride_, n, out, LaneKind::Int, as_int);
        break;
      case Kind::UInt16:
        fill_typed<std::uint16_t>(at, stride_, n, out, LaneKind::Int, as_int);
        break;
      case Kind::UInt8:
        fill_typed<std::uint8_t>(at, stride_, n, out, LaneKind::Int, as_int);
        break;
      case Kind::Float64:
        fill_typed<double>(at, stride_, n, out, LaneKind::Float, as_float);
        break;
      case Kind::Float32:
        fill_typed<float>(at, stride_, n, out, LaneKind::Float, as_float);
        break;
      case Kind::Bool:
        if (stride_ == 0) {  // an Arrow bit-packed boolean column
          const auto* bits = reinterpret_cast<const std::uint8_t*>(data_);
          for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t bit = static_cast<std::uint64_t>(offset_) + row + i;
            out.bits[i] = (bits[bit >> 3] >> (bit & 7)) & 1;
          }
          std::memset(out.kind, static_cast<int>(LaneKind::Bool), n);
        } else {
          fill_typed<std::uint8_t>(at, stride_, n, out, LaneKind::Bool,
                                   [](std::uint8_t v) -> std::uint64_t { return v != 0; });
        }
        break;
      default:  // texts
        std::memset(out.kind, static_cast<int>(LaneKind::Other), n);
        std::fill_n(out.bits, n, 0);
        break;
    }
    if (validity_) {
      for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t bit = static_cast<std::uint64_t>(offset_) + row + i;
        if (!((validity_[bit >> 3] >> (bit & 7)) & 1)) out.kind[i] = LaneKind::Other;
      }
    }
  }
  LaneKind u = n ? out.kind[0] : LaneKind::Other;
  for (std::size_t i = 1; i < n && u != LaneKind::Other; ++i) {
    if (out.kind[i] != u) u = LaneKind::Other;
  }
  out.uniform = u;
}

bool kind_of_format(const char* format, InputColumn::Kind& out) {
  using K = InputColumn::Kind;
  if (!format) format = "B";
  // Native or little-endian standard sizes; the machine is little-endian.
  if (*format == '@' || *format == '=' || *format == '<') ++format;
  if (format[0] == '\0' || format[1] != '\0') return false;
  switch (format[0]) {
    case 'q':
    case 'l':
      out = K::Int64;
      return true;
    case 'i':
      out = K::Int32;
      return true;
    case 'h':
      out = K::Int16;
      return true;
    case 'b':
      out = K::Int8;
      return true;
    case 'Q':
    case 'L':
      out = K::UInt64;
      return true;
    case 'I':
      out = K::UInt32;
      return true;
    case 'H':
      out = K::UInt16;
      return true;
    case 'B':
      out = K::UInt8;
      return true;
    case 'd':
      out = K::Float64;
      return true;
    case 'f':
      out = K::Float32;
      return true;
    case '?':
      out = K::Bool;
      return true;
    default:
      return false;
  }
}

namespace {

// The value of a field as a binding stores it: numbers without the general conversion.
bool field_value(PyObject* obj, vrel::Value& out) {
  if (take_plain_number(obj, [&](auto make) { out = make(); })) return true;
  return extract_value(obj, out);
}

// ValueError "records lack the input <name>" (the repr of the name).
bool raise_missing(const vrel::Identifier& id) {
  PyRef name = identifier_to_python(id);
  if (!name) return false;
  PyErr_Format(PyExc_ValueError, msg::kRulesMissingColumnFormat, name.get());
  return false;
}

// A column object read through the buffer protocol, when it has one with a numeric format
// and one dimension. False with nothing pending when it has none (`read` false);
// false with an error pending when reading failed.
bool buffer_column(PyObject* column, InputColumn& out, std::size_t& rows, bool& read) {
  read = false;
  if (!PyObject_CheckBuffer(column) || PyUnicode_Check(column) || PyBytes_Check(column)) {
    return true;
  }
  auto view = std::make_shared<Py_buffer>();
  if (PyObject_GetBuffer(column, view.get(), PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
    PyErr_Clear();
    return true;
  }
  // Released with the column, under the interpreter lock (the table dies in evaluate).
  std::shared_ptr<Py_buffer> owner(view.get(), [view](Py_buffer* b) { PyBuffer_Release(b); });
  InputColumn::Kind kind;
  if (view->ndim != 1 || !kind_of_format(view->format, kind)) return true;
  if (kind == InputColumn::Kind::Bool && view->itemsize != 1) return true;
  rows = static_cast<std::size_t>(view->shape[0]);
  out = InputColumn::of_buffer(kind, static_cast<const char*>(view->buf), view->strides[0], nullptr,
                               0, owner);
  read = true;
  return true;
}

// A column of Python objects, each converted once (None is null, as a binding makes it).
bool object_column(PyObject* column, InputColumn& out, std::size_t& rows) {
  std::vector<vrel::Value> values;
  std::vector<bool> present;
  values.reserve(reported_size(column));
  const bool complete = for_each_item(column, [&](PyRef item) {
    vrel::Value v;
    if (!field_value(item.get(), v)) return false;
    values.push_back(std::move(v));
    present.push_back(true);
    return true;
  });
  if (!complete) return resume_if_panic();
  rows = values.size();
  out = InputColumn::of_values(std::move(values), std::move(present));
  return true;
}

bool read_columns(PyObject* mapping, const RuleProgram& program, RecordChunk& out, bool& numpy) {
  std::vector<PyRef> columns;
  for (const vrel::Identifier& id : program.inputs) {
    PyRef name = identifier_to_python(id);
    if (!name) return false;
    PyObject* column = nullptr;
    if (PyMapping_GetOptionalItem(mapping, name.get(), &column) < 0) return false;
    if (!column) return raise_missing(id);
    columns.push_back(PyRef::steal(column));
  }
  bool first = true;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    std::size_t rows = 0;
    bool read = false;
    InputColumn placeholder = InputColumn::of_values({}, {});
    if (!buffer_column(columns[i].get(), placeholder, rows, read)) return false;
    if (read && std::strcmp(Py_TYPE(columns[i].get())->tp_name, "numpy.ndarray") == 0) {
      numpy = true;
    }
    if (!read && !object_column(columns[i].get(), placeholder, rows)) return false;
    if (!first && rows != out.rows) {
      PyRef name = identifier_to_python(program.inputs[i]);
      if (name)
        PyErr_Format(PyExc_ValueError, msg::kRulesColumnLengthFormat, name.get(), rows, out.rows);
      return false;
    }
    first = false;
    out.rows = rows;
    out.columns.push_back(std::move(placeholder));
  }
  if (columns.empty()) {
    // No input: the records are as many as the mapping's columns are long.
    PyRef values = PyRef::steal(PyMapping_Values(mapping));
    if (!values) return false;
    if (PyList_GET_SIZE(values.get()) > 0) {
      const Py_ssize_t n = PyObject_Length(PyList_GET_ITEM(values.get(), 0));
      if (n < 0) return false;
      out.rows = static_cast<std::size_t>(n);
    }
  }
  return true;
}

// The values of one input over the records, as read: kept as plain int64 while every value
// is a plain int (the common case, which then costs 8 bytes a record and binds without a
// Value), as values from the first other one on.
class FieldColumnBuilder {
 public:
  explicit FieldColumnBuilder(std::size_t hint) { ints_.reserve(hint); }

  void add_missing() {
    if (typed_) {
      ints_.push_back(0);
      missing_.push_back(ints_.size() - 1);
    } else {
      values_.emplace_back();
      present_.push_back(false);
    }
  }

  // False with the conversion's error pending.
  bool add(PyObject* field) {
    if (typed_ && PyLong_CheckExact(field) &&
        PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(field))) {
      ints_.push_back(static_cast<std::int64_t>(
          PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(field))));
      return true;
    }
    vrel::Value v;
    if (!field_value(field, v)) return false;
    if (typed_) untype();
    values_.push_back(std::move(v));
    present_.push_back(true);
    return true;
  }

  InputColumn finish() {
    if (!typed_) return InputColumn::of_values(std::move(values_), std::move(present_));
    struct Owned {
      std::vector<std::int64_t> ints;
      std::vector<std::uint8_t> validity;
    };
    auto owned = std::make_shared<Owned>();
    owned->ints = std::move(ints_);
    const std::uint8_t* validity = nullptr;
    if (!missing_.empty()) {
      owned->validity.assign((owned->ints.size() + 7) / 8, 0xFF);
      for (std::size_t row : missing_) {
        owned->validity[row >> 3] &= static_cast<std::uint8_t>(~(1u << (row & 7)));
      }
      validity = owned->validity.data();
    }
    const char* data = reinterpret_cast<const char*>(owned->ints.data());
    return InputColumn::of_buffer(InputColumn::Kind::Int64, data, 8, validity, 0, owned);
  }

 private:
  // From here on values of any kind: the ints read so far become values.
  void untype() {
    typed_ = false;
    values_.reserve(ints_.capacity());
    present_.reserve(ints_.capacity());
    std::size_t next_missing = 0;
    for (std::size_t row = 0; row < ints_.size(); ++row) {
      const bool missing = next_missing < missing_.size() && missing_[next_missing] == row;
      if (missing) ++next_missing;
      values_.push_back(missing ? vrel::Value() : vrel::Value::integer(ints_[row]));
      present_.push_back(!missing);
    }
    ints_ = {};
    missing_ = {};
  }

  bool typed_ = true;
  std::vector<std::int64_t> ints_;
  std::vector<std::size_t> missing_;  // rows without the field, ascending
  std::vector<vrel::Value> values_;
  std::vector<bool> present_;
};

bool read_mappings(PyObject* records, const RuleProgram& program, RecordChunk& out) {
  const std::size_t inputs = program.inputs.size();
  std::vector<PyRef> names;
  for (const vrel::Identifier& id : program.inputs) {
    names.push_back(identifier_to_python(id));
    if (!names.back()) return false;
  }
  const std::size_t hint = reported_size(records);
  std::vector<FieldColumnBuilder> columns;
  columns.reserve(inputs);
  for (std::size_t i = 0; i < inputs; ++i) columns.emplace_back(hint);
  std::size_t rows = 0;
  const bool complete = for_each_item(records, [&](PyRef record) {
    const bool is_dict = PyDict_Check(record.get());
    for (std::size_t i = 0; i < inputs; ++i) {
      PyObject* field = nullptr;
      if (is_dict) {
        if (PyDict_GetItemRef(record.get(), names[i].get(), &field) < 0) return false;
      } else if (PyMapping_GetOptionalItem(record.get(), names[i].get(), &field) < 0) {
        return false;
      }
      if (!field) {
        columns[i].add_missing();
        continue;
      }
      PyRef held = PyRef::steal(field);
      if (!columns[i].add(field)) return false;
    }
    ++rows;
    return true;
  });
  if (!complete) return resume_if_panic();
  out.rows = rows;
  for (FieldColumnBuilder& column : columns) out.columns.push_back(column.finish());
  return true;
}

// True for a DataFrame of the library `library` (pandas, polars), told by its type's module
// and name without importing the library.
bool is_frame_of(PyObject* obj, const char* library) {
  PyTypeObject* type = Py_TYPE(obj);
  const char* name = type->tp_name;
  return name && std::strcmp(name, "DataFrame") == 0 &&
         PyObject_HasAttrString(obj, "__arrow_c_stream__") && [&] {
           PyRef module = PyRef::steal(
               PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
           if (!module) {
             PyErr_Clear();
             return false;
           }
           std::string text;
           if (!PyUnicode_Check(module.get()) || !utf8_text(module.get(), text)) {
             PyErr_Clear();
             return false;
           }
           return text.rfind(library, 0) == 0;
         }();
}

}  // namespace

bool read_records(PyObject* records, const RuleProgram& program, RecordTable& out,
                  RecordForm& form) {
  const int has_stream = PyObject_HasAttrStringWithError(records, "__arrow_c_stream__");
  if (has_stream < 0) return false;
  if (has_stream) {
    form = is_frame_of(records, "pandas")   ? RecordForm::DataFrame
           : is_frame_of(records, "polars") ? RecordForm::Polars
                                            : RecordForm::Arrow;
    return read_arrow_stream(records, program, out);
  }
  RecordChunk chunk;
  if (PyMapping_Check(records) && !PySequence_Check(records)) {
    bool numpy = false;
    if (!read_columns(records, program, chunk, numpy)) return false;
    form = numpy ? RecordForm::NumpyColumns : RecordForm::Columns;
  } else {
    form = RecordForm::Records;
    if (!read_mappings(records, program, chunk)) return false;
  }
  out.rows = chunk.rows;
  out.chunks.push_back(std::move(chunk));
  return true;
}

}  // namespace vrelpy::rules
