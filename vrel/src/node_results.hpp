// The results of expression nodes from their operands: what the tree walk and the compact
// form of an expression both compute, out of line, for every case but the plainest.
#pragma once

#include "operand.hpp"
#include "vrel/machine.hpp"
#include "vrel/syntax_tree.hpp"

namespace vrel {

// Each takes its fast path only where the general rule would give the same result; anything
// else (strings, type errors) goes through the general rule, so messages and the order of
// checks are the same either way.
Operand binary_result(BinaryOperator op, const Operand& l, const Operand& r);
Operand equals_result(const Operand& l, const Operand& r);
Operand greater_result(const Operand& l, const Operand& r);
Operand less_result(const Operand& l, const Operand& r);
Operand not_result(const Operand& v);

// The boolean held by an operand that must be one (an operand of `and` or `or`, a
// condition); any other value is the fatal error `message`.
[[gnu::noinline]] bool held_boolean(const Operand& v, const char* message);
inline bool boolean_operand(const Operand& v, const char* message) {
  return v.is_plain_boolean() ? v.plain_boolean() : held_boolean(v, message);
}

// A literal of a tree being consumed: its value is moved out.
Operand literal_result(Expr::Literal& literal);
// A literal of a borrowed tree is copied: a text or vector copy is memory the run creates.
Operand literal_result(const Expr::Literal& literal);

// Calls the function bound to `function` (its cell remembered in `memo`) with `argument`,
// already evaluated: its effects happen even when the lookup fails. No store lock is held
// while the function runs.
Operand call_function(const Machine& m, const Identifier& function, const detail::CellMemo& memo,
                      Operand argument);

}  // namespace vrel
