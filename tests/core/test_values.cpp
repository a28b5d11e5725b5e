// Values: copy rules, equality, debug forms, and the composite expression constructors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "test_support.hpp"

namespace vrel_test {
namespace {

using vrel::FatalError;

TEST(ValueCopy, VectorCopySharesElements) {
  SharedValue a = shared(Value::integer(1));
  SharedValue b = shared(Value::string("b"));
  Value v = vec_value({a, b});
  EXPECT_EQ(a.use_count(), 2u);
  {
    Value copy = v;
    EXPECT_EQ(a.use_count(), 3u);
    EXPECT_EQ(b.use_count(), 3u);
    ASSERT_EQ(copy.as_vector().size(), 2u);
    EXPECT_TRUE(copy.as_vector()[0].same_as(a));
    EXPECT_TRUE(copy.as_vector()[1].same_as(b));
  }
  EXPECT_EQ(a.use_count(), 2u);
  Value assigned;
  assigned = v;
  EXPECT_EQ(b.use_count(), 3u);
}

TEST(ValueCopy, FunctionCopyClonesOnce) {
  auto c = counters();
  {
    Value f = Value::function(fake(c));
    Value g = f;
    EXPECT_EQ(c->clones, 1);
    EXPECT_NE(&f.as_function(), &g.as_function());
    EXPECT_NE(serial_of(f), serial_of(g));
    Value moved = std::move(g);
    EXPECT_EQ(c->clones, 1);
    EXPECT_EQ(c->alive(), 2);
  }
  EXPECT_EQ(c->alive(), 0);
  EXPECT_EQ(c->runs, 0);
}

TEST(ValueCopy, TreeCopiesCloneEachFunctionOnceAndShareVectorElements) {
  auto c = counters();
  SharedValue elem = shared(Value::integer(9));
  const std::vector<Statement> prog = block(fn("a", fake(c)), let("v", lit(vec_value({elem}))),
                                            let("w", add(lit(Value::function(fake(c))), lit(1))));
  ASSERT_EQ(c->created, 2);
  {
    std::vector<Statement> copy = prog;
    EXPECT_EQ(c->clones, 2);
    EXPECT_EQ(elem.use_count(), 3u);
  }
  EXPECT_EQ(c->alive(), 2);
  EXPECT_EQ(elem.use_count(), 2u);
}

// The blocks of an `if` are shared by its copies, not copied: they live as long as any
// copy, which runs them as the original would.
TEST(ValueCopy, IfCopiesShareTheirBlocks) {
  auto c = counters();
  SharedValue elem = shared(Value::integer(9));
  auto prog = std::make_unique<Statement>(
      if_(litb(true), block(fn("a", fake(c)), let("v", lit(vec_value({elem})))),
          block(let("w", add(lit(Value::function(fake(c))), lit(1))))));
  Statement copy = *prog;
  EXPECT_EQ(c->clones, 0);
  EXPECT_EQ(elem.use_count(), 2u);
  prog.reset();
  EXPECT_EQ(c->alive(), 2);
  Machine m;
  vrel::deduce(m, block(std::move(copy)));
  EXPECT_EQ(c->clones, 1);  // installing the function from the shared block clones it
  EXPECT_TRUE(m.get(S("v"))->as_vector()[0].same_as(elem));
  EXPECT_EQ(c->alive(), 1) << "the consumed program, blocks included, is gone";
  EXPECT_EQ(elem.use_count(), 2u);
}

struct EqCase {
  const char* name;
  std::function<Value()> left;
  std::function<Value()> right;  // null: compare the left value with itself
  const char* expected;          // "true", "false" or a fatal message
};

Value vec_of(std::vector<Value> items) {
  std::vector<SharedValue> v;
  // SharedValue::make rather than shared(): the extra move through shared()'s parameter
  // draws a false -Wmaybe-uninitialized from GCC 12 on the variant inside Value.
  for (auto& i : items) v.push_back(SharedValue::make(std::move(i)));
  return vec_value(std::move(v));
}
Value fn_value() { return Value::function(fake(counters())); }
Value nan_value() { return Value::floating(std::numeric_limits<double>::quiet_NaN()); }

class ValueEq : public testing::TestWithParam<EqCase> {};

TEST_P(ValueEq, ResultOrMessage) {
  const EqCase& tc = GetParam();
  Value l = tc.left();
  Value r = tc.right ? tc.right() : Value();
  const Value& rhs = tc.right ? r : l;
  std::string got;
  try {
    got = Value::eq(l, rhs) ? "true" : "false";
  } catch (const FatalError& e) {
    got = e.message();
  }
  EXPECT_EQ(got, tc.expected);
}

const char* const kBool = "Expected other item to be Value::Boolean";
const char* const kStr = "Expected other item to be Value::String";
const char* const kNum = "Expected other item to be Value::Number";
const char* const kVec = "Expected other item to be Value::Vector";
const char* const kFn = "Cannot perform PartialEq for Value::Fn";

INSTANTIATE_TEST_SUITE_P(
    Values, ValueEq,
    testing::Values(
        EqCase{"null_null", Value::null, Value::null, "true"},
        EqCase{"null_true", Value::null, [] { return Value::boolean(true); }, "false"},
        EqCase{"null_fn", Value::null, fn_value, "false"},
        EqCase{"true_null", [] { return Value::boolean(true); }, Value::null, kBool},
        EqCase{"true_true", [] { return Value::boolean(true); },
               [] { return Value::boolean(true); }, "true"},
        EqCase{"true_false", [] { return Value::boolean(true); },
               [] { return Value::boolean(false); }, "false"},
        EqCase{"str_same", [] { return Value::string("ab"); }, [] { return Value::string("ab"); },
               "true"},
        EqCase{"str_prefix", [] { return Value::string("ab"); },
               [] { return Value::string("abc"); }, "false"},
        EqCase{"str_embedded_nul", [] { return Value::string(std::string("a\0b", 3)); },
               [] { return Value::string(std::string("a\0c", 3)); }, "false"},
        EqCase{"str_null", [] { return Value::string("a"); }, Value::null, kStr},
        EqCase{"int_int", [] { return Value::integer(7); }, [] { return Value::integer(7); },
               "true"},
        EqCase{"int_float", [] { return Value::integer(1); }, [] { return Value::floating(1.0); },
               "false"},
        EqCase{"float_int", [] { return Value::floating(1.0); }, [] { return Value::integer(1); },
               "false"},
        EqCase{"nan_self", nan_value, nullptr, "false"},
        EqCase{"zero_negzero", [] { return Value::floating(0.0); },
               [] { return Value::floating(-0.0); }, "true"},
        EqCase{"num_str", [] { return Value::integer(1); }, [] { return Value::string("1"); },
               kNum},
        EqCase{"num_null", [] { return Value::floating(1.0); }, Value::null, kNum},
        EqCase{"empty_vectors", [] { return vec_of({}); }, [] { return vec_of({}); }, "true"},
        EqCase{"length_first", [] { return vec_of({Value::boolean(true)}); },
               [] {
                 return vec_of({Value::null(), Value::null()});
               },
               "false"},
        EqCase{"vec_true_null", [] { return vec_of({Value::boolean(true)}); },
               [] { return vec_of({Value::null()}); }, kBool},
        EqCase{"vec_null_true", [] { return vec_of({Value::null()}); },
               [] { return vec_of({Value::boolean(true)}); }, "false"},
        EqCase{"vec_stops_at_first_difference",
               [] {
                 return vec_of({Value::integer(1), fn_value()});
               },
               [] {
                 return vec_of({Value::integer(2), fn_value()});
               },
               "false"},
        EqCase{"vec_reaches_function",
               [] {
                 return vec_of({Value::integer(1), fn_value()});
               },
               [] {
                 return vec_of({Value::integer(1), fn_value()});
               },
               kFn},
        EqCase{"vec_nested_equal",
               [] {
                 return vec_of({vec_of({Value::string("x")}), Value::integer(2)});
               },
               [] {
                 return vec_of({vec_of({Value::string("x")}), Value::integer(2)});
               },
               "true"},
        EqCase{"vec_int", [] { return vec_of({}); }, [] { return Value::integer(0); }, kVec},
        EqCase{"fn_self", fn_value, nullptr, kFn}, EqCase{"fn_null", fn_value, Value::null, kFn},
        EqCase{"fn_int", fn_value, [] { return Value::integer(0); }, kFn}),
    [](const testing::TestParamInfo<EqCase>& i) { return std::string(i.param.name); });

struct DebugCase {
  const char* name;
  std::function<Value()> value;
  const char* expected;
};

class ValueDebug : public testing::TestWithParam<DebugCase> {};

TEST_P(ValueDebug, Form) { EXPECT_EQ(GetParam().value().debug(), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Values, ValueDebug,
    testing::Values(
        DebugCase{"null", Value::null, "Null"},
        DebugCase{"false", [] { return Value::boolean(false); }, "Boolean(false)"},
        DebugCase{"min_int", [] { return Value::integer(INT64_MIN); },
                  "Number(Int(-9223372036854775808))"},
        DebugCase{"vector",
                  [] {
                    return vec_of({Value::null(), Value::boolean(true)});
                  },
                  "Vector([Null, Boolean(true)])"},
        DebugCase{"nested_vector",
                  [] {
                    return vec_of({vec_of({}), Value::string("s")});
                  },
                  "Vector([Vector([]), String(\"s\")])"},
        DebugCase{"float_one", [] { return Value::floating(1.0); }, "Number(Float(1.0))"},
        DebugCase{"float_1e16", [] { return Value::floating(1e16); }, "Number(Float(1e16))"},
        DebugCase{"float_1e_minus5", [] { return Value::floating(1e-5); }, "Number(Float(1e-5))"},
        DebugCase{"float_1e_minus4", [] { return Value::floating(0.0001); },
                  "Number(Float(0.0001))"},
        DebugCase{"float_neg_zero", [] { return Value::floating(-0.0); }, "Number(Float(-0.0))"},
        DebugCase{"string_quote", [] { return Value::string("a\"b"); }, "String(\"a\\\"b\")"},
        DebugCase{"function", [] { return Value::function(fake(counters(), nullptr, "g")); },
                  "Function(<fake g#0>)"}),
    [](const testing::TestParamInfo<DebugCase>& i) { return std::string(i.param.name); });

TEST(IdentifierDebug, Forms) {
  EXPECT_EQ(U(18446744073709551615ull).debug(), "U(18446744073709551615)");
  EXPECT_EQ(S("a\nb").debug(), "S(\"a\\nb\")");
}

struct CtorCase {
  const char* name;
  std::function<Expr(Expr, Expr)> build;  // second operand unused by unary constructors
  Expr::Kind kind;                        // alternative of the resulting node
  int operands;
};

class ExprConstructor : public testing::TestWithParam<CtorCase> {};

// Operands are moved into the node: no function literal is cloned, no vector element gains
// a reference, and the node's children are the very operands handed in.
TEST_P(ExprConstructor, MovesOperands) {
  const CtorCase& tc = GetParam();
  auto c = counters();
  SharedValue elem = shared(Value::integer(1));
  Expr left = lit(Value::function(fake(c)));
  Expr right = lit(vec_value({elem}));
  Expr node = tc.build(std::move(left), std::move(right));
  EXPECT_EQ(node.kind(), tc.kind);
  EXPECT_EQ(c->clones, 0);
  EXPECT_EQ(c->alive(), 1);
  EXPECT_EQ(elem.use_count(), tc.operands == 2 ? 2u : 1u);

  // The children hold the operands: find the function literal in the first child.
  const Expr* first = std::visit(
      [](const auto& n) -> const Expr* {
        using T = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<T, Expr::Not>)
          return n.operand.get();
        else if constexpr (std::is_same_v<T, Expr::Call>)
          return n.argument.get();
        else if constexpr (requires { n.left; })
          return n.left.get();
        else
          return nullptr;
      },
      node.node());
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(first->kind(), Expr::Kind::Literal);
  EXPECT_EQ(std::get<Expr::Literal>(first->node()).value.kind(), vrel::ValueKind::Function);
}

INSTANTIATE_TEST_SUITE_P(
    Exprs, ExprConstructor,
    testing::Values(
        CtorCase{"binary_op",
                 [](Expr l, Expr r) {
                   return Expr::binary_op(std::move(l), BinaryOperator::Div, std::move(r));
                 },
                 Expr::Kind::BinaryOp, 2},
        CtorCase{"equals", [](Expr l, Expr r) { return Expr::equals(std::move(l), std::move(r)); },
                 Expr::Kind::Equals, 2},
        CtorCase{"not", [](Expr l, Expr) { return Expr::not_(std::move(l)); }, Expr::Kind::Not, 1},
        CtorCase{"greater_than",
                 [](Expr l, Expr r) { return Expr::greater_than(std::move(l), std::move(r)); },
                 Expr::Kind::GreaterThan, 2},
        CtorCase{"less_than",
                 [](Expr l, Expr r) { return Expr::less_than(std::move(l), std::move(r)); },
                 Expr::Kind::LessThan, 2},
        CtorCase{"call", [](Expr l, Expr) { return Expr::call(S("f"), std::move(l)); },
                 Expr::Kind::Call, 1}),
    [](const testing::TestParamInfo<CtorCase>& i) { return std::string(i.param.name); });

TEST(ExprConstructor, KeepsOperandOrderAndOperator) {
  Expr e = Expr::binary_op(lit(1), BinaryOperator::Sub, lit(2));
  const auto& b = std::get<Expr::BinaryOp>(e.node());
  EXPECT_EQ(b.op, BinaryOperator::Sub);
  EXPECT_EQ(std::get<Expr::Literal>(b.left->node()).value.as_number().as_int(), 1);
  EXPECT_EQ(std::get<Expr::Literal>(b.right->node()).value.as_number().as_int(), 2);
  EXPECT_EQ(std::get<Expr::Call>(Expr::call(U(3), lit(4)).node()).function, U(3));
}

}  // namespace
}  // namespace vrel_test

namespace vrel_test {
namespace {

// A copy of any expression evaluates like the original, and evaluating (consuming) the copy
// leaves the original intact: the copy owns everything except shared subtrees and values.
struct CopyCase {
  const char* name;
  Expr (*make)();
  const char* expected;
};

class ExprCopy : public testing::TestWithParam<CopyCase> {};

TEST_P(ExprCopy, EvaluatesLikeTheOriginalAndLeavesItIntact) {
  Machine m;
  vrel::deduce(m, block(let("x", lit(5)),
                        fn("f", fake(counters(), [](SharedValue a) { return Value(*a); }))));
  const Expr original = GetParam().make();
  EXPECT_EQ(debug_of(eval(m, Expr(original))), GetParam().expected);
  EXPECT_EQ(debug_of(eval(m, Expr(original))), GetParam().expected);  // the first copy took nothing
}

Expr shared_sum() {
  auto inner = std::make_shared<const Expr>(add(ident("x"), lit(1)));
  return add(Expr(Expr::Shared{inner}), Expr(Expr::Shared{inner}));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ExprCopy,
    testing::Values(
        CopyCase{"literal", [] { return lits("text"); }, "String(\"text\")"},
        CopyCase{"ident", [] { return ident("x"); }, "Number(Int(5))"},
        CopyCase{"binary_op",
                 [] { return Expr::binary_op(ident("x"), BinaryOperator::Mul, lit(3)); },
                 "Number(Int(15))"},
        CopyCase{"equals", [] { return Expr::equals(ident("x"), lit(5)); }, "Boolean(true)"},
        CopyCase{"not", [] { return Expr::not_(litb(false)); }, "Boolean(true)"},
        CopyCase{"greater_than", [] { return Expr::greater_than(ident("x"), lit(9)); },
                 "Boolean(false)"},
        CopyCase{"less_than", [] { return Expr::less_than(ident("x"), lit(9)); }, "Boolean(true)"},
        CopyCase{"call", [] { return call("f", vec_expr(ident("x"))); },
                 "Vector([Number(Int(5))])"},
        CopyCase{"vector", [] { return vec_expr(lit(1), vec_expr(ident("x"))); },
                 "Vector([Number(Int(1)), Vector([Number(Int(5))])])"},
        CopyCase{"shared", shared_sum, "Number(Int(12))"},
        CopyCase{"constant",
                 [] { return Expr(Expr::Constant{shared(vec_value({shared(Value::null())}))}); },
                 "Vector([Null])"}),
    [](const testing::TestParamInfo<CopyCase>& i) { return std::string(i.param.name); });

TEST(ExprConstant, EveryEvaluationSharesTheOneValue) {
  Machine m;
  SharedValue v = shared(vec_value({shared(Value::integer(1))}));
  const Expr e(Expr::Constant{v});
  SharedValue a = eval(m, Expr(e)), b = eval(m, Expr(e));
  EXPECT_TRUE(a.same_as(v));
  EXPECT_TRUE(b.same_as(v));
}

}  // namespace
}  // namespace vrel_test
