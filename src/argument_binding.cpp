// Argument binding shared by every method of the module, and the argument-name prefix of
// conversion failures.
#include "argument_binding.hpp"

#include <cstring>
#include <string>

#include "errors.hpp"

namespace vrelpy {
namespace {

bool raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

bool too_many_positional(const MethodSignature& sig, Py_ssize_t given) {
  return raise_type_error(std::string(sig.full_name) + " takes " + std::to_string(sig.count) +
                          " positional arguments but " + std::to_string(given) +
                          (given == 1 ? " was" : " were") + " given");
}

// Places one keyword argument; false with TypeError raised when it does not fit.
bool place_keyword(const MethodSignature& sig, PyObject* name, PyObject* value, PyObject** out) {
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (PyUnicode_Check(name) && PyUnicode_EqualToUTF8(name, sig.params[i])) {
      if (out[i]) {
        return raise_type_error(std::string(sig.full_name) + " got multiple values for argument '" +
                                sig.params[i] + "'");
      }
      out[i] = value;
      return true;
    }
  }
  return raise_type_error(std::string(sig.full_name) + " got an unexpected keyword argument '" +
                          str_or(name, "<unprintable>") + "'");
}

bool check_missing(const MethodSignature& sig, PyObject** out) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < sig.count; ++i) missing += out[i] == nullptr;
  if (missing == 0) return true;
  std::string names;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (out[i]) continue;
    if (listed > 0) {
      if (missing == 2) {
        names += " and ";
      } else {
        names += listed + 1 == missing ? ", and " : ", ";
      }
    }
    names += '\'';
    names += sig.params[i];
    names += '\'';
    ++listed;
  }
  return raise_type_error(std::string(sig.full_name) + " missing " + std::to_string(missing) +
                          " required positional " + (missing == 1 ? "argument" : "arguments") +
                          ": " + names);
}

}  // namespace

bool bind_arguments(const MethodSignature& sig, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, PyObject** out) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (static_cast<std::size_t>(nargs) > sig.count) return too_many_positional(sig, nargs);
  for (std::size_t i = 0; i < sig.count; ++i) {
    out[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
  }
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  return check_missing(sig, out);
}

bool bind_arguments(const MethodSignature& sig, PyObject* args, PyObject* kwargs,
                    PyObject** out) {
  const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
  if (static_cast<std::size_t>(nargs) > sig.count) return too_many_positional(sig, nargs);
  for (std::size_t i = 0; i < sig.count; ++i) {
    out[i] = i < static_cast<std::size_t>(nargs) ? PyTuple_GET_ITEM(args, i) : nullptr;
  }
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!place_keyword(sig, name, value, out)) return false;
    }
  }
  return check_missing(sig, out);
}

void prefix_argument_error(const char* name) {
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  if (!exc) return;
  if (!Py_IS_TYPE(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(exc.release());
    return;
  }
  std::string message = std::string("argument '") + name + "': " + str_or(exc.get(), "");
  PyRef prefixed = PyRef::steal(PyObject_CallFunction(
      PyExc_TypeError, "s#", message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!prefixed) return;
  // The cause chain of the original is kept; the original itself is not linked.
  PyException_SetCause(prefixed.get(), PyException_GetCause(exc.get()));
  PyErr_SetRaisedException(prefixed.release());
}

}  // namespace vrelpy
