// The vrelpy module: initialisation, the one-interpreter rule and the class table.
#include <atomic>

#include "api/classes.hpp"
#include "forms/program_forms.hpp"
#include "runtime/errors.hpp"
#include "runtime/interruption.hpp"
#include "runtime/stack_probe.hpp"
#include "support/messages.hpp"
#include "support/py_helpers.hpp"

namespace vrelpy {

PyTypeObject* g_vrel_type = nullptr;
PyTypeObject* g_statement_type = nullptr;
PyTypeObject* g_expr_type = nullptr;

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    msg::kModuleName,  // m_name
    msg::kModuleDoc,   // m_doc
    0,                 // m_size
    nullptr,           // m_methods
    nullptr,           // m_slots
    nullptr,           // m_traverse
    nullptr,           // m_clear
    nullptr,           // m_free
};

// The module lives in one interpreter per process: the first to import it owns it.
std::atomic<std::int64_t> g_interpreter_id{-1};
// Created once; a re-import returns the same object.
PyObject* g_module = nullptr;

PyTypeObject* type_of_class(PyTypeObject*& slot, PyTypeObject* (*create)()) {
  if (!slot) slot = create();
  return slot;
}

// Appends `name` to __all__ (creating it on first use), then sets the attribute.
bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (!type) return false;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text || !PyList_Check(all.get()) || PyList_Append(all.get(), text.get()) < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, msg::kAllNotList);
    return false;
  }
  return PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

// Adds the functions of `table` to `module`, each saying it lives in the package (its
// __module__), where pickles and reprs name it.
bool add_functions(PyObject* module, PyMethodDef* table) {
  PyRef package = PyRef::steal(PyUnicode_FromString(msg::kPackageName));
  if (!package) return false;
  for (PyMethodDef* def = table; def->ml_name; ++def) {
    PyRef function = PyRef::steal(PyCFunction_NewEx(def, nullptr, package.get()));
    if (!function || PyModule_AddObjectRef(module, def->ml_name, function.get()) < 0) return false;
  }
  return true;
}

PyObject* init_module() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, msg::kNoExceptionSet);
    }
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError, msg::kSubinterpreters);
    return nullptr;
  }
  if (g_module) return Py_NewRef(g_module);

  PyRef module = PyRef::steal(PyModule_Create2(&g_module_def, 1013));
  if (!module) return nullptr;
  if (!add_class(module.get(), "Vrel", type_of_class(g_vrel_type, create_vrel_type)) ||
      !add_class(module.get(), "Statement",
                 type_of_class(g_statement_type, create_statement_type)) ||
      !add_class(module.get(), "Expr", type_of_class(g_expr_type, create_expr_type)) ||
      !add_functions(module.get(), g_rebuild_functions) ||
      !add_functions(module.get(), g_text_functions) || !create_parse_error() ||
      PyModule_AddObjectRef(module.get(), "ParseError", g_parse_error) < 0) {
    return nullptr;
  }
  install_interrupt_check();
  install_stack_probe();
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace

bool check_instance(PyObject* obj, PyTypeObject* type, const char* target) {
  if (!PyObject_TypeCheck(obj, type)) return raise_mismatch(obj, target);
  if (!is_built(obj)) {
    PyErr_Format(PyExc_TypeError, msg::kNotInitializedFormat, target);
    return false;
  }
  return true;
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, msg::kNoConstructorFormat, name.get());
  return nullptr;
}

}  // namespace vrelpy

PyMODINIT_FUNC PyInit__vrelpy() {
  return vrelpy::guard_entry<PyObject*>(nullptr, [] { return vrelpy::init_module(); });
}
