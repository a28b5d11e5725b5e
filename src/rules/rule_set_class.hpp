// The class `RuleSet`: named rules applied to many records, each record on its own.
#pragma once

#include <memory>
#include <vector>

#include "api/classes.hpp"
#include "rules/rule_program.hpp"
#include "support/py_ref.hpp"

namespace vrelpy {

// What a RuleSet holds: set once by its constructor and never changed, so that any number
// of threads use it at once. `program` is shared with the worker threads of its
// evaluations (they read nothing else); the Python objects are touched only under the
// interpreter lock.
struct RuleSetState {
  std::shared_ptr<const rules::RuleProgram> program;
  PyRef rules;             // dict: name -> the rule as given (an Expr, or a tuple of Statements)
  PyRef setup;             // list of Statements
  PyRef functions;         // as given, or None
  PyRef limits;            // dict of the limits as given, or None
  PyRef inputs;            // tuple
  PyRef functions_called;  // tuple
  std::vector<PyRef> rule_names;
};

struct PyRuleSet : PyBuiltHead {
  RuleSetState state;
};

extern PyTypeObject* g_rule_set_type;

// Creates the type object; null with an exception pending on failure.
PyTypeObject* create_rule_set_type();

// vrelpy._rule_set(rules, setup, functions, limits): the rebuilder that pickles call.
PyObject* rule_set_rebuild(PyObject* unused, PyObject* const* args, Py_ssize_t nargs);

}  // namespace vrelpy
