// Argument binding shared by every method of the module, and the argument-name prefix of
// conversion failures.
#include "api/argument_binding.hpp"

#include <cstring>
#include <string>

#include "runtime/errors.hpp"
#include "support/messages.hpp"
#include "support/py_helpers.hpp"

namespace vrelpy {
namespace {

bool too_many_positional(const MethodSignature& sig, Py_ssize_t given) {
  const std::string message = std::string(sig.full_name) + msg::kTakes + std::to_string(sig.count) +
                              msg::kPositionalBut + std::to_string(given) +
                              (given == 1 ? msg::kWasGiven : msg::kWereGiven);
  return raise_type_error(message.c_str());
}

// Places one keyword argument; false with TypeError raised when it does not fit.
bool place_keyword(const MethodSignature& sig, PyObject* name, PyObject* value, PyObject** out) {
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (PyUnicode_Check(name) && PyUnicode_EqualToUTF8(name, sig.params[i])) {
      if (out[i]) {
        const std::string message =
            std::string(sig.full_name) + msg::kMultipleValues + sig.params[i] + '\'';
        return raise_type_error(message.c_str());
      }
      out[i] = value;
      return true;
    }
  }
  const std::string message = std::string(sig.full_name) + msg::kUnexpectedKeyword +
                              str_or(name, msg::kUnprintableName) + '\'';
  return raise_type_error(message.c_str());
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
        names += msg::kNameAnd;
      } else {
        names += listed + 1 == missing ? msg::kNameCommaAnd : msg::kNameComma;
      }
    }
    names += '\'';
    names += sig.params[i];
    names += '\'';
    ++listed;
  }
  const std::string message = std::string(sig.full_name) + msg::kMissing + std::to_string(missing) +
                              msg::kRequiredPositional +
                              (missing == 1 ? msg::kArgument : msg::kArguments) +
                              msg::kNameListStart + names;
  return raise_type_error(message.c_str());
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

bool bind_arguments(const MethodSignature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
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

bool bind_keyword_only(const MethodSignature& sig, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames, PyObject** out) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs > 0) return too_many_positional(MethodSignature{sig.full_name, nullptr, 0}, nargs);
  for (std::size_t i = 0; i < sig.count; ++i) out[i] = nullptr;
  if (!kwnames) return true;
  const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[k], out)) return false;
  }
  return true;
}

bool prefix_argument_error(const char* name) {
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  if (!exc) return false;
  if (!Py_IS_TYPE(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(exc.release());
    return false;
  }
  const std::string message =
      std::string(msg::kArgumentPrefix) + name + msg::kArgumentPrefixEnd + str_or(exc.get(), "");
  PyRef prefixed = new_type_error(message);
  if (!prefixed) return false;
  // The cause chain of the original is kept; the original itself is not linked.
  PyException_SetCause(prefixed.get(), PyException_GetCause(exc.get()));
  PyErr_SetRaisedException(prefixed.release());
  return false;
}

}  // namespace vrelpy
