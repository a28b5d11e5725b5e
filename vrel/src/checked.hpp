// VREL_EXPECT: preconditions stated in comments, checked in the sanitizer and coverage builds.
#pragma once

// VREL_EXPECT(condition) states what a function relies on and its callers guarantee (an
// operand's tag, the operand stack's bound, ...). Built with VREL_CHECKED (the CMake option
// VRELPY_CHECKED, on in the sanitizer and coverage presets) a false condition reports where
// and aborts: a broken precondition is a fault of the core, never of a program. Elsewhere
// it compiles to nothing and the condition is not evaluated.
#if defined(VREL_CHECKED) && VREL_CHECKED
#define VREL_EXPECT(condition)        \
  ((condition) ? static_cast<void>(0) \
               : ::vrel::detail::precondition_failed(#condition, __FILE__, __LINE__))
#else
#define VREL_EXPECT(condition) static_cast<void>(0)
#endif

namespace vrel::detail {

// Writes "vrel: precondition failed at FILE:LINE: CONDITION" to standard error and aborts.
[[noreturn, gnu::cold]] void precondition_failed(const char* condition, const char* file,
                                                 int line) noexcept;

}  // namespace vrel::detail
