// Instance layouts and type objects of the module's three classes.
#pragma once

#include <atomic>
#include <cstdint>

#include "py_ref.hpp"
#include "vrel/machine.hpp"
#include "vrel/syntax_tree.hpp"

namespace vrelpy {

// `Expr`: one core expression, owned by value and never changed after creation.
struct PyExpr {
  PyObject_HEAD
  vrel::Expr expr;
};

// `Statement`: one core statement, owned by value and never changed after creation.
struct PyStatement {
  PyObject_HEAD
  vrel::Statement statement;
};

// `Vrel`: one machine for the object's whole life, and a count of the calls using it.
// Every call borrows the machine shared; no operation ever borrows it exclusively.
struct PyVrel {
  PyObject_HEAD
  vrel::Machine machine;
  std::atomic<std::uint64_t> borrows;
};

// The type objects, created once per process by the first import (borrowed; never freed).
extern PyTypeObject* g_vrel_type;
extern PyTypeObject* g_statement_type;
extern PyTypeObject* g_expr_type;

// Create the type objects; null with an exception pending on failure.
PyTypeObject* create_vrel_type();
PyTypeObject* create_statement_type();
PyTypeObject* create_expr_type();

// New `Expr` / `Statement` objects holding the given tree.
PyObject* wrap_expr(vrel::Expr expr);
PyObject* wrap_statement(vrel::Statement statement);

// The tree held by an `Expr` or `Statement` object (the object's type has been checked).
template <class Tree>
const Tree& tree_of(PyObject* obj);
template <>
inline const vrel::Expr& tree_of<vrel::Expr>(PyObject* obj) {
  return reinterpret_cast<PyExpr*>(obj)->expr;
}
template <>
inline const vrel::Statement& tree_of<vrel::Statement>(PyObject* obj) {
  return reinterpret_cast<PyStatement*>(obj)->statement;
}

// Refusing constructor of classes without one: "No constructor defined for <name>".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace vrelpy
