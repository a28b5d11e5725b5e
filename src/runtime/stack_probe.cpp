// Which C stack a thread runs on: the current greenlet, once greenlet is imported.
#include "runtime/stack_probe.hpp"

#include <cstdint>

#include "runtime/errors.hpp"
#include "support/py_ref.hpp"
#include "vrel/run_limits.hpp"

namespace vrelpy {
namespace {

// greenlet.getcurrent, owned for the life of the process once greenlet is imported (read
// and written with the interpreter lock held).
PyObject* g_getcurrent = nullptr;

// The address of the current greenlet: each greenlet has its own C stack (saved away while
// another runs on the same addresses), and a greenlet alive at the same time as another
// never shares its address. 0 without greenlet, or without the interpreter lock.
//
// The core asks only when a limited run calls out of it for the first time and when a run
// starts while a limited run that called out is under way; looking the module up is a dict
// lookup, calling getcurrent a C call that runs no Python code of the host's. A pending
// exception is kept as it was.
std::uintptr_t current_greenlet() noexcept {
  if (!holds_interpreter_lock() || !PyThreadState_GetUnchecked()) return 0;
  PyRef pending = PyRef::steal(PyErr_GetRaisedException());
  std::uintptr_t stack = 0;
  if (!g_getcurrent) {
    static PyObject* name = PyUnicode_InternFromString("greenlet");
    PyRef module = name ? PyRef::steal(PyImport_GetModule(name)) : PyRef();
    if (module && module.get() != Py_None) {
      g_getcurrent = PyObject_GetAttrString(module.get(), "getcurrent");
    }
  }
  if (g_getcurrent) {
    PyRef current = PyRef::steal(PyObject_CallNoArgs(g_getcurrent));
    stack = reinterpret_cast<std::uintptr_t>(current.get());
  }
  PyErr_Clear();
  PyErr_SetRaisedException(pending.release());
  return stack;
}

}  // namespace

void install_stack_probe() noexcept { vrel::set_stack_probe(current_greenlet); }

}  // namespace vrelpy
