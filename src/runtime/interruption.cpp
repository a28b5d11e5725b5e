// Interrupting runs: the signal check that the core calls, and the exception set aside.
#include "runtime/interruption.hpp"

#include <cstdint>
#include <utility>

#include "runtime/errors.hpp"
#include "runtime/interpreter_stack_budget.hpp"
#include "support/messages.hpp"
#include "vrel/fatal.hpp"
#include "vrel/run_limits.hpp"

namespace vrelpy {
namespace {

// The exception of the handler that stopped this thread's innermost run, owned, until that
// run's entry point restores it. Kept out of the interpreter's error indicator meanwhile, so
// that nothing the run releases on its way out (values holding Python functions, whose
// last release may run finalizers) can see, replace or clear it.
constinit thread_local PyObject* tl_interruption = nullptr;

// Set in a thread state's eval_breaker by a thread that has waited a whole switch interval
// (sys.getswitchinterval()) for the interpreter lock; the same bit the interpreter's own
// loop looks at between bytecodes (the interpreter's internal _PY_GIL_DROP_REQUEST_BIT).
constexpr std::uintptr_t kLockWanted = 1;

// Gives the interpreter lock to the thread that asked for it, as the interpreter does
// between bytecodes, and waits to take it back: a long run lets the host's other threads
// (and the main thread's signal handlers) in at least every switch interval. The lock's own
// handover makes sure the waiting thread gets it. Reading the flag is one load; nothing is
// done unless a thread waits. Taking the lock back during the interpreter's shutdown ends
// this thread by unwinding it, as it ends any thread that wants the lock then.
//
// While the lock is away, other threads may use the same Vrel. The run holds references to
// its machine and to every statement it runs (the Vrel and Statement objects); the store
// and the machine's limits cell take their own locks; the binding's place cache and the
// list of releases waiting for the lock are not touched by evaluation (the former is used
// only by the mapping methods with the lock held, the latter under its own mutex); the run
// budgets, the set-aside interruption and the charging flag are the thread's own. Nothing
// becomes reachable that a function called by the run could not already reach.
void let_waiting_threads_in(PyThreadState* tstate) {
  if ((__atomic_load_n(&tstate->eval_breaker, __ATOMIC_RELAXED) & kLockWanted) == 0) return;
  if (!PyGILState_Check()) return;
  PyThreadState* saved = PyEval_SaveThread();
  PyEval_RestoreThread(saved);
}

// The stop flag of this thread's StopFlagScope, if any.
constinit thread_local const std::atomic<bool>* tl_stop_flag = nullptr;

// Handlers run only on the main thread (the interpreter's rule); elsewhere this only checks
// a flag. Without the lock, or with an exception already pending, nothing may run. Handlers
// are Python code, run at whatever depth the evaluation has reached.
bool check_signals() {
  if (const std::atomic<bool>* stop = tl_stop_flag) {
    if (stop->load(std::memory_order_relaxed)) return true;
  }
  if (!holds_interpreter_lock() || PyErr_Occurred()) return false;
  PyThreadState* tstate = PyThreadState_GetUnchecked();
  if (!tstate) return false;
  let_waiting_threads_in(tstate);
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

void interrupt_run_with(PyRef exc) {
  PyRef previous = PyRef::steal(std::exchange(tl_interruption, exc.release()));
  throw vrel::FatalError(msg::kInterruptedByFunction, vrel::FatalError::Cause::Interrupted);
}

void restore_interruption(const std::string& message) noexcept {
  PyObject* exc = std::exchange(tl_interruption, nullptr);
  if (!exc) {
    set_panic(message);
    return;
  }
  PyErr_SetRaisedException(exc);
}

}  // namespace vrelpy
