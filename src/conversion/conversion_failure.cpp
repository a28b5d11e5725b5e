// Naming what failed to convert: the key of a binding, the function's result, the item.
#include "conversion/conversion_failure.hpp"

#include <string>

#include "conversion/conversion.hpp"
#include "runtime/errors.hpp"
#include "support/messages.hpp"

namespace vrelpy {
namespace {

// Items of exact lists and tuples are searched this deep at most; below, the list itself is
// named.
constexpr int kMaxSearchDepth = 64;

// The first item under `obj` that does not convert on its own, with its index path; false
// when every item converts (the failure came from somewhere else).
bool find_culprit(PyObject* obj, int depth, std::string& path, PyRef& culprit) {
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    if (depth >= kMaxSearchDepth) return false;
    for (Py_ssize_t i = 0; i < Py_SIZE(obj); ++i) {
      PyRef item = PyRef::borrow(PyList_CheckExact(obj) ? PyList_GET_ITEM(obj, i)
                                                        : PyTuple_GET_ITEM(obj, i));
      const std::size_t before = path.size();
      path += '[' + std::to_string(i) + ']';
      if (find_culprit(item.get(), depth + 1, path, culprit)) return true;
      path.resize(before);
    }
    return false;
  }
  vrel::Value scratch;
  if (extract_value(obj, scratch)) return false;
  PyErr_Clear();
  culprit = PyRef::borrow(obj);
  return true;
}

}  // namespace

PyRef unconvertible_text(PyObject* obj) {
  std::string path;
  PyRef culprit;
  try {
    if (!find_culprit(obj, 0, path, culprit)) {
      path.clear();
      culprit = PyRef::borrow(obj);
    }
  } catch (const std::exception&) {  // a panic resumed by Python code the search ran
    path.clear();
    culprit = PyRef::borrow(obj);
  }
  std::string text;
  if (!path.empty()) text = "at " + path + ": ";
  text += msg::kMismatchStart;
  text += type_qualname(culprit.get());
  text += msg::kMismatchMiddle;
  text += msg::kValueEnum;
  text += msg::kMismatchEnd;
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

bool name_binding_failure(const char* prefix, PyObject* key, PyObject* value) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyRef original = PyRef::steal(PyErr_GetRaisedException());
  PyRef culprit = unconvertible_text(value);
  PyRef named =
      culprit ? PyRef::steal(PyUnicode_FromFormat("%svalue for %R: %U", prefix, key, culprit.get()))
              : PyRef();
  PyRef error = named ? PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, named.get())) : PyRef();
  if (!error) {
    PyErr_Clear();
    PyErr_SetRaisedException(original.release());
    return false;
  }
  PyException_SetCause(error.get(), original.release());
  PyErr_SetRaisedException(error.release());
  return false;
}

}  // namespace vrelpy
