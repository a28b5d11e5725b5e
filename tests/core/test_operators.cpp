// Arithmetic, equality, not and ordering operators.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <mutex>

#include "test_support.hpp"

namespace vrel_test {
namespace {

using vrel::Number;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kPosNaN = std::copysign(kNaN, 1.0);
const double kNegNaN = std::copysign(kNaN, -1.0);

Expr bin(Expr l, BinaryOperator op, Expr r) {
  return Expr::binary_op(std::move(l), op, std::move(r));
}
Expr sub(Expr l, Expr r) { return bin(std::move(l), BinaryOperator::Sub, std::move(r)); }
Expr mul(Expr l, Expr r) { return bin(std::move(l), BinaryOperator::Mul, std::move(r)); }
Expr div(Expr l, Expr r) { return bin(std::move(l), BinaryOperator::Div, std::move(r)); }
Expr eq(Expr l, Expr r) { return Expr::equals(std::move(l), std::move(r)); }
Expr gt(Expr l, Expr r) { return Expr::greater_than(std::move(l), std::move(r)); }
Expr lt(Expr l, Expr r) { return Expr::less_than(std::move(l), std::move(r)); }
Expr not_(Expr e) { return Expr::not_(std::move(e)); }
Expr litfn() { return lit(Value::function(fake(counters()))); }
Expr litvec() { return lit(vec_value({shared(Value::integer(1))})); }

struct OpCase {
  const char* name;
  std::function<Expr()> build;
  const char* expected;  // debug form of the result, or the fatal message
};

class Operators : public testing::TestWithParam<OpCase> {};

TEST_P(Operators, ResultOrMessage) {
  Machine m;
  std::string got;
  try {
    SharedValue r = eval(m, GetParam().build());
    EXPECT_EQ(r.use_count(), 1u);
    got = debug_of(r);
  } catch (const vrel::FatalError& e) {
    got = e.message();
  }
  EXPECT_EQ(got, GetParam().expected);
}

// Every case again with its literal operands in the two other forms an intermediate result
// can take: a shared constant read from a borrowed tree, and a number or boolean computed
// by another operation. Every form must give the same result or message.
template <class Leaf>
Expr map_literals(const Expr& e, const Leaf& leaf) {
  const auto& n = e.node();
  auto sub_tree = [&](const vrel::ExprBox& b) { return map_literals(*b, leaf); };
  if (const auto* l = std::get_if<Expr::Literal>(&n)) return leaf(l->value);
  if (const auto* b = std::get_if<Expr::BinaryOp>(&n))
    return bin(sub_tree(b->left), b->op, sub_tree(b->right));
  if (const auto* q = std::get_if<Expr::Equals>(&n))
    return eq(sub_tree(q->left), sub_tree(q->right));
  if (const auto* g = std::get_if<Expr::GreaterThan>(&n))
    return gt(sub_tree(g->left), sub_tree(g->right));
  if (const auto* t = std::get_if<Expr::LessThan>(&n))
    return lt(sub_tree(t->left), sub_tree(t->right));
  if (const auto* o = std::get_if<Expr::Not>(&n)) return not_(sub_tree(o->operand));
  if (const auto* v = std::get_if<Expr::Vector>(&n)) {
    Expr::Vector items;
    for (const Expr& item : v->items) items.items.push_back(map_literals(item, leaf));
    return Expr(std::move(items));
  }
  return e;
}

Expr as_constant(const Value& v) { return Expr(Expr::Constant{shared(v)}); }

// x * 1 keeps every number as it is (-0.0 and NaN included); not(not(b)) every boolean.
Expr as_computed(const Value& v) {
  if (v.kind() == vrel::ValueKind::Number) return mul(lit(v), lit(1));
  if (v.kind() == vrel::ValueKind::Boolean) return not_(not_(lit(v)));
  return lit(v);
}

std::string outcome_borrowed(const Expr& e) {
  Machine m;
  const Statement statement = let("r", e);
  const Statement* program[] = {&statement};
  try {
    vrel::deduce_borrowed(m, program);
    return debug_of(m.get(S("r")));
  } catch (const vrel::FatalError& err) {
    return err.message();
  }
}

TEST_P(Operators, SameOutcomeFromConstantsOfABorrowedTree) {
  EXPECT_EQ(outcome_borrowed(map_literals(GetParam().build(), as_constant)), GetParam().expected);
}

TEST_P(Operators, SameOutcomeFromComputedOperands) {
  const Expr computed = map_literals(GetParam().build(), as_computed);
  EXPECT_EQ(outcome_borrowed(computed), GetParam().expected);
  Machine m;
  std::string consumed;
  try {
    consumed = debug_of(eval(m, computed));
  } catch (const vrel::FatalError& err) {
    consumed = err.message();
  }
  EXPECT_EQ(consumed, GetParam().expected);
}

const char* const kUnknownType = "Binary operator for unknown type";
const char* const kStringOp = "Unknown binary operation for Value::String";
const char* const kDivZero = "attempt to divide by zero";
const char* const kDivOverflow = "attempt to divide with overflow";
const char* const kNotNumber = "Both left-hand and right-hand side values must be a number";
const char* const kNotBool = "The not expression must be used on a boolean value";
const char* const kTrue = "Boolean(true)";
const char* const kFalse = "Boolean(false)";

#define OP(name, expr, expected)        \
  OpCase {                              \
    name, [] { return expr; }, expected \
  }

INSTANTIATE_TEST_SUITE_P(
    Arithmetic, Operators,
    testing::Values(
        OP("int_add", add(lit(2), lit(3)), "Number(Int(5))"),
        OP("max_plus_one", add(lit(kMax), lit(1)), "Number(Int(-9223372036854775808))"),
        OP("min_minus_one", sub(lit(kMin), lit(1)), "Number(Int(9223372036854775807))"),
        OP("max_times_two", mul(lit(kMax), lit(2)), "Number(Int(-2))"),
        OP("min_times_minus_one", mul(lit(kMin), lit(-1)), "Number(Int(-9223372036854775808))"),
        OP("div_truncates", div(lit(7), lit(2)), "Number(Int(3))"),
        OP("div_truncates_toward_zero", div(lit(-7), lit(2)), "Number(Int(-3))"),
        OP("div_by_zero", div(lit(7), lit(0)), kDivZero),
        OP("div_overflow", div(lit(kMin), lit(-1)), kDivOverflow),
        OP("min_div_zero", div(lit(kMin), lit(0)), kDivZero),
        OP("int_div_float", div(lit(7), litf(2.0)), "Number(Float(3.5))"),
        OP("int_div_float_zero", div(lit(1), litf(0.0)), "Number(Float(inf))"),
        OP("int_div_neg_float_zero", div(lit(1), litf(-0.0)), "Number(Float(-inf))"),
        OP("float_zero_div_int_zero", div(litf(0.0), lit(0)), "Number(Float(NaN))"),
        OP("int_plus_float", add(lit(1), litf(0.5)), "Number(Float(1.5))"),
        OP("int_times_float_is_float", mul(lit(2), litf(1.5)), "Number(Float(3.0))"),
        OP("float_minus_int", sub(litf(1.5), lit(2)), "Number(Float(-0.5))"),
        OP("float_float", add(litf(0.1), litf(0.2)), "Number(Float(0.30000000000000004))"),
        OP("int_to_float_rounds", add(lit(std::int64_t{9007199254740993}), litf(0.0)),
           "Number(Float(9007199254740992.0))"),
        OP("concat", add(lits("ab"), lits("cd")), "String(\"abcd\")"),
        OP("concat_empty", add(lits(""), lits("")), "String(\"\")"),
        OP("string_sub", sub(lits("ab"), lits("b")), kStringOp),
        OP("string_mul", mul(lits("ab"), lits("b")), kStringOp),
        OP("string_div", div(lits("ab"), lits("b")), kStringOp),
        OP("string_plus_int", add(lits("a"), lit(1)), kUnknownType),
        OP("int_plus_string", add(lit(1), lits("a")), kUnknownType),
        OP("int_plus_null", add(lit(1), lit_null()), kUnknownType),
        OP("float_div_bool", div(litf(1.0), litb(true)), kUnknownType),
        OP("null_plus_null", add(lit_null(), lit_null()), kUnknownType),
        OP("bool_plus_bool", add(litb(true), litb(false)), kUnknownType),
        OP("vector_plus_vector", add(litvec(), litvec()), kUnknownType),
        OP("fn_plus_int", add(litfn(), lit(1)), kUnknownType)),
    [](const testing::TestParamInfo<OpCase>& i) { return std::string(i.param.name); });

INSTANTIATE_TEST_SUITE_P(
    EqualsAndNot, Operators,
    testing::Values(
        OP("int_int", eq(lit(3), lit(3)), kTrue), OP("int_float", eq(lit(1), litf(1.0)), kFalse),
        OP("strings", eq(lits("ab"), lits("ab")), kTrue),
        OP("string_int", eq(lits("1"), lit(1)), "Expected other item to be Value::String"),
        OP("int_string", eq(lit(1), lits("1")), "Expected other item to be Value::Number"),
        OP("null_fn", eq(lit_null(), litfn()), kFalse),
        OP("true_null", eq(litb(true), lit_null()), "Expected other item to be Value::Boolean"),
        OP("vectors", eq(vec_expr(lit(1), lits("a")), vec_expr(lit(1), lits("a"))), kTrue),
        OP("vector_int", eq(vec_expr(), lit(0)), "Expected other item to be Value::Vector"),
        OP("fn_null", eq(litfn(), lit_null()), "Cannot perform PartialEq for Value::Fn"),
        OP("not_false", not_(litb(false)), kTrue),
        OP("not_not", not_(not_(eq(lit(1), lit(1)))), kTrue), OP("not_int", not_(lit(0)), kNotBool),
        OP("not_string", not_(lits("true")), kNotBool), OP("not_null", not_(lit_null()), kNotBool),
        OP("not_vector", not_(vec_expr(litb(true))), kNotBool)),
    [](const testing::TestParamInfo<OpCase>& i) { return std::string(i.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Comparisons, Operators,
    testing::Values(
        OP("gt_true", gt(lit(3), lit(2)), kTrue), OP("gt_equal", gt(lit(2), lit(2)), kFalse),
        OP("lt_equal", lt(lit(2), lit(2)), kFalse), OP("signed_ints", lt(lit(-1), lit(0)), kTrue),
        OP("min_max", gt(lit(kMin), lit(kMax)), kFalse),
        OP("int_gt_float", gt(lit(2), litf(1.5)), kTrue),
        OP("float_lt_int", lt(litf(1.5), lit(2)), kTrue),
        OP("negative_floats", lt(litf(-2.0), litf(-1.0)), kTrue),
        OP("zero_gt_negzero", gt(litf(0.0), litf(-0.0)), kTrue),
        OP("negzero_lt_zero", lt(litf(-0.0), litf(0.0)), kTrue),
        OP("int_zero_gt_negzero", gt(lit(0), litf(-0.0)), kTrue),
        OP("nan_gt_inf", gt(litf(kPosNaN), litf(kInf)), kTrue),
        OP("negnan_lt_neginf", lt(litf(kNegNaN), litf(-kInf)), kTrue),
        OP("nan_not_gt_itself", gt(litf(kPosNaN), litf(kPosNaN)), kFalse),
        OP("nan_gt_int", gt(litf(kPosNaN), lit(kMax)), kTrue),
        OP("precision_mixed", gt(lit(std::int64_t{9007199254740993}), litf(9007199254740992.0)),
           kFalse),
        OP("precision_ints",
           gt(lit(std::int64_t{9007199254740993}), lit(std::int64_t{9007199254740992})), kTrue),
        OP("string_gt_int", gt(lits("a"), lit(1)), kNotNumber),
        OP("strings", gt(lits("b"), lits("a")), kNotNumber),
        OP("nulls", lt(lit_null(), lit_null()), kNotNumber),
        OP("vectors", gt(vec_expr(), vec_expr()), kNotNumber),
        OP("bool_fn", lt(litb(true), litfn()), kNotNumber)),
    [](const testing::TestParamInfo<OpCase>& i) { return std::string(i.param.name); });

#undef OP

TEST(OperatorResults, ResultIsNeverAnOperand) {
  Machine m;
  vrel::deduce(m, block(let("n", lit(5)), let("b", litb(true))));
  SharedValue sum = eval(m, add(ident("n"), lit(0)));
  EXPECT_FALSE(sum.same_as(m.get(S("n"))));
  EXPECT_EQ(debug_of(sum), "Number(Int(5))");
  SharedValue negated = eval(m, not_(not_(ident("b"))));
  EXPECT_FALSE(negated.same_as(m.get(S("b"))));
  vrel::deduce(m, block(let("s", lits("x"))));
  SharedValue joined = eval(m, add(ident("s"), lits("")));
  EXPECT_FALSE(joined.same_as(m.get(S("s"))));
  EXPECT_EQ(m.get(S("s")).use_count(), 2u);  // the operand's reference was released
}

TEST(NumberDiv, MatchesTheDivColumn) {
  EXPECT_EQ(Number::div(Number::from_int(-7), Number::from_int(2)).as_int(), -3);
  EXPECT_TRUE(Number::div(Number::from_int(7), Number::from_float(2.0)).is_float());
  EXPECT_EQ(Number::div(Number::from_float(7.0), Number::from_int(2)).as_float(), 3.5);
  EXPECT_EQ(fatal_message([] { Number::div(Number::from_int(kMin), Number::from_int(0)); }),
            kDivZero);
  EXPECT_EQ(fatal_message([] { Number::div(Number::from_int(kMin), Number::from_int(-1)); }),
            kDivOverflow);
}

// Both operands run, left first, before the operator fails; their values are released.
struct OrderCase {
  const char* name;
  std::function<Expr(Expr, Expr)> build;
  const char* message;
};

class FailingOperatorOrder : public testing::TestWithParam<OrderCase> {};

TEST_P(FailingOperatorOrder, BothOperandsRunLeftFirst) {
  Machine m;
  SharedValue probe = shared(Value::integer(0));
  std::mutex mu;
  std::vector<std::string> log;
  auto c = counters();
  auto logging = [&](std::string name, bool give_vector) {
    return fake(c, [&, name, give_vector](SharedValue) {
      std::lock_guard lock(mu);
      log.push_back(name);
      return give_vector ? vec_value({probe}) : Value::null();
    });
  };
  vrel::deduce(m, block(fn("left", logging("left", true)), fn("right", logging("right", false))));
  EXPECT_EQ(fatal_message(
                [&] { eval(m, GetParam().build(call("left", lit(1)), call("right", lit(2)))); }),
            GetParam().message);
  EXPECT_EQ(log, (std::vector<std::string>{"left", "right"}));
  EXPECT_EQ(probe.use_count(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Operators, FailingOperatorOrder,
    testing::Values(
        OrderCase{"binary_op", [](Expr l, Expr r) { return add(std::move(l), std::move(r)); },
                  kUnknownType},
        OrderCase{"equals", [](Expr l, Expr r) { return eq(std::move(l), std::move(r)); },
                  "Expected other item to be Value::Vector"},
        OrderCase{"greater_than", [](Expr l, Expr r) { return gt(std::move(l), std::move(r)); },
                  kNotNumber},
        OrderCase{"less_than", [](Expr l, Expr r) { return lt(std::move(l), std::move(r)); },
                  kNotNumber}),
    [](const testing::TestParamInfo<OrderCase>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace vrel_test
