// The native stack guard, for hosts that recurse over values themselves.
#pragma once

namespace vrel {

// True when the current thread's remaining native stack is down to the headroom that the
// core keeps free for unwinding and releasing. A host converting nested data recursively
// checks this at every level and stops with an error of its own, as the core does with
// "Maximum nesting depth exceeded".
bool native_stack_exhausted() noexcept;

}  // namespace vrel
