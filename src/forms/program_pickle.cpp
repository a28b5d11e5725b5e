// Pickling and copying of `Expr` and `Statement` objects, through their data form.
#include "api/classes.hpp"
#include "forms/program_forms.hpp"
#include "runtime/errors.hpp"
#include "support/messages.hpp"

namespace vrelpy {
namespace {

// (vrelpy.<rebuilder>, args): pickle stores the rebuilder by its module and name. The
// classes themselves cannot serve, since their module is "builtins".
PyObject* reduction(const char* rebuilder, PyRef args) {
  if (!args) return nullptr;
  PyRef module = PyRef::steal(PyImport_ImportModule("vrelpy"));
  if (!module) return nullptr;
  PyRef function = PyRef::steal(PyObject_GetAttrString(module.get(), rebuilder));
  if (!function) return nullptr;
  return PyTuple_Pack(2, function.get(), args.get());
}

}  // namespace

PyObject* expr_reduce(PyObject* self, PyObject*) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!check_instance(self, g_expr_type, "Expr")) return nullptr;
    PyRef data = expr_to_python_data(reinterpret_cast<PyExpr*>(self)->expr);
    if (!data) return nullptr;
    return reduction("_expr_from_data", PyRef::steal(PyTuple_Pack(1, data.get())));
  });
}

// A statement's functions travel beside its data, as {qualified name: function}. Pickle
// stores each function by reference under its own rules: a module-level function pickles,
// a lambda or a nested function fails with pickle's own error.
PyObject* statement_reduce(PyObject* self, PyObject*) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!check_instance(self, g_statement_type, "Statement")) return nullptr;
    PyRef functions = PyRef::steal(PyDict_New());
    if (!functions) return nullptr;
    PyRef data = statement_to_python_data(statement_of(self), functions.get());
    if (!data) return nullptr;
    PyObject* named = PyDict_GET_SIZE(functions.get()) ? functions.get() : Py_None;
    return reduction("_statement_from_data", PyRef::steal(PyTuple_Pack(2, data.get(), named)));
  });
}

PyObject* immutable_copy(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }
PyObject* immutable_deepcopy(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }

PyMethodDef g_rebuild_functions[] = {
    {"_expr_from_data", VRELPY_CFUNCTION(expr_from_data), METH_VARARGS | METH_KEYWORDS,
     msg::kRebuildExprDoc},
    {"_statement_from_data", VRELPY_CFUNCTION(statement_from_data), METH_VARARGS | METH_KEYWORDS,
     msg::kRebuildStatementDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vrelpy
