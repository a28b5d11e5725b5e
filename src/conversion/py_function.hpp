// Python functions as language functions: the function object that wraps them.
#pragma once

#include <string>

#include "support/py_ref.hpp"
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
  // The same, converting a number or boolean without a shared handle around it.
  vrel::Value run_plain(vrel::Value argument) const override;

  // The Python function (borrowed; alive as long as this object).
  PyObject* function() const noexcept { return f_; }

 private:
  // Calls the function with `arg`, the converted argument (null with the conversion's error
  // pending): its result, a new reference. A failure of either is a fatal error.
  PyRef call(PyRef arg) const;
  // run, with the argument converted by `convert` once the interpreter lock is held.
  template <class Convert>
  vrel::Value run_converting(Convert&& convert) const;

  PyObject* f_;  // owned
};

}  // namespace vrelpy
