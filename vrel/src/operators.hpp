// Operators of the language: arithmetic and concatenation, ordering comparisons, not.
#pragma once

#include <cstdint>

#include "vrel/syntax_tree.hpp"
#include "vrel/value.hpp"

namespace vrel {

// The result of `left op right`: numbers by the number rules (Int op Int wraps, any float
// operand gives a float), Add on two strings concatenates. Other combinations are fatal.
Value binary_operation(BinaryOperator op, const Value& left, const Value& right);

// left > right and left < right on two numbers (ints exactly, otherwise IEEE 754
// totalOrder after converting an int side to float); non-numbers are fatal.
bool greater_than(const Value& left, const Value& right);
bool less_than(const Value& left, const Value& right);

// The inverse of a boolean operand; any other operand is fatal.
bool logical_not(const Value& operand);

// The same rules on operands already known to be numbers, for evaluation that keeps
// numbers out of shared values: `left op right`, and -1, 0 or 1 as left is below, equal
// to or above right.
Number number_operation(BinaryOperator op, Number left, Number right);
int compare_numbers(Number left, Number right) noexcept;
// Int + Int, Int - Int and Int * Int wrap modulo 2^64: computed on the unsigned
// representation, where overflow is defined, then read back as two's complement. `op` is
// not Div (whose rules number_operation keeps).
inline std::int64_t wrapping_int_operation(BinaryOperator op, std::int64_t a,
                                           std::int64_t b) noexcept {
  const auto ua = static_cast<std::uint64_t>(a), ub = static_cast<std::uint64_t>(b);
  switch (op) {
    case BinaryOperator::Add:
      return static_cast<std::int64_t>(ua + ub);
    case BinaryOperator::Sub:
      return static_cast<std::int64_t>(ua - ub);
    default:
      return static_cast<std::int64_t>(ua * ub);
  }
}

// `==` on two numbers: an int never equals a float.
inline bool numbers_equal(Number left, Number right) noexcept {
  if (left.kind() != right.kind()) return false;
  return left.is_int() ? left.as_int() == right.as_int() : left.as_float() == right.as_float();
}

}  // namespace vrel
