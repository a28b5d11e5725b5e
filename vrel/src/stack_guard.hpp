// Native stack guard: recursion over trees and values checks the real remaining stack of
// the current thread instead of counting levels.
#pragma once

#include <cstdint>
#include <source_location>

namespace vrel {

namespace detail {
// Addresses on the current thread's stack (0 until first use): recursion stops with a
// fatal error below tl_fatal_below, and destructors switch to deferred, flat release below
// tl_release_below. Plain scalars with initial-exec TLS: the core is linked into a
// dlopen'ed module and these are read on every level of recursion, so they must not go
// through __tls_get_addr or a TLS wrapper function.
extern thread_local constinit std::uintptr_t tl_fatal_below
    __attribute__((tls_model("initial-exec")));
extern thread_local constinit std::uintptr_t tl_release_below
    __attribute__((tls_model("initial-exec")));
void init_stack_limits() noexcept;

inline std::uintptr_t stack_pointer() noexcept {
  return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
}
}  // namespace detail

[[noreturn]] void raise_nesting_too_deep(std::source_location where);

// Call on entry to every recursive step. Keeps a fixed headroom (a fraction of the
// thread's stack, at most 256 KiB) free for error unwinding, destructors and Python code
// called from the evaluator.
inline void check_stack(std::source_location where = std::source_location::current()) {
  std::uintptr_t limit = detail::tl_fatal_below;
  if (__builtin_expect(limit == 0, 0)) {
    detail::init_stack_limits();
    limit = detail::tl_fatal_below;
  }
  if (__builtin_expect(detail::stack_pointer() < limit, 0)) raise_nesting_too_deep(where);
}

// True when a recursive destructor should not recurse any further on this thread.
inline bool stack_low_for_release() noexcept {
  std::uintptr_t limit = detail::tl_release_below;
  if (__builtin_expect(limit == 0, 0)) {
    detail::init_stack_limits();
    limit = detail::tl_release_below;
  }
  return detail::stack_pointer() < limit;
}

// Hands `heap_object` to the thread's deferred-release list: deleted later by `destroy`
// from a shallow frame, so that releasing a structure of any depth needs bounded stack.
// If no release loop runs on this thread yet, one runs here, right now.
void release_later(void* heap_object, void (*destroy)(void*)) noexcept;

template <class T>
void release_later(T* heap_object) noexcept {
  release_later(static_cast<void*>(heap_object), [](void* p) { delete static_cast<T*>(p); });
}

}  // namespace vrel
