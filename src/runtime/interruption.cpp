// Interrupting runs: the signal check that the core calls, and the exception set aside.
#include "runtime/interruption.hpp"

#include <utility>

#include "runtime/errors.hpp"
#include "runtime/interpreter_stack_budget.hpp"
#include "vrel/run_limits.hpp"

namespace vrelpy {
namespace {

// The exception of the handler that stopped this thread's innermost run, owned, until that
// run's entry point restores it. Kept out of the interpreter's error indicator meanwhile, so
// that nothing the run releases on its way out (values holding Python functions, whose
// last release may run finalizers) can see, replace or clear it.
constinit thread_local PyObject* tl_interruption = nullptr;

// The stop flag of this thread's StopFlagScope, if any.
constinit thread_local const std::atomic<bool>* tl_stop_flag = nullptr;

// Handlers run only on the main thread (the interpreter's rule); elsewhere this only checks
// a flag. Without the lock, or with an exception already pending, nothing may run. Handlers
// are Python code, run at whatever depth the evaluation has reached.
bool check_signals() noexcept {
  if (const std::atomic<bool>* stop = tl_stop_flag) {
    if (stop->load(std::memory_order_relaxed)) return true;
  }
  if (!holds_interpreter_lock() || PyErr_Occurred()) return false;
  PyThreadState* tstate = PyThreadState_GetUnchecked();
  if (!tstate) return false;
  int failed = 0;
  {
    InterpreterStackBudget budget(tstate);
    failed = PyErr_CheckSignals();
    budget.restore();
  }
  if (failed == 0) return false;
  PyRef previous = PyRef::steal(std::exchange(tl_interruption, PyErr_GetRaisedException()));
  return true;
}

}  // namespace

StopFlagScope::StopFlagScope(const std::atomic<bool>* flag) noexcept
    : previous_(std::exchange(tl_stop_flag, flag)) {}
StopFlagScope::~StopFlagScope() { tl_stop_flag = previous_; }

void install_interrupt_check() noexcept { vrel::set_interrupt_check(check_signals); }

void restore_interruption(const std::string& message) noexcept {
  PyObject* exc = std::exchange(tl_interruption, nullptr);
  if (!exc) {
    set_panic(message);
    return;
  }
  PyErr_SetRaisedException(exc);
}

}  // namespace vrelpy
