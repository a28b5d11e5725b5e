// The results of evaluating a rule set: RuleError values and the results in each form.
#include "rules/rule_results.hpp"

#include <cstring>
#include <new>
#include <unordered_map>

#include "conversion/conversion.hpp"
#include "rules/arrow_export.hpp"
#include "support/messages.hpp"

namespace vrelpy::rules {
namespace {

// Created once, under the interpreter lock, and kept for the life of the process.
PyObject* g_rule_error_type = nullptr;

PyRef make_rule_error(const std::string& message, PyObject* rule) {
  PyObject* type = rule_error_type();
  if (!type) return PyRef();
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return PyRef();
  PyRef error = PyRef::steal(PyObject_CallOneArg(type, text.get()));
  if (!error || PyObject_SetAttrString(error.get(), "rule", rule) < 0) return PyRef();
  return error;
}

// The RuleErrors made so far by one conversion, per rule and message: identical failures of
// a rule in one evaluation share one RuleError, so that a million records failing alike do
// not cost a million exception objects. Lives for one conversion, under the lock.
class ErrorCache {
 public:
  explicit ErrorCache(std::size_t rules) : by_rule_(rules) {}
  PyRef get(const std::string& message, std::size_t rule, PyObject* name) {
    auto& known = by_rule_[rule];
    auto it = known.find(message);
    if (it != known.end()) return PyRef::borrow(it->second.get());
    PyRef error = make_rule_error(message, name);
    if (error) known.emplace(message, PyRef::borrow(error.get()));
    return error;
  }

 private:
  std::vector<std::unordered_map<std::string, PyRef>> by_rule_;
};

PyRef outcome_to_python(const ResultTable& results, std::size_t row, std::size_t rule,
                        PyObject* name, ErrorCache& errors) {
  const Outcome o = results.at(row, rule);
  switch (o.kind) {
    case Outcome::Kind::Int:
      return PyRef::steal(PyLong_FromLongLong(o.as_int()));
    case Outcome::Kind::Float:
      return PyRef::steal(PyFloat_FromDouble(o.as_float()));
    case Outcome::Kind::Bool:
      return PyRef::borrow(o.as_bool() ? Py_True : Py_False);
    case Outcome::Kind::Null:
      return PyRef::borrow(Py_None);
    case Outcome::Kind::Error:
      return errors.get(results.error(row, rule), rule, name);
    case Outcome::Kind::Other: {
      vrel::Value scratch;
      return value_to_python(results.value(row, rule, scratch));
    }
  }
  return PyRef();
}

PyRef as_records(const ResultTable& results, const std::vector<PyRef>& names) {
  ErrorCache errors(results.rules());
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.rows())));
  if (!list) return PyRef();
  // Every row's dict starts as a copy of one holding the names: copying a dict's table
  // costs less than growing a new one key by key, and the values are then replaced in place.
  PyRef keys = PyRef::steal(PyDict_New());
  if (!keys) return PyRef();
  for (const PyRef& name : names) {
    if (PyDict_SetItem(keys.get(), name.get(), Py_None) < 0) return PyRef();
  }
  for (std::size_t row = 0; row < results.rows(); ++row) {
    PyRef dict = PyRef::steal(PyDict_Copy(keys.get()));
    if (!dict) return PyRef();
    for (std::size_t r = 0; r < results.rules(); ++r) {
      PyRef value = outcome_to_python(results, row, r, names[r].get(), errors);
      if (!value || PyDict_SetItem(dict.get(), names[r].get(), value.get()) < 0) return PyRef();
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(row), dict.release());
  }
  return list;
}

PyRef as_columns(const ResultTable& results, const std::vector<PyRef>& names) {
  ErrorCache errors(results.rules());
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return PyRef();
  for (std::size_t r = 0; r < results.rules(); ++r) {
    PyRef column = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.rows())));
    if (!column) return PyRef();
    for (std::size_t row = 0; row < results.rows(); ++row) {
      PyRef value = outcome_to_python(results, row, r, names[r].get(), errors);
      if (!value) return PyRef();
      PyList_SET_ITEM(column.get(), static_cast<Py_ssize_t>(row), value.release());
    }
    if (PyDict_SetItem(dict.get(), names[r].get(), column.get()) < 0) return PyRef();
  }
  return dict;
}

// A pandas DataFrame of the columns: pandas is imported only here, for a caller who gave one.
PyRef as_data_frame(const ResultTable& results, const std::vector<PyRef>& names) {
  PyRef columns = as_columns(results, names);
  if (!columns) return PyRef();
  PyRef pandas = PyRef::steal(PyImport_ImportModule("pandas"));
  if (!pandas) return PyRef();
  return PyRef::steal(PyObject_CallMethod(pandas.get(), "DataFrame", "O", columns.get()));
}

// A numpy array of one rule's results: int64, float64 or bool when every record gave that
// kind, else an array of objects. numpy is imported only here, for a caller who gave numpy
// columns; the typed data is copied into a bytearray that the array then owns.
PyRef numpy_column(PyObject* numpy, const ResultTable& results, std::size_t rule, PyObject* name,
                   ErrorCache& errors) {
  const std::size_t rows = results.rows();
  const Outcome::Kind* kinds = results.kinds(rule);
  const Outcome::Kind first = rows ? kinds[0] : Outcome::Kind::Null;
  bool uniform =
      first == Outcome::Kind::Int || first == Outcome::Kind::Float || first == Outcome::Kind::Bool;
  for (std::size_t row = 1; row < rows && uniform; ++row) uniform = kinds[row] == first;
  if (uniform && rows) {
    // Numbers: the array takes the rule's bits as they are. Booleans: one byte each.
    PyRef bytes = PyRef::borrow(results.bits_object(rule));
    if (first == Outcome::Kind::Bool) {
      bytes = PyRef::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(rows)));
      if (!bytes) return PyRef();
      char* out = PyByteArray_AS_STRING(bytes.get());
      const std::uint64_t* bits = results.bits(rule);
      for (std::size_t row = 0; row < rows; ++row) out[row] = bits[row] != 0;
    }
    const char* dtype = first == Outcome::Kind::Int     ? "<i8"
                        : first == Outcome::Kind::Float ? "<f8"
                                                        : "?";
    return PyRef::steal(PyObject_CallMethod(numpy, "frombuffer", "Os", bytes.get(), dtype));
  }
  PyRef array =
      PyRef::steal(PyObject_CallMethod(numpy, "empty", "ns", static_cast<Py_ssize_t>(rows), "O"));
  if (!array) return PyRef();
  for (std::size_t row = 0; row < rows; ++row) {
    PyRef value = outcome_to_python(results, row, rule, name, errors);
    if (!value) return PyRef();
    PyRef index = PyRef::steal(PyLong_FromSize_t(row));
    if (!index || PyObject_SetItem(array.get(), index.get(), value.get()) < 0) return PyRef();
  }
  return array;
}

PyRef as_numpy_columns(const ResultTable& results, const std::vector<PyRef>& names) {
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return PyRef();
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return PyRef();
  ErrorCache errors(results.rules());
  for (std::size_t r = 0; r < results.rules(); ++r) {
    PyRef column = numpy_column(numpy.get(), results, r, names[r].get(), errors);
    if (!column || PyDict_SetItem(dict.get(), names[r].get(), column.get()) < 0) return PyRef();
  }
  return dict;
}

// A polars DataFrame made from the Arrow export: polars is imported only here, for a caller
// who gave a polars frame.
PyRef as_polars(const ResultTable& results, const std::vector<PyRef>& names) {
  PyRef exported = export_arrow(results, names);
  if (!exported) return PyRef();
  PyRef polars = PyRef::steal(PyImport_ImportModule("polars"));
  if (!polars) return PyRef();
  return PyRef::steal(PyObject_CallMethod(polars.get(), "DataFrame", "O", exported.get()));
}

}  // namespace

ResultTable::ResultTable(std::size_t rows, std::size_t rules, std::size_t batch)
    : rows_(rows),
      rules_(rules),
      batch_(batch),
      // Left uninitialised: the pages are first touched by the workers that fill them.
      kinds_(new Outcome::Kind[rows * rules]),
      extras_((rows + batch - 1) / batch) {
  bit_objects_.reserve(rules);
  bits_.reserve(rules);
  for (std::size_t r = 0; r < rules; ++r) {
    PyRef bytes =
        PyRef::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(rows * 8)));
    if (!bytes) {
      PyErr_Clear();
      throw std::bad_alloc();
    }
    bits_.push_back(reinterpret_cast<std::uint64_t*>(PyByteArray_AS_STRING(bytes.get())));
    bit_objects_.push_back(std::move(bytes));
  }
}

void ResultTable::set_value(std::size_t row, std::size_t rule, const vrel::Value& value) {
  switch (value.kind()) {
    case vrel::ValueKind::Null:
      return set_plain(row, rule, Outcome::Kind::Null, 0);
    case vrel::ValueKind::Boolean:
      return set_plain(row, rule, Outcome::Kind::Bool, value.as_boolean() ? 1 : 0);
    case vrel::ValueKind::Number: {
      const vrel::Number n = value.as_number();
      return n.is_int()
                 ? set_plain(row, rule, Outcome::Kind::Int, static_cast<std::uint64_t>(n.as_int()))
                 : set_plain(row, rule, Outcome::Kind::Float,
                             std::bit_cast<std::uint64_t>(n.as_float()));
    }
    case vrel::ValueKind::String:
    case vrel::ValueKind::Vector:
    case vrel::ValueKind::Function:
      break;
  }
  std::vector<vrel::Value>& values = extras_[row / batch_].values;
  set_plain(row, rule, Outcome::Kind::Other, values.size());
  values.push_back(value);
}

void ResultTable::set_error(std::size_t row, std::size_t rule, std::string message) {
  std::vector<std::string>& errors = extras_[row / batch_].errors;
  set_plain(row, rule, Outcome::Kind::Error, errors.size());
  errors.push_back(std::move(message));
}

const vrel::Value& ResultTable::value(std::size_t row, std::size_t rule,
                                      vrel::Value& scratch) const {
  const Outcome o = at(row, rule);
  switch (o.kind) {
    case Outcome::Kind::Int:
      return scratch = vrel::Value::integer(o.as_int());
    case Outcome::Kind::Float:
      return scratch = vrel::Value::floating(o.as_float());
    case Outcome::Kind::Bool:
      return scratch = vrel::Value::boolean(o.as_bool());
    case Outcome::Kind::Other:
      return extras_[row / batch_].values[o.extra];
    case Outcome::Kind::Null:
    case Outcome::Kind::Error:
      break;
  }
  return scratch = vrel::Value();
}

PyObject* rule_error_type() {
  if (!g_rule_error_type) {
    PyRef attributes = PyRef::steal(PyDict_New());
    if (!attributes) return nullptr;
    for (const char* name : {"rule", "statement", "node", "variable"}) {
      if (PyDict_SetItemString(attributes.get(), name, Py_None) < 0) return nullptr;
    }
    g_rule_error_type = PyErr_NewExceptionWithDoc(msg::kRuleErrorTypeName, msg::kRuleErrorDoc,
                                                  PyExc_Exception, attributes.get());
  }
  return g_rule_error_type;
}

PyRef results_to_python(const ResultTable& results, RecordForm form,
                        const std::vector<PyRef>& rule_names) {
  switch (form) {
    case RecordForm::Records:
      return as_records(results, rule_names);
    case RecordForm::Columns:
      return as_columns(results, rule_names);
    case RecordForm::NumpyColumns:
      return as_numpy_columns(results, rule_names);
    case RecordForm::Polars:
      return as_polars(results, rule_names);
    case RecordForm::DataFrame:
      return as_data_frame(results, rule_names);
    case RecordForm::Arrow:
      return export_arrow(results, rule_names);
  }
  return PyRef();
}

}  // namespace vrelpy::rules
