// The results of expression nodes from their operands: what the tree walk and the compact
// form of an expression both compute, out of line, for every case but the plainest.
#pragma once

#include <cstdint>
#include <source_location>

#include "operand.hpp"
#include "operators.hpp"
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

// A fatal error decided by the operands alone, for the compact form, which reports it without
// unwinding (an unwinding costs microseconds): the message and the place that decides it.
struct FailureSite {
  const char* message;
  std::source_location where;
};
// The failure the node would stop with on these operands, or null when the general rule
// would not fail on their kinds (or, for /, on the int divisor). Mirrors the checks of the
// general rules in their order: binary_result, greater_result/less_result and not_result
// fail exactly when these give a site, and with its message.
const FailureSite* binary_failure(BinaryOperator op, const Operand& l, const Operand& r) noexcept;
const FailureSite* compare_failure(const Operand& l, const Operand& r) noexcept;
const FailureSite* not_failure(const Operand& v) noexcept;
// A call of a variable that holds no function.
extern const FailureSite kCalleeNotFunctionSite;
// A read of an unbound variable (the message is followed by the identifier's debug form).
extern const FailureSite kValueNotFoundSite;

// The nodes that combine two evaluated operands, for the one plain-int fast path that the
// tree walk and the compact form share. The arithmetic ones carry BinaryOperator's values.
enum class PairOp : std::uint8_t { Add, Sub, Mul, Div, Equals, Greater, Less };
static_assert(PairOp(BinaryOperator::Add) == PairOp::Add &&
              PairOp(BinaryOperator::Sub) == PairOp::Sub &&
              PairOp(BinaryOperator::Mul) == PairOp::Mul &&
              PairOp(BinaryOperator::Div) == PairOp::Div);

// The result of `op` on `l` and `r` is pair_result when both_plain_ints, general_result
// otherwise. Two plain ints are combined inline, except by a division (whose errors the
// general rule raises); every other case goes out of line. Inline, so that a caller that
// knows `op` keeps only its own case; the compact form then also drops its operands without
// releasing them.
inline bool both_plain_ints(PairOp op, const Operand& l, const Operand& r) noexcept {
  return l.is_plain_int() && r.is_plain_int() && op != PairOp::Div;
}
inline Operand pair_result(PairOp op, std::int64_t a, std::int64_t b) noexcept {
  switch (op) {
    case PairOp::Equals:
      return Operand::boolean(a == b);
    case PairOp::Greater:
      return Operand::boolean(a > b);
    case PairOp::Less:
      return Operand::boolean(a < b);
    default:
      return Operand::number(
          Number::from_int(wrapping_int_operation(static_cast<BinaryOperator>(op), a, b)));
  }
}
inline Operand general_result(PairOp op, const Operand& l, const Operand& r) {
  switch (op) {
    case PairOp::Equals:
      return equals_result(l, r);
    case PairOp::Greater:
      return greater_result(l, r);
    case PairOp::Less:
      return less_result(l, r);
    default:
      return binary_result(static_cast<BinaryOperator>(op), l, r);
  }
}

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

// The same call, except that an unbound function or a variable holding no function is not
// raised: `failure` is set and the operand returned means nothing.
Operand call_checked(const Machine& m, const Identifier& function, const detail::CellMemo& memo,
                     Operand argument, const FailureSite*& failure);

}  // namespace vrel
