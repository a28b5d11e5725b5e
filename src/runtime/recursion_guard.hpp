// The guard of every recursion of the binding over Python objects or program trees.
#pragma once

#include "support/messages.hpp"
#include "support/py_ref.hpp"
#include "vrel/native_stack.hpp"

namespace vrelpy {

// Guards one level of a recursion by the interpreter's recursion limit and by the real
// remaining native stack, checked first with the core's headroom: CPython 3.13 only counts
// levels, and a thread may have far less stack than the count allows; 3.14 and later measure
// the stack but keep a smaller margin than the core needs for unwinding. Failing, it leaves
// RecursionError pending and tests false; `where` ends the message ("maximum recursion depth
// exceeded<where>").
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where) noexcept {
    if (vrel::native_stack_exhausted()) {
      PyErr_Format(PyExc_RecursionError, msg::kRecursionFormat, where);
      return;
    }
    entered_ = Py_EnterRecursiveCall(where) == 0;
  }
  ~RecursionGuard() {
    if (entered_) Py_LeaveRecursiveCall();
  }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
  explicit operator bool() const noexcept { return entered_; }

 private:
  bool entered_ = false;
};

}  // namespace vrelpy
