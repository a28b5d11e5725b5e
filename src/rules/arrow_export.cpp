// Rule results as an Arrow C stream: the columns built from the outcomes, their export
// through the C data interface, and the small class that hands out the stream.
#include "rules/arrow_export.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "api/classes.hpp"
#include "conversion/conversion.hpp"
#include "rules/arrow_c_interface.hpp"
#include "support/messages.hpp"
#include "support/py_helpers.hpp"

namespace vrelpy::rules {
namespace {

// One exported column, in Arrow's layout: a validity bitmap, then either fixed-width values
// (or bits, for bool) or int32 offsets into `chars`.
struct ExportColumn {
  std::string name;
  std::string format;
  std::int64_t nulls = 0;
  std::vector<std::uint8_t> validity;
  std::vector<std::uint8_t> values;
  std::vector<std::int32_t> offsets;
  std::string chars;
};

// Immutable once built; every exported schema and array keeps it alive through a
// shared_ptr, so that a consumer may release them in any order, on any thread.
struct ExportTable {
  std::int64_t rows = 0;
  std::vector<ExportColumn> columns;
};

enum class Shape { Empty, Int, Float, Bool, Text, Other };

Shape shape_of(const vrel::Value& v) {
  switch (v.kind()) {
    case vrel::ValueKind::Null:
      return Shape::Empty;
    case vrel::ValueKind::Boolean:
      return Shape::Bool;
    case vrel::ValueKind::Number:
      return v.as_number().is_int() ? Shape::Int : Shape::Float;
    case vrel::ValueKind::String:
      return Shape::Text;
    case vrel::ValueKind::Vector:
    case vrel::ValueKind::Function:
      return Shape::Other;
  }
  return Shape::Other;
}

Shape combine(Shape a, Shape b) {
  if (a == Shape::Empty) return b;
  if (b == Shape::Empty || a == b) return a;
  if ((a == Shape::Int && b == Shape::Float) || (a == Shape::Float && b == Shape::Int)) {
    return Shape::Float;
  }
  return Shape::Other;
}

void set_bit(std::vector<std::uint8_t>& bits, std::int64_t i) {
  bits[static_cast<std::size_t>(i >> 3)] |= static_cast<std::uint8_t>(1u << (i & 7));
}

void append_text(ExportColumn& c, const std::string& text) {
  c.chars += text;
  c.offsets.push_back(static_cast<std::int32_t>(c.chars.size()));
}

ExportColumn rule_column(const ResultTable& results, std::size_t rule, std::string name) {
  const auto rows = static_cast<std::int64_t>(results.rows());
  Shape shape = Shape::Empty;
  vrel::Value scratch;
  for (std::int64_t row = 0; row < rows; ++row) {
    const auto at = static_cast<std::size_t>(row);
    if (!results.failed(at, rule))
      shape = combine(shape, shape_of(results.value(at, rule, scratch)));
  }
  ExportColumn c;
  c.name = std::move(name);
  c.validity.assign(static_cast<std::size_t>((rows + 7) / 8), 0);
  switch (shape) {
    case Shape::Int:
      c.format = "l";
      c.values.assign(static_cast<std::size_t>(rows) * 8, 0);
      break;
    case Shape::Float:
      c.format = "g";
      c.values.assign(static_cast<std::size_t>(rows) * 8, 0);
      break;
    case Shape::Bool:
      c.format = "b";
      c.values.assign(c.validity.size(), 0);
      break;
    case Shape::Empty:
      c.format = "n";
      break;
    case Shape::Text:
    case Shape::Other:
      c.format = "u";
      c.offsets.push_back(0);
      break;
  }
  for (std::int64_t row = 0; row < rows; ++row) {
    const auto at = static_cast<std::size_t>(row);
    const bool failed = results.failed(at, rule);
    const vrel::Value& value = failed ? scratch : results.value(at, rule, scratch);
    const bool valid = !failed && value.kind() != vrel::ValueKind::Null;
    if (valid) set_bit(c.validity, row);
    if (!valid) ++c.nulls;
    switch (shape) {
      case Shape::Int:
        if (valid) {
          const std::int64_t v = value.as_number().as_int();
          std::memcpy(&c.values[static_cast<std::size_t>(row) * 8], &v, 8);
        }
        break;
      case Shape::Float:
        if (valid) {
          const double v = value.as_number().to_float();
          std::memcpy(&c.values[static_cast<std::size_t>(row) * 8], &v, 8);
        }
        break;
      case Shape::Bool:
        if (valid && value.as_boolean()) set_bit(c.values, row);
        break;
      case Shape::Empty:
        break;
      case Shape::Text:
        append_text(c, valid ? value.as_string() : std::string());
        break;
      case Shape::Other:
        append_text(c, valid ? value.debug() : std::string());
        break;
    }
  }
  if (shape == Shape::Empty) c.nulls = rows;
  return c;
}

// The "<rule>.error" column of a rule, or nothing when it never failed.
bool error_column(const ResultTable& results, std::size_t rule, const std::string& name,
                  ExportColumn& c) {
  const auto rows = static_cast<std::int64_t>(results.rows());
  bool any = false;
  for (std::int64_t row = 0; row < rows && !any; ++row) {
    any = results.failed(static_cast<std::size_t>(row), rule);
  }
  if (!any) return false;
  c.name = name;
  c.name += ".error";
  c.format = "u";
  c.validity.assign(static_cast<std::size_t>((rows + 7) / 8), 0);
  c.offsets.push_back(0);
  for (std::int64_t row = 0; row < rows; ++row) {
    const auto at = static_cast<std::size_t>(row);
    if (results.failed(at, rule)) {
      set_bit(c.validity, row);
      append_text(c, results.error(at, rule).message);
    } else {
      ++c.nulls;
      append_text(c, std::string());
    }
  }
  return true;
}

// ---- export through the C data interface ----

struct SchemaPrivate {
  std::shared_ptr<const ExportTable> table;
  std::vector<ArrowSchema*> children;
};

void release_schema(ArrowSchema* schema) {
  auto* p = static_cast<SchemaPrivate*>(schema->private_data);
  for (ArrowSchema* child : p->children) {
    if (child->release) child->release(child);
    delete child;
  }
  delete p;
  schema->release = nullptr;
}

void release_child_schema(ArrowSchema* schema) { schema->release = nullptr; }

void export_schema(const std::shared_ptr<const ExportTable>& table, ArrowSchema* out) {
  auto* p = new SchemaPrivate{table, {}};
  for (const ExportColumn& c : table->columns) {
    auto* child = new ArrowSchema{};
    child->format = c.format.c_str();
    child->name = c.name.c_str();
    child->flags = ARROW_FLAG_NULLABLE;
    child->release = release_child_schema;
    p->children.push_back(child);
  }
  *out = ArrowSchema{};
  out->format = "+s";
  out->name = "";
  out->n_children = static_cast<std::int64_t>(p->children.size());
  out->children = p->children.data();
  out->release = release_schema;
  out->private_data = p;
}

struct ArrayPrivate {
  std::shared_ptr<const ExportTable> table;
  std::vector<const void*> buffers;
  std::vector<ArrowArray*> children;
};

void release_array(ArrowArray* array) {
  auto* p = static_cast<ArrayPrivate*>(array->private_data);
  for (ArrowArray* child : p->children) {
    if (child->release) child->release(child);
    delete child;
  }
  delete p;
  array->release = nullptr;
}

void export_column(const std::shared_ptr<const ExportTable>& table, const ExportColumn& c,
                   ArrowArray* out) {
  auto* p = new ArrayPrivate{table, {}, {}};
  *out = ArrowArray{};
  out->length = table->rows;
  out->null_count = c.nulls;
  if (c.format == "n") {
    // The null type has no buffers at all.
  } else {
    p->buffers.push_back(c.validity.data());
    if (c.format == "u") {
      p->buffers.push_back(c.offsets.data());
      p->buffers.push_back(c.chars.data());
    } else {
      p->buffers.push_back(c.values.data());
    }
  }
  out->n_buffers = static_cast<std::int64_t>(p->buffers.size());
  out->buffers = p->buffers.data();
  out->release = release_array;
  out->private_data = p;
}

void export_batch(const std::shared_ptr<const ExportTable>& table, ArrowArray* out) {
  auto* p = new ArrayPrivate{table, {nullptr}, {}};
  for (const ExportColumn& c : table->columns) {
    auto* child = new ArrowArray{};
    export_column(table, c, child);
    p->children.push_back(child);
  }
  *out = ArrowArray{};
  out->length = table->rows;
  out->n_buffers = 1;
  out->buffers = p->buffers.data();
  out->n_children = static_cast<std::int64_t>(p->children.size());
  out->children = p->children.data();
  out->release = release_array;
  out->private_data = p;
}

// A stream of one batch.
struct StreamPrivate {
  std::shared_ptr<const ExportTable> table;
  bool done = false;
};

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  export_schema(static_cast<StreamPrivate*>(stream->private_data)->table, out);
  return 0;
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* p = static_cast<StreamPrivate*>(stream->private_data);
  if (p->done) {
    *out = ArrowArray{};  // release null: the end of the stream
    return 0;
  }
  p->done = true;
  export_batch(p->table, out);
  return 0;
}

const char* stream_last_error(ArrowArrayStream*) { return nullptr; }

void release_stream(ArrowArrayStream* stream) {
  delete static_cast<StreamPrivate*>(stream->private_data);
  stream->release = nullptr;
}

// Capsule destructors: a capsule whose struct was never moved out releases it.
void drop_stream_capsule(PyObject* capsule) {
  auto* stream =
      static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
  if (!stream) return PyErr_Clear();
  if (stream->release) stream->release(stream);
  delete stream;
}

void drop_schema_capsule(PyObject* capsule) {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
  if (!schema) return PyErr_Clear();
  if (schema->release) schema->release(schema);
  delete schema;
}

// ---- the class ----

struct ArrowResultsState {
  std::shared_ptr<const ExportTable> table;
};

struct PyArrowResults : PyBuiltHead {
  ArrowResultsState state;
};

PyTypeObject* g_arrow_results_type = nullptr;

const ArrowResultsState* arrow_receiver(PyObject* self) {
  if (!check_instance(self, g_arrow_results_type, "ArrowResults")) return nullptr;
  return &reinterpret_cast<PyArrowResults*>(self)->state;
}

// __arrow_c_stream__(requested_schema=None): the results are offered in their own schema
// only, which the protocol allows whatever is requested.
PyObject* arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kKeywords[] = {"requested_schema", nullptr};
  PyObject* requested = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__",
                                   const_cast<char**>(kKeywords), &requested)) {
    return nullptr;
  }
  const ArrowResultsState* state = arrow_receiver(self);
  if (!state) return nullptr;
  auto* stream = new (std::nothrow) ArrowArrayStream{};
  auto* p = new (std::nothrow) StreamPrivate{state->table};
  if (!stream || !p) {
    delete stream;
    delete p;
    return PyErr_NoMemory();
  }
  stream->get_schema = stream_get_schema;
  stream->get_next = stream_get_next;
  stream->get_last_error = stream_last_error;
  stream->release = release_stream;
  stream->private_data = p;
  PyObject* capsule = PyCapsule_New(stream, "arrow_array_stream", drop_stream_capsule);
  if (!capsule) {
    release_stream(stream);
    delete stream;
  }
  return capsule;
}

PyObject* arrow_c_schema(PyObject* self, PyObject*) {
  const ArrowResultsState* state = arrow_receiver(self);
  if (!state) return nullptr;
  auto* schema = new (std::nothrow) ArrowSchema{};
  if (!schema) return PyErr_NoMemory();
  export_schema(state->table, schema);
  PyObject* capsule = PyCapsule_New(schema, "arrow_schema", drop_schema_capsule);
  if (!capsule) {
    schema->release(schema);
    delete schema;
  }
  return capsule;
}

PyObject* arrow_results_len(PyObject* self, void*) {
  const ArrowResultsState* state = arrow_receiver(self);
  return state ? PyLong_FromLongLong(state->table->rows) : nullptr;
}

PyObject* arrow_results_repr(PyObject* self) {
  const ArrowResultsState* state = arrow_receiver(self);
  if (!state) return nullptr;
  return PyUnicode_FromFormat("<vrelpy.ArrowResults: %zu columns, %lld rows>",
                              state->table->columns.size(),
                              static_cast<long long>(state->table->rows));
}

constexpr auto arrow_results_dealloc = dealloc_instance<&PyArrowResults::state>;

PyMethodDef g_arrow_results_methods[] = {
    {"__arrow_c_stream__", VRELPY_CFUNCTION(arrow_c_stream), METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, /, requested_schema=None)\n--\n\nThe results as an Arrow C "
     "stream capsule."},
    {"__arrow_c_schema__", VRELPY_CFUNCTION(arrow_c_schema), METH_NOARGS,
     "__arrow_c_schema__($self, /)\n--\n\nThe results' schema as an Arrow C schema capsule."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_arrow_results_getset[] = {
    {"num_rows", arrow_results_len, nullptr, "The number of records.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_arrow_results_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(arrow_results_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_repr, reinterpret_cast<void*>(arrow_results_repr)},
    {Py_tp_doc, const_cast<char*>("Rule results exported as an Arrow C stream: pass to "
                                  "pyarrow.table() or polars.from_arrow().")},
    {Py_tp_methods, g_arrow_results_methods},
    {Py_tp_getset, g_arrow_results_getset},
    {0, nullptr},
};

PyType_Spec g_arrow_results_spec = {
    "vrelpy.ArrowResults", sizeof(PyArrowResults), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    g_arrow_results_slots,
};

}  // namespace

PyTypeObject* create_arrow_results_type() {
  if (!g_arrow_results_type) g_arrow_results_type = type_from_spec(g_arrow_results_spec);
  return g_arrow_results_type;
}

PyRef export_arrow(const ResultTable& results, const std::vector<PyRef>& rule_names) {
  auto table = std::make_shared<ExportTable>();
  table->rows = static_cast<std::int64_t>(results.rows());
  for (std::size_t r = 0; r < results.rules(); ++r) {
    PyRef text = PyRef::steal(PyObject_Str(rule_names[r].get()));
    std::string name;
    if (!text || !utf8_text(text.get(), name)) return PyRef();
    table->columns.push_back(rule_column(results, r, name));
    ExportColumn errors;
    if (error_column(results, r, name, errors)) table->columns.push_back(std::move(errors));
  }
  PyTypeObject* type = create_arrow_results_type();
  if (!type) return PyRef();
  ArrowResultsState state{std::move(table)};
  return PyRef::steal(new_instance<&PyArrowResults::state>(type, std::move(state)));
}

}  // namespace vrelpy::rules
