// Argument binding shared by every method of the module, and the argument-name prefix of
// conversion failures.
#pragma once

#include <cstddef>

#include "support/py_ref.hpp"

namespace vrelpy {

// A method's full name as shown in binding errors ("Vrel.run()") and its parameter names.
// Every parameter is required and may be given by position or by keyword.
struct MethodSignature {
  const char* full_name;
  const char* const* params;
  std::size_t count;
};

template <std::size_t N>
constexpr MethodSignature signature(const char* full_name, const char* const (&params)[N]) {
  return MethodSignature{full_name, params, N};
}
constexpr MethodSignature signature(const char* full_name) {
  return MethodSignature{full_name, nullptr, 0};
}

// Binds vectorcall-style arguments. On success `out[i]` holds the (borrowed) object of
// parameter i. On failure raises TypeError with the binding message and returns false.
bool bind_arguments(const MethodSignature& sig, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, PyObject** out);

// The same for an argument tuple and a keyword dict (constructors).
bool bind_arguments(const MethodSignature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Binds vectorcall-style arguments to optional keyword-only parameters (`sig.params`): no
// positional argument is accepted, and `out[i]` is null for a parameter not given. On
// failure raises TypeError with the binding message and returns false.
bool bind_keyword_only(const MethodSignature& sig, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames, PyObject** out);

// Call after converting parameter `name` failed (an exception is pending). An exception of
// exactly TypeError becomes a new TypeError "argument '<name>': <message>" whose __cause__
// is the original's __cause__; any other exception stays as it is. Always returns false.
bool prefix_argument_error(const char* name);

}  // namespace vrelpy
