// The results of expression nodes from their operands.
#include "node_results.hpp"

#include <cstdint>

#include "messages.hpp"
#include "operators.hpp"
#include "run_budget.hpp"
#include "variable_store.hpp"
#include "vrel/fatal.hpp"

namespace vrel {

namespace {

constexpr FailureSite kBinaryUnknownTypeSite{text::kBinaryUnknownType,
                                             std::source_location::current()};
constexpr FailureSite kStringOperationSite{text::kStringOperation, std::source_location::current()};
constexpr FailureSite kDivideByZeroSite{text::kDivideByZero, std::source_location::current()};
constexpr FailureSite kDivideOverflowSite{text::kDivideOverflow, std::source_location::current()};
constexpr FailureSite kCompareNonNumbersSite{text::kCompareNonNumbers,
                                             std::source_location::current()};
constexpr FailureSite kNotNonBooleanSite{text::kNotNonBoolean, std::source_location::current()};

}  // namespace

const FailureSite kCalleeNotFunctionSite{text::kCalleeNotFunction, std::source_location::current()};
const FailureSite kValueNotFoundSite{text::kValueNotFound, std::source_location::current()};

// The order of the checks is binary_operation's (and Number::div's): a text on the left
// decides by the right's kind, then by the operator; two numbers fail only on an int
// division by zero or of the smallest int by -1; anything else is an unknown type.
const FailureSite* binary_failure(BinaryOperator op, const Operand& l, const Operand& r) noexcept {
  Number a = Number::from_int(0), b = Number::from_int(0);
  if (l.get_number(a)) {
    if (!r.get_number(b)) return &kBinaryUnknownTypeSite;
    if (op != BinaryOperator::Div || !a.is_int() || !b.is_int()) return nullptr;
    if (b.as_int() == 0) return &kDivideByZeroSite;
    if (a.as_int() == INT64_MIN && b.as_int() == -1) return &kDivideOverflowSite;
    return nullptr;
  }
  Value ls, rs;
  const Value& lv = l.view(ls);
  if (lv.kind() != ValueKind::String) return &kBinaryUnknownTypeSite;
  if (r.view(rs).kind() != ValueKind::String) return &kBinaryUnknownTypeSite;
  return op == BinaryOperator::Add ? nullptr : &kStringOperationSite;
}

const FailureSite* compare_failure(const Operand& l, const Operand& r) noexcept {
  Number a = Number::from_int(0);
  return l.get_number(a) && r.get_number(a) ? nullptr : &kCompareNonNumbersSite;
}

const FailureSite* not_failure(const Operand& v) noexcept {
  bool b = false;
  return v.get_boolean(b) ? nullptr : &kNotNonBooleanSite;
}

Operand binary_result(BinaryOperator op, const Operand& l, const Operand& r) {
  Number a = Number::from_int(0), b = Number::from_int(0);
  if (l.get_number(a) && r.get_number(b)) return Operand::number(number_operation(op, a, b));
  Value ls, rs;
  return SharedValue::make(binary_operation(op, l.view(ls), r.view(rs)));
}

Operand literal_result(Expr::Literal& literal) { return Operand::of(std::move(literal.value)); }

Operand literal_result(const Expr::Literal& literal) {
  if (literal.value.kind() == ValueKind::String) charge_text(literal.value.as_string().size());
  if (literal.value.kind() == ValueKind::Vector) charge_vector(literal.value.as_vector().size());
  return Operand::of(Value(literal.value));
}

Operand equals_result(const Operand& l, const Operand& r) {
  Number a = Number::from_int(0), b = Number::from_int(0);
  if (l.get_number(a) && r.get_number(b)) return Operand::boolean(numbers_equal(a, b));
  bool x = false, y = false;
  if (l.get_boolean(x) && r.get_boolean(y)) return Operand::boolean(x == y);
  Value ls, rs;
  return Operand::boolean(Value::eq(l.view(ls), r.view(rs)));
}

Operand greater_result(const Operand& l, const Operand& r) {
  Number a = Number::from_int(0), b = Number::from_int(0);
  if (l.get_number(a) && r.get_number(b)) return Operand::boolean(compare_numbers(a, b) > 0);
  Value ls, rs;
  return Operand::boolean(greater_than(l.view(ls), r.view(rs)));
}

Operand less_result(const Operand& l, const Operand& r) {
  Number a = Number::from_int(0), b = Number::from_int(0);
  if (l.get_number(a) && r.get_number(b)) return Operand::boolean(compare_numbers(a, b) < 0);
  Value ls, rs;
  return Operand::boolean(less_than(l.view(ls), r.view(rs)));
}

Operand not_result(const Operand& v) {
  bool b = false;
  if (v.get_boolean(b)) return Operand::boolean(!b);
  Value scratch;
  return Operand::boolean(logical_not(v.view(scratch)));
}

bool held_boolean(const Operand& v, const char* message) {
  bool b = false;
  if (!v.get_boolean(b)) raise_fatal(message);
  return b;
}

// `callee` keeps the function object alive even if its variable is rebound meanwhile.
Operand call_function(const Machine& m, const Identifier& function, const detail::CellMemo& memo,
                      Operand argument) {
  SharedValue callee = store_of(m).get(function, &memo);
  if (callee->kind() != ValueKind::Function) {
    raise_fatal(text::kCalleeNotFunction);
  }
  const VrelFunction& object = callee->as_function();
  Operand result = Operand::of(argument.is_plain() ? object.run_plain(argument.plain_value())
                                                   : object.run(std::move(argument).share()));
  check_after_host_call();
  return result;
}

Operand call_checked(const Machine& m, const Identifier& function, const detail::CellMemo& memo,
                     Operand argument, const FailureSite*& failure) {
  const VariableCell* cell = store_of(m).cell_to_read(function, &memo);
  if (!cell) [[unlikely]] {
    failure = &kValueNotFoundSite;
    return Operand::boolean(false);
  }
  SharedValue callee = cell->read().share();
  if (callee->kind() != ValueKind::Function) [[unlikely]] {
    failure = &kCalleeNotFunctionSite;
    return Operand::boolean(false);
  }
  const VrelFunction& object = callee->as_function();
  Operand result = Operand::of(argument.is_plain() ? object.run_plain(argument.plain_value())
                                                   : object.run(std::move(argument).share()));
  check_after_host_call();
  return result;
}

}  // namespace vrel
