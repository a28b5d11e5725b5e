// The limits of a machine's runs as Python sees them: checking set_limits' arguments, and
// the dict that Vrel.limits returns.
#include "runtime/limits.hpp"

#include <cmath>

#include "support/messages.hpp"

namespace vrelpy {
namespace {

bool fail(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  return false;
}

bool fail_count(PyObject* type, const char* format, const char* name) {
  PyErr_Format(type, format, name);
  return false;
}

// An int limit: steps or memory.
bool count_limit(PyObject* obj, const char* name, std::uint64_t& out) {
  out = 0;
  if (!obj || obj == Py_None) return true;
  if (!PyLong_Check(obj) || PyBool_Check(obj)) {
    return fail_count(PyExc_TypeError, msg::kCountLimitFormat, name);
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow > 0) return fail_count(PyExc_ValueError, msg::kCountLimitTooLargeFormat, name);
  if (overflow < 0 || v <= 0) return fail_count(PyExc_ValueError, msg::kCountLimitFormat, name);
  out = static_cast<std::uint64_t>(v);
  return true;
}

bool seconds_limit(PyObject* obj, double& out) {
  out = 0;
  if (!obj || obj == Py_None) return true;
  double d = 0;
  if (PyFloat_Check(obj)) {
    d = PyFloat_AS_DOUBLE(obj);
  } else if (PyLong_Check(obj) && !PyBool_Check(obj)) {
    // An int beyond 64 bits is far beyond the limit's range, whatever its exact value.
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    d = overflow ? overflow * 2 * vrel::kMaxSecondsLimit : static_cast<double>(v);
  } else {
    return fail(PyExc_TypeError, msg::kSecondsLimit);
  }
  if (std::isnan(d) || d <= 0) return fail(PyExc_ValueError, msg::kSecondsLimit);
  if (std::isinf(d)) return fail(PyExc_ValueError, msg::kSecondsNotFinite);
  if (d > vrel::kMaxSecondsLimit) return fail(PyExc_ValueError, msg::kSecondsTooLarge);
  out = d;
  return true;
}

PyRef count_or_none(std::uint64_t n) {
  return n ? PyRef::steal(PyLong_FromUnsignedLongLong(n)) : PyRef::borrow(Py_None);
}

}  // namespace

bool limits_from_python(PyObject* steps, PyObject* memory, PyObject* seconds,
                        vrel::RunLimits& out) {
  vrel::RunLimits limits;
  if (!count_limit(steps, msg::kLimitSteps, limits.steps) ||
      !count_limit(memory, msg::kLimitMemory, limits.memory) ||
      !seconds_limit(seconds, limits.seconds)) {
    return false;
  }
  out = limits;
  return true;
}

PyRef limits_to_python(const vrel::RunLimits& limits) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return dict;
  PyRef steps = count_or_none(limits.steps);
  PyRef memory = count_or_none(limits.memory);
  PyRef seconds = limits.seconds > 0 ? PyRef::steal(PyFloat_FromDouble(limits.seconds))
                                     : PyRef::borrow(Py_None);
  if (!steps || !memory || !seconds ||
      PyDict_SetItemString(dict.get(), msg::kLimitSteps, steps.get()) < 0 ||
      PyDict_SetItemString(dict.get(), msg::kLimitMemory, memory.get()) < 0 ||
      PyDict_SetItemString(dict.get(), msg::kLimitSeconds, seconds.get()) < 0) {
    return PyRef();
  }
  return dict;
}

}  // namespace vrelpy
