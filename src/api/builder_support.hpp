// What the static builders of `Expr` and `Statement` share: binding their arguments under
// the error convention, and converting identifier and expression parameters.
#pragma once

#include "api/argument_binding.hpp"
#include "api/classes.hpp"
#include "conversion/conversion.hpp"
#include "runtime/errors.hpp"
#include "support/messages.hpp"
#include "support/py_helpers.hpp"

namespace vrelpy {

// Runs a builder with `N` parameters: binds the fast-call arguments by `sig`, then hands the
// bound objects to `build`, inside the entry-point guard.
template <std::size_t N, class Build>
PyObject* run_builder(const MethodSignature& sig, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames, Build&& build) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* bound[N];
    if (!bind_arguments(sig, args, nargsf, kwnames, bound)) return nullptr;
    return build(bound);
  });
}

// Parameter `name` as an identifier; false with the prefixed error pending.
inline bool identifier_param(PyObject* obj, const char* name, vrel::Identifier& out) {
  return extract_identifier(obj, out) || prefix_argument_error(name);
}

// Parameter `name` as an `Expr` object, whose tree the caller takes with tree_from; null
// with the prefixed TypeError pending when `obj` is not an `Expr`.
inline PyObject* expr_param(PyObject* obj, const char* name) {
  if (check_instance(obj, g_expr_type, msg::kTargetExpr)) return obj;
  prefix_argument_error(name);
  return nullptr;
}

}  // namespace vrelpy
