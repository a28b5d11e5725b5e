// What differs between the CPython versions this module is built for (3.13, 3.14, 3.15).
#pragma once

#include "support/py_ref.hpp"

#if PY_VERSION_HEX < 0x030D0000
#error "vrelpy needs CPython 3.13 or later"
#endif

namespace vrelpy::compat {

// How the interpreter bounds recursion in C (C calls re-entering the eval loop, reprs,
// Py_EnterRecursiveCall):
//
// 3.13: by a count of levels in the thread state, `c_recursion_remaining`, that assumes a
//   whole thread stack is free. Python code called from deep inside an evaluation has only
//   what the evaluation left, so the binding lowers that count for the call (see
//   runtime/interpreter_stack_budget.hpp). The field is a public member of PyThreadState in
//   3.13 only.
// 3.14, 3.15: by the machine stack itself: the interpreter compares the stack pointer with
//   the thread's real stack bounds (the ones the core's own guard reads) and raises
//   RecursionError a fixed margin above the end, wherever the call starts. Nothing to lower;
//   the count is gone. PyUnstable_ThreadState_SetStackProtection is deliberately not used:
//   it can only move that margin up, and a call that starts below the moved hard limit is a
//   fatal error ("Unrecoverable stack overflow") instead of a RecursionError; it is also
//   missing from the first 3.14 releases, where a module built against it would not import.
#if PY_VERSION_HEX < 0x030E0000
inline constexpr bool kCountsCRecursion = true;
inline int c_recursion_remaining(PyThreadState* tstate) noexcept {
  return tstate->c_recursion_remaining;
}
inline void set_c_recursion_remaining(PyThreadState* tstate, int levels) noexcept {
  tstate->c_recursion_remaining = levels;
}
#else
inline constexpr bool kCountsCRecursion = false;
inline int c_recursion_remaining(PyThreadState*) noexcept { return 0; }
inline void set_c_recursion_remaining(PyThreadState*, int) noexcept {}
#endif

// Compact ints: PyUnstable_Long_IsCompact and PyUnstable_Long_CompactValue (used on the hot
// conversion paths, conversion/conversion.hpp) are the same in 3.13, 3.14 and 3.15. Being
// unstable API they may change in any minor release: check them here when adding one.
//
// Free-threaded builds (3.14t, 3.15t) are not supported yet: the module does not declare
// that it runs without the interpreter lock (PyUnstable_Module_SetGIL), so such an
// interpreter turns its lock back on when importing it (and says so), and the binding's rule
// that Python objects are touched only under the interpreter lock still holds there.

}  // namespace vrelpy::compat
