// Which C stack a thread runs on, for the run budgets of hosts that switch greenlets.
#pragma once

namespace vrelpy {

// Tells the core which greenlet the thread runs (vrel::set_stack_probe), so that runs
// suspended in one greenlet and runs started in another neither count against nor read each
// other's budgets. Until greenlet is imported every thread has one stack, as without it.
// Called once, at module initialisation.
void install_stack_probe() noexcept;

}  // namespace vrelpy
