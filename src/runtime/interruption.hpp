// Interrupting runs: the signal check that the core calls while it evaluates, and the
// exception of a signal handler kept aside until the interrupted run's entry point.
#pragma once

#include <atomic>
#include <string>

#include "support/py_ref.hpp"

namespace vrelpy {

// Makes the core run pending signal handlers at its interrupt checks (at least every 1,024
// steps of a run), and give the interpreter lock to a thread that has waited a switch
// interval for it. A handler that raises, such as the default SIGINT handler, stops the run;
// the exception is set aside for restore_interruption. Called once, at module
// initialisation.
void install_interrupt_check() noexcept;

// While one lives on a thread, the thread's runs are interrupted as soon as `*flag` is true
// (checked at the interrupt checks, with or without the interpreter lock): for worker
// threads, which never run signal handlers, and which the thread that does tells to stop.
class StopFlagScope {
 public:
  explicit StopFlagScope(const std::atomic<bool>* flag) noexcept;
  ~StopFlagScope();
  StopFlagScope(const StopFlagScope&) = delete;
  StopFlagScope& operator=(const StopFlagScope&) = delete;

 private:
  const std::atomic<bool>* previous_;
};

// For an entry point whose run was interrupted (vrel::FatalError::interrupted()): makes the
// set-aside exception pending again, as the handler raised it. Should there be none, sets a
// PanicException with `message` instead.
void restore_interruption(const std::string& message) noexcept;

// Stops the run under way as a signal handler's exception would: `exc` (a KeyboardInterrupt
// or SystemExit an installed function raised) is set aside and the run ends with an
// interrupted FatalError (thrown, no report), so that its entry point raises `exc` itself.
[[noreturn]] void interrupt_run_with(PyRef exc);

}  // namespace vrelpy
