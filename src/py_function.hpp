// Python functions as language functions: the function object that wraps them.
#pragma once

#include <string>

#include "py_ref.hpp"
#include "vrel/value.hpp"

namespace vrelpy {

// A language function backed by a plain Python function. Every copy (clone_box) shares the
// same Python function and holds one reference to it. Safe to copy, call and destroy on
// any thread: each operation takes the interpreter lock when the thread lacks it.
class PyVrelFn final : public vrel::VrelFunction {
 public:
  // Takes over `function` (a new reference to an object of exactly the function type).
  explicit PyVrelFn(PyRef function) noexcept : f_(function.release()) {}
  ~PyVrelFn() override;
  PyVrelFn(const PyVrelFn&) = delete;
  PyVrelFn& operator=(const PyVrelFn&) = delete;

  vrel::FunctionBox clone_box() const override;
  // "PyVrelFn { f: Py(0x7f...) }"
  void fmt(std::string& out) const override;
  // Calls the function with the converted argument; failures are fatal errors.
  vrel::Value run(vrel::SharedValue argument) const override;

  // The Python function (borrowed; alive as long as this object).
  PyObject* function() const noexcept { return f_; }

 private:
  // Converts the argument (consuming it) and calls the function: its result, a new
  // reference. A failure of either is a fatal error.
  PyRef call(vrel::SharedValue argument) const;

  PyObject* f_;  // owned
};

}  // namespace vrelpy
