// The results of expression nodes from their operands.
#include "node_results.hpp"

#include "messages.hpp"
#include "operators.hpp"
#include "run_budget.hpp"
#include "variable_store.hpp"
#include "vrel/fatal.hpp"

namespace vrel {

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

}  // namespace vrel
