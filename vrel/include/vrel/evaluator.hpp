// Execution of vrel programs against a machine.
#pragma once

#include <vector>

#include "vrel/machine.hpp"
#include "vrel/syntax_tree.hpp"
#include "vrel/value.hpp"

namespace vrel {

// Executes `program` statement by statement against `machine`, consuming it. A fatal
// error (FatalError) abandons the rest; bindings made before it stay.
void deduce(const Machine& machine, std::vector<Statement> program);

// Evaluates `expression`, consuming it. The result is a new shared value, except for a
// variable read, which returns the stored value itself. May raise FatalError.
SharedValue deduce_expr(const Machine& machine, Expr expression);

}  // namespace vrel
