// The native stack guard, for hosts that recurse over values themselves.
#pragma once

#include <cstddef>

namespace vrel {

// True when the current thread's remaining native stack is down to the headroom that the
// core keeps free for unwinding and releasing. A host converting nested data recursively
// checks this at every level and stops with an error of its own, as the core does with
// "Maximum nesting depth exceeded".
bool native_stack_exhausted() noexcept;

// Bytes of native stack left below the current frame on this thread, down to the stack's
// real end (not to the core's headroom). A host that calls code with a recursion bound of
// its own, such as an interpreter counting levels, fits that bound to what really remains.
std::size_t native_stack_left() noexcept;

}  // namespace vrel
