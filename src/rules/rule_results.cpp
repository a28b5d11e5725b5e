// The results of evaluating a rule set: RuleError values and the results in each form.
#include "rules/rule_results.hpp"

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

PyRef outcome_to_python(const Outcome& outcome, PyObject* rule) {
  if (outcome.error) return make_rule_error(*outcome.error, rule);
  return value_to_python(outcome.value);
}

PyRef as_records(const ResultTable& results, const std::vector<PyRef>& names) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.rows())));
  if (!list) return PyRef();
  for (std::size_t row = 0; row < results.rows(); ++row) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return PyRef();
    for (std::size_t r = 0; r < results.rules(); ++r) {
      PyRef value = outcome_to_python(results.at(row, r), names[r].get());
      if (!value || PyDict_SetItem(dict.get(), names[r].get(), value.get()) < 0) return PyRef();
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(row), dict.release());
  }
  return list;
}

PyRef as_columns(const ResultTable& results, const std::vector<PyRef>& names) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return PyRef();
  for (std::size_t r = 0; r < results.rules(); ++r) {
    PyRef column = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.rows())));
    if (!column) return PyRef();
    for (std::size_t row = 0; row < results.rows(); ++row) {
      PyRef value = outcome_to_python(results.at(row, r), names[r].get());
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

}  // namespace

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
    case RecordForm::DataFrame:
      return as_data_frame(results, rule_names);
    case RecordForm::Arrow:
      return export_arrow(results, rule_names);
  }
  return PyRef();
}

}  // namespace vrelpy::rules
