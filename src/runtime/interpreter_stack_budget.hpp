// The interpreter's C recursion count, lowered to fit the native stack that an evaluation
// leaves to the Python code it runs.
#pragma once

#include <cstddef>

#include "support/py_ref.hpp"
#include "support/python_compat.hpp"
#include "vrel/native_stack.hpp"

namespace vrelpy {

// CPython 3.13 bounds recursion in C by a count of levels (about 10,000) that assumes a
// whole thread stack is free. Python code called from deep inside an evaluation has only
// what the evaluation left, so for the call (and for the reprs and conversions around it)
// the count is lowered to what that stack holds, and Python raises RecursionError in time.
// Measured levels of CPython's C recursion (the eval loop re-entered through a C call, reprs,
// the json encoder) take up to about 370 bytes of stack each; a level is given 1 KiB, and
// kStackReserve stays free for this module's own frames and the fatal-error path.
// CPython 3.14 and later measure the real stack themselves; there this class does nothing
// (support/python_compat.hpp says why).
class InterpreterStackBudget {
 public:
  // `tstate`: this thread's attached thread state.
  explicit InterpreterStackBudget(PyThreadState* tstate) noexcept : tstate_(tstate) {
    if constexpr (compat::kCountsCRecursion) {
      constexpr std::size_t kBytesPerLevel = 1024;
      constexpr std::size_t kStackReserve = 64 * 1024;
      const std::size_t left = vrel::native_stack_left();
      const std::size_t fits = left > kStackReserve ? (left - kStackReserve) / kBytesPerLevel : 0;
      const int remaining = compat::c_recursion_remaining(tstate_);
      if (fits < static_cast<std::size_t>(remaining)) {
        lowered_by_ = remaining - static_cast<int>(fits);
        compat::set_c_recursion_remaining(tstate_, static_cast<int>(fits));
      }
    }
  }
  // Gives the levels back (once). Call it on every way out that still holds the interpreter
  // lock: a normal return, and a C++ exception caught on its way through. The destructor does
  // not, since it also runs when the interpreter ends the thread during shutdown, with no
  // thread state attached and that state possibly freed already.
  void restore() noexcept {
    if (lowered_by_ == 0) return;
    compat::set_c_recursion_remaining(tstate_,
                                      compat::c_recursion_remaining(tstate_) + lowered_by_);
    lowered_by_ = 0;
  }
  InterpreterStackBudget(const InterpreterStackBudget&) = delete;
  InterpreterStackBudget& operator=(const InterpreterStackBudget&) = delete;

 private:
  PyThreadState* tstate_;
  int lowered_by_ = 0;
};

}  // namespace vrelpy
