// Python functions as language functions: calling, copying and releasing them, and the
// list of references whose release waits for the interpreter lock.
#include "conversion/py_function.hpp"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <new>
#include <vector>

#include "conversion/conversion.hpp"
#include "runtime/errors.hpp"
#include "runtime/interpreter_stack_budget.hpp"
#include "support/messages.hpp"
#include "vrel/fatal.hpp"
#include "vrel/run_limits.hpp"

namespace vrelpy {
namespace {

// Holds the interpreter lock for a scope, taking it only when this thread lacks it. Not
// noexcept: during shutdown, taking the lock ends the thread by a forced unwind.
class GilScope {
 public:
  GilScope() : acquired_(!holds_interpreter_lock()) {
    if (acquired_) {
      state_ = PyGILState_Ensure();
      drain_pending_releases();
    }
  }
  ~GilScope() { release(); }
  // Gives the lock back early (if this scope took it).
  void release() noexcept {
    if (acquired_) {
      acquired_ = false;
      PyGILState_Release(state_);
    }
  }

 private:
  bool acquired_;
  PyGILState_STATE state_{};
};

// References dropped on threads without the interpreter lock; released by the next thread
// that enters the binding with the lock. Owners normally die inside a binding call or a
// deallocation; this serves a thread ended during shutdown, and guards against a decref
// without the lock.
std::mutex g_pending_mutex;
std::vector<PyObject*> g_pending;
std::atomic<bool> g_has_pending{false};

}  // namespace

void drain_pending_releases() noexcept {
  if (!g_has_pending.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> doomed;
  {
    std::lock_guard<std::mutex> lock(g_pending_mutex);
    doomed.swap(g_pending);
    g_has_pending.store(false, std::memory_order_release);
  }
  for (PyObject* obj : doomed) Py_DECREF(obj);
}

PyVrelFn::~PyVrelFn() {
  // The last reference may run Python code (a finalizer), possibly deep inside an
  // evaluation. No attached thread state although an entry point is on this thread's stack:
  // the thread is being ended during shutdown, and the reference waits like any other.
  if (holds_interpreter_lock()) {
    if (PyThreadState* tstate = PyThreadState_GetUnchecked()) {
      InterpreterStackBudget budget(tstate);
      Py_DECREF(f_);
      budget.restore();
      return;
    }
  }
  std::lock_guard<std::mutex> lock(g_pending_mutex);
  try {
    g_pending.push_back(f_);
  } catch (const std::bad_alloc&) {
    return;  // a destructor must not throw: the reference is leaked, not the process ended
  }
  g_has_pending.store(true, std::memory_order_release);
}

vrel::FunctionBox PyVrelFn::clone_box() const {
  GilScope gil;
  return std::make_unique<PyVrelFn>(PyRef::borrow(f_));
}

void PyVrelFn::fmt(std::string& out) const {
  char address[32];
  std::snprintf(address, sizeof address, "%#lx", reinterpret_cast<unsigned long>(f_));
  out += msg::kFunctionDebugStart;
  out += address;
  out += msg::kFunctionDebugEnd;
}

// Inlined into run_converting: a thread ended at shutdown is unwound from inside the Python
// call below, and AddressSanitizer does not clear the stack poison of the frames that unwind
// skips; a frame of its own here would leave poison below the cleanup that run_converting's
// unwinding runs (the sanitizer's own unpoisoning there then reports its local as overflowing).
[[gnu::always_inline]] inline PyRef PyVrelFn::call(PyRef arg) const {
  if (!arg) {
    PyRef err = take_exception_resuming_panic();
    vrel::raise_fatal(msg::kUnwrapErr + python_error_debug(err.get()));
  }
  PyObject* call_args[2] = {nullptr, arg.get()};
  // The function's own vectorcall, called directly: PyObject_Vectorcall would add a lookup
  // of the thread state and a check that the result agrees with the error indicator, which
  // the interpreter's call of a Python function always satisfies.
  constexpr std::size_t kOneArgument = 1 | PY_VECTORCALL_ARGUMENTS_OFFSET;
  const vectorcallfunc vectorcall = PyVectorcall_Function(f_);
  // The function may switch to another greenlet, which runs (and suspends) runs of its own
  // on this thread before switching back: this run takes its budget back as it returns.
  const vrel::HostCall host_call;
  PyRef result =
      PyRef::steal(vectorcall ? vectorcall(f_, call_args + 1, kOneArgument, nullptr)
                              : PyObject_Vectorcall(f_, call_args + 1, kOneArgument, nullptr));
  host_call.resume();
  if (!result) {
    PyRef err;
    {
      PyRef doomed_arg = std::move(arg);
      err = take_exception_resuming_panic();  // a panic resumes here, releasing the argument
    }
    vrel::raise_fatal(msg::kFunctionFailed + python_error_debug(err.get()));
  }
  return result;
}

vrel::Value PyVrelFn::run(vrel::SharedValue argument) const {
  return run_converting([&] {
    // The argument handle is consumed by the conversion, whatever its outcome.
    vrel::SharedValue consumed = std::move(argument);
    return value_to_python(*consumed);
  });
}

vrel::Value PyVrelFn::run_plain(vrel::Value argument) const {
  return run_converting([&] { return value_to_python(argument); });
}

template <class Convert>
vrel::Value PyVrelFn::run_converting(Convert&& convert) const {
  GilScope gil;
  InterpreterStackBudget budget(PyThreadState_Get());
  // The levels go back on every way out that keeps the interpreter lock; a forced unwind of
  // the thread at shutdown passes the handler below and leaves its thread state alone.
  try {
    PyRef result = call(convert());
    // The most common results, small ints, floats and booleans, skip the general
    // conversion; their value is made right where it is returned.
    vrel::Number plain = vrel::Number::from_int(0);
    if (plain_number(result.get(), plain)) {
      result = PyRef();
      budget.restore();
      return vrel::Value::number(plain);
    }
    if (Py_IS_TYPE(result.get(), &PyBool_Type)) {
      const bool truth = result.get() == Py_True;
      result = PyRef();
      budget.restore();
      return vrel::Value::boolean(truth);
    }
    vrel::Value value;
    bool converted = false;
    {
      ChargedConversion charged;
      converted = extract_value(result.get(), value);
    }
    if (!converted) {
      std::string message = msg::kWithGilFailed;
      {
        PyRef err = take_exception_resuming_panic();
        message += python_error_debug(err.get());
      }
      result = PyRef();
      budget.restore();
      gil.release();
      vrel::raise_fatal(std::move(message));
    }
    result = PyRef();
    budget.restore();
    return value;
  } catch (const std::exception&) {  // a fatal error or a failed allocation
    budget.restore();
    throw;
  }
}

}  // namespace vrelpy
