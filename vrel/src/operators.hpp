// Operators of the language: arithmetic and concatenation, ordering comparisons, not.
#pragma once

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

}  // namespace vrel
