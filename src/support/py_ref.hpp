// Owned references to Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vrelpy {

// Owns one strong reference to a Python object (or nothing). Construction says where the
// reference comes from: `steal` takes over a new reference returned by the C API (null
// allowed, meaning "an exception is pending"); `borrow` takes one more reference to an
// object borrowed from elsewhere. Plain `PyObject*` parameters in this module are borrowed.
class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* owned) noexcept { return PyRef(owned); }
  static PyRef borrow(PyObject* borrowed) noexcept { return PyRef(Py_XNewRef(borrowed)); }

  PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef(std::move(other)).swap(*this);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }

  explicit operator bool() const noexcept { return p_ != nullptr; }
  PyObject* get() const noexcept { return p_; }
  // Gives up ownership: the caller now owns the reference.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void swap(PyRef& other) noexcept { std::swap(p_, other.p_); }

 private:
  explicit PyRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace vrelpy
