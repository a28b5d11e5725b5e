// What the static builders of `Expr` and `Statement` share: binding their arguments under
// the error convention, and converting identifier and expression parameters.
#pragma once

#include <optional>

#include "argument_binding.hpp"
#include "classes.hpp"
#include "conversion.hpp"
#include "errors.hpp"

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

// Parameter `name` as an identifier; nullopt with the prefixed error pending.
inline std::optional<vrel::Identifier> identifier_param(PyObject* obj, const char* name) {
  vrel::Identifier id;
  if (!extract_identifier(obj, id)) {
    prefix_argument_error(name);
    return std::nullopt;
  }
  return id;
}

// Parameter `name` as the expression an `Expr` object contributes; nullopt with the
// prefixed TypeError pending when `obj` is not an `Expr`.
inline std::optional<vrel::Expr> expr_param(PyObject* obj, const char* name) {
  if (!check_instance(obj, g_expr_type, "Expr")) {
    prefix_argument_error(name);
    return std::nullopt;
  }
  return tree_from<vrel::Expr>(obj);
}

}  // namespace vrelpy
