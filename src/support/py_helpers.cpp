// The small helpers every file of the binding shares.
#include "support/py_helpers.hpp"

#include "support/messages.hpp"

namespace vrelpy {
namespace {

// The text of `text_obj` (a new reference, null when making it failed), or `fallback`.
std::string text_or(PyRef text_obj, const char* fallback) {
  std::string out;
  if (text_obj && utf8_text(text_obj.get(), out)) return out;
  PyErr_Clear();
  return fallback;
}

}  // namespace

PyRef new_type_error(std::string_view message) {
  return PyRef::steal(PyObject_CallFunction(PyExc_TypeError, "s#", message.data(),
                                            static_cast<Py_ssize_t>(message.size())));
}

bool raise_type_error(const char* message) {
  PyErr_SetString(PyExc_TypeError, message);
  return false;
}

std::string str_or(PyObject* obj, const char* fallback) {
  return text_or(PyRef::steal(PyObject_Str(obj)), fallback);
}

std::string repr_or(PyObject* obj, const char* fallback) {
  return text_or(PyRef::steal(PyObject_Repr(obj)), fallback);
}

std::string type_qualname(PyObject* obj) {
  return text_or(PyRef::steal(PyType_GetQualName(Py_TYPE(obj))), msg::kNoTypeName);
}

}  // namespace vrelpy
