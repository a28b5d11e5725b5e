// Operators of the language: arithmetic and concatenation, ordering comparisons, not.
#include "operators.hpp"

#include <bit>
#include <cstdint>

#include "messages.hpp"
#include "run_budget.hpp"
#include "vrel/fatal.hpp"

namespace vrel {
namespace {

// IEEE 754 totalOrder as a signed integer key: flipping the 63 low bits of negative
// patterns makes the signed order of the keys the total order of the floats
// (-NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN).
std::int64_t total_order_key(double x) noexcept {
  const auto bits = std::bit_cast<std::int64_t>(x);
  return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

}  // namespace

Number number_operation(BinaryOperator op, Number a, Number b) {
  if (op == BinaryOperator::Div) return Number::div(a, b);
  if (a.is_int() && b.is_int())
    return Number::from_int(wrapping_int_operation(op, a.as_int(), b.as_int()));
  const double x = a.to_float(), y = b.to_float();
  // IEEE 754 leaves open which NaN the sum or product of two NaNs carries, and the compiler
  // may swap the operands of a commutative operation. The left one is kept, quieted, as the
  // hardware does for the operation as written: the total order of comparisons tells NaNs
  // apart by sign, so the result must not depend on the build.
  if (__builtin_expect(x != x, 0) && y != y) return Number::from_float(x + x);
  switch (op) {
    case BinaryOperator::Add:
      return Number::from_float(x + y);
    case BinaryOperator::Sub:
      return Number::from_float(x - y);
    default:
      return Number::from_float(x * y);
  }
}

int compare_numbers(Number a, Number b) noexcept {
  if (a.is_int() && b.is_int()) return (a.as_int() > b.as_int()) - (a.as_int() < b.as_int());
  const std::int64_t ka = total_order_key(a.to_float()), kb = total_order_key(b.to_float());
  return (ka > kb) - (ka < kb);
}

namespace {

int compare_values(const Value& left, const Value& right) {
  if (left.kind() != ValueKind::Number || right.kind() != ValueKind::Number) {
    raise_fatal(text::kCompareNonNumbers);
  }
  return compare_numbers(left.as_number(), right.as_number());
}

}  // namespace

Value binary_operation(BinaryOperator op, const Value& left, const Value& right) {
  if (left.kind() == ValueKind::String) {
    if (right.kind() != ValueKind::String) raise_fatal(text::kBinaryUnknownType);
    if (op != BinaryOperator::Add) raise_fatal(text::kStringOperation);
    const std::string& a = left.as_string();
    const std::string& b = right.as_string();
    charge_text(a.size() + b.size());
    std::string joined;
    joined.reserve(a.size() + b.size());
    joined.append(a).append(b);
    return Value::string(std::move(joined));
  }
  if (left.kind() == ValueKind::Number && right.kind() == ValueKind::Number) {
    return Value::number(number_operation(op, left.as_number(), right.as_number()));
  }
  raise_fatal(text::kBinaryUnknownType);
}

bool greater_than(const Value& left, const Value& right) { return compare_values(left, right) > 0; }

bool less_than(const Value& left, const Value& right) { return compare_values(left, right) < 0; }

bool logical_not(const Value& operand) {
  if (operand.kind() != ValueKind::Boolean) {
    raise_fatal(text::kNotNonBoolean);
  }
  return !operand.as_boolean();
}

}  // namespace vrel
