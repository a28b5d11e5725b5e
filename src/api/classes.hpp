// Instance layouts and type objects of the module's three classes.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "support/py_helpers.hpp"
#include "support/py_ref.hpp"
#include "vrel/machine.hpp"
#include "vrel/syntax_tree.hpp"

namespace vrelpy {

// Every instance of the three classes starts with this prefix. `built` is set once the
// payload after it has been constructed: memory that tp_alloc merely zeroed never passes for
// a machine or a tree, even if a caller gets around the refusing constructors. Instances are
// made and destroyed by new_instance and dealloc_instance (py_helpers.hpp).
struct PyBuiltHead {
  PyObject_HEAD bool built;
};

inline bool is_built(PyObject* obj) noexcept { return reinterpret_cast<PyBuiltHead*>(obj)->built; }

// True when `obj` is a built instance of `type`. Otherwise sets a TypeError: the mismatch
// error naming `target` for another type, "<target> object is not initialized" for an
// instance that was never built.
bool check_instance(PyObject* obj, PyTypeObject* type, const char* target);

// `Expr`: one core expression, never changed after creation. A leaf (a variable read or a
// constant) is held as it is, since copying it costs less than reaching it through a
// pointer at every evaluation; anything larger is held as a shared subtree, so that
// builders and statements refer to it instead of copying it. An `Expr` never holds a
// function value, so sharing cannot be told apart from copying.
struct PyExpr : PyBuiltHead {
  vrel::Expr expr;
};

// `Statement`: one core statement, owned by value and never changed after creation.
struct PyStatement : PyBuiltHead {
  vrel::Statement statement;
};

// The places of the names that a Vrel's mapping methods bound or read, so that feeding and
// reading the same names over and over skips converting, hashing and searching them: `names`
// maps each exact str to the index of its place in `places`. A name gets one entry, the
// first time a mapping method binds or finds its variable, and keeps it: variables are never
// removed and their places never change, so the cache holds at most one entry per variable
// of the machine. Only exact strs are entered, since looking one up runs no Python code and
// cannot be misled by a subclass's __hash__ or __eq__. In front of it, `recent` remembers the
// places of recently used str objects by address (each entry holds its str, so an address is
// never reused while remembered): a host that feeds records with the same key objects each
// time finds them there without even a dict lookup. Two ways per set, the most recently
// entered first, so that two keys whose addresses meet in one set do not evict each other on
// every record. Guarded by the interpreter lock: only the mapping methods touch it, and they
// hold the lock throughout.
struct PlaceCache {
  struct Recent {
    PyRef key;
    vrel::Machine::Place place;
  };
  using RecentSet = std::array<Recent, 2>;
  static constexpr std::size_t kRecentSets = 64;  // a power of two

  PyRef names;  // a dict, made on first use
  std::vector<vrel::Machine::Place> places;
  std::array<RecentSet, kRecentSets> recent{};

  static std::size_t recent_index(PyObject* key) noexcept {
    const auto address = reinterpret_cast<std::uintptr_t>(key);
    return (address >> 4 ^ address >> 10) & (kRecentSets - 1);
  }
};

// What a Vrel holds: its machine, and the place cache of its mapping methods.
struct VrelState {
  explicit VrelState(vrel::Machine&& m) noexcept : machine(std::move(m)) {}
  vrel::Machine machine;
  PlaceCache places;
};

// `Vrel`: one machine for the object's whole life. Calls use it concurrently, through its
// const interface only: the machine synchronises its own store.
struct PyVrel : PyBuiltHead {
  VrelState state;
};

// The type objects, created once per process by the first import (borrowed; never freed).
extern PyTypeObject* g_vrel_type;
extern PyTypeObject* g_statement_type;
extern PyTypeObject* g_expr_type;

// Create the type objects; null with an exception pending on failure.
PyTypeObject* create_vrel_type();
PyTypeObject* create_statement_type();
PyTypeObject* create_expr_type();

// New `Expr` / `Statement` objects holding the given tree. A statement is built in place
// from its node (Let, If or Fn), without moving it through temporaries.
PyObject* wrap_expr(vrel::Expr expr);
template <class Node>
PyObject* wrap_statement(Node&& node) {
  return new_instance<&PyStatement::statement>(g_statement_type, std::forward<Node>(node));
}

// The tree an `Expr` or `Statement` argument contributes to a new tree (the object's type
// has been checked): a reference to the shared expression, a deep copy of the statement.
template <class Tree>
Tree tree_from(PyObject* obj);
template <>
inline vrel::Expr tree_from<vrel::Expr>(PyObject* obj) {
  return reinterpret_cast<PyExpr*>(obj)->expr;
}
template <>
inline vrel::Statement tree_from<vrel::Statement>(PyObject* obj) {
  return reinterpret_cast<PyStatement*>(obj)->statement;
}

// The statement held by a `Statement` object (type checked by the caller).
inline const vrel::Statement& statement_of(PyObject* obj) {
  return reinterpret_cast<PyStatement*>(obj)->statement;
}

// Refusing constructor of classes without one: "No constructor defined for <name>".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace vrelpy
