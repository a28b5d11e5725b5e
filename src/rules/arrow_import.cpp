// Reading records from an Arrow C stream: the stream's batches as chunks of typed columns.
#include "rules/arrow_import.hpp"

#include <cstring>
#include <memory>
#include <string>

#include "conversion/conversion.hpp"
#include "rules/arrow_c_interface.hpp"
#include "support/messages.hpp"

namespace vrelpy::rules {
namespace {

// Released once, whoever drops the last reference (columns of a batch share its array).
struct OwnedArray {
  ArrowArray array{};
  ~OwnedArray() {
    if (array.release) array.release(&array);
  }
};
struct OwnedSchema {
  ArrowSchema schema{};
  ~OwnedSchema() {
    if (schema.release) schema.release(&schema);
  }
};
struct OwnedStream {
  ArrowArrayStream stream{};
  ~OwnedStream() {
    if (stream.release) stream.release(&stream);
  }
};

bool raise_stream_error(ArrowArrayStream& stream, int code) {
  const char* text = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
  PyErr_Format(PyExc_OSError, msg::kRulesArrowStreamFormat, code, text ? text : "");
  return false;
}

// The column kind of an Arrow format string; false for formats that are not read.
bool kind_of_arrow(const char* format, InputColumn::Kind& out, int& width) {
  using K = InputColumn::Kind;
  const std::string f = format ? format : "";
  struct Entry {
    const char* format;
    K kind;
    int width;
  };
  static constexpr Entry kEntries[] = {
      {"l", K::Int64, 8},     {"i", K::Int32, 4},     {"s", K::Int16, 2},  {"c", K::Int8, 1},
      {"L", K::UInt64, 8},    {"I", K::UInt32, 4},    {"S", K::UInt16, 2}, {"C", K::UInt8, 1},
      {"g", K::Float64, 8},   {"f", K::Float32, 4},   {"b", K::Bool, 0},   {"u", K::Utf8, 0},
      {"U", K::LargeUtf8, 0}, {"vu", K::Utf8View, 0},
  };
  for (const Entry& e : kEntries) {
    if (f == e.format) {
      out = e.kind;
      width = e.width;
      return true;
    }
  }
  return false;
}

// The column of child `child` of a batch.
bool column_of(const ArrowSchema& field, const ArrowArray& array,
               const std::shared_ptr<OwnedArray>& batch, const vrel::Identifier& id,
               InputColumn& out) {
  InputColumn::Kind kind;
  int width = 0;
  if (!kind_of_arrow(field.format, kind, width) || field.dictionary) {
    PyRef name = identifier_to_python(id);
    if (name) {
      PyErr_Format(PyExc_TypeError, msg::kRulesArrowTypeFormat, name.get(),
                   field.format ? field.format : "");
    }
    return false;
  }
  const auto* validity =
      array.null_count != 0 ? static_cast<const std::uint8_t*>(array.buffers[0]) : nullptr;
  std::vector<const char*> texts;
  using K = InputColumn::Kind;
  if (kind == K::Utf8 || kind == K::LargeUtf8) {
    texts.push_back(static_cast<const char*>(array.buffers[2]));
  } else if (kind == K::Utf8View) {
    // Buffers: validity, views, the variadic data buffers, and their sizes last.
    for (int64_t b = 2; b + 1 < array.n_buffers; ++b) {
      texts.push_back(static_cast<const char*>(array.buffers[b]));
    }
  }
  out = InputColumn::of_buffer(kind, static_cast<const char*>(array.buffers[1]), width, validity,
                               array.offset, batch, std::move(texts));
  return true;
}

}  // namespace

bool read_arrow_stream(PyObject* source, const RuleProgram& program, RecordTable& out) {
  PyRef capsule = PyRef::steal(PyObject_CallMethod(source, "__arrow_c_stream__", nullptr));
  if (!capsule) return false;
  auto* exported =
      static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
  if (!exported) return false;
  // Moved out of the capsule: the capsule's destructor then finds it released.
  OwnedStream stream;
  stream.stream = *exported;
  exported->release = nullptr;

  OwnedSchema schema;
  if (int code = stream.stream.get_schema(&stream.stream, &schema.schema)) {
    return raise_stream_error(stream.stream, code);
  }
  const ArrowSchema& s = schema.schema;
  if (!s.format || std::strcmp(s.format, "+s") != 0) {
    PyErr_Format(PyExc_TypeError, msg::kRulesArrowNotStructFormat, s.format ? s.format : "");
    return false;
  }
  // Each input's field, by name; a name that is an int is looked for as its decimal text.
  std::vector<int64_t> field_of;
  for (const vrel::Identifier& id : program.inputs) {
    const std::string name = id.is_s() ? id.as_s() : std::to_string(id.as_u());
    int64_t found = -1;
    for (int64_t c = 0; c < s.n_children; ++c) {
      const char* field = s.children[c]->name;
      if (field && name == field) {
        found = c;
        break;
      }
    }
    if (found < 0) {
      PyRef py_name = identifier_to_python(id);
      if (py_name) PyErr_Format(PyExc_ValueError, msg::kRulesMissingColumnFormat, py_name.get());
      return false;
    }
    field_of.push_back(found);
  }
  for (;;) {
    auto batch = std::make_shared<OwnedArray>();
    if (int code = stream.stream.get_next(&stream.stream, &batch->array)) {
      return raise_stream_error(stream.stream, code);
    }
    if (!batch->array.release) break;  // the end of the stream
    const ArrowArray& a = batch->array;
    RecordChunk chunk;
    chunk.rows = static_cast<std::size_t>(a.length);
    for (std::size_t i = 0; i < field_of.size(); ++i) {
      const ArrowArray& child = *a.children[field_of[i]];
      InputColumn column = InputColumn::of_values({}, {});
      // A struct's own offset applies to its children too.
      ArrowArray shifted = child;
      shifted.offset += a.offset;
      if (!column_of(*s.children[field_of[i]], shifted, batch, program.inputs[i], column)) {
        return false;
      }
      chunk.columns.push_back(std::move(column));
    }
    out.rows += chunk.rows;
    if (chunk.rows) out.chunks.push_back(std::move(chunk));
  }
  return true;
}

}  // namespace vrelpy::rules
