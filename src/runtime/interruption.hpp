// Interrupting runs: the signal check that the core calls while it evaluates, and the
// exception of a signal handler kept aside until the interrupted run's entry point.
#pragma once

#include <string>

#include "support/py_ref.hpp"

namespace vrelpy {

// Makes the core run pending signal handlers at its interrupt checks (at least every 1,024
// steps of a run), and give the interpreter lock to a thread that has waited a switch
// interval for it. A handler that raises, such as the default SIGINT handler, stops the run;
// the exception is set aside for restore_interruption. Called once, at module
// initialisation.
void install_interrupt_check() noexcept;

// For an entry point whose run was interrupted (vrel::FatalError::interrupted()): makes the
// set-aside exception pending again, as the handler raised it. Should there be none, sets a
// PanicException with `message` instead.
void restore_interruption(const std::string& message) noexcept;

// Stops the run under way as a signal handler's exception would: `exc` (a KeyboardInterrupt
// or SystemExit an installed function raised) is set aside and the run ends with an
// interrupted FatalError (thrown, no report), so that its entry point raises `exc` itself.
[[noreturn]] void interrupt_run_with(PyRef exc);

}  // namespace vrelpy
