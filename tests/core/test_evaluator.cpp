// Statements, literals, variable reads and vectors.
#include <gtest/gtest.h>

#include "test_support.hpp"

namespace vrel_test {
namespace {

TEST(Deduce, EmptyProgramChangesNothing) {
  Machine m;
  vrel::deduce(m, {});
  EXPECT_EQ(m.debug(), "Machine { vars: {} }");
}

TEST(Deduce, RightHandSideReadsPreviousBinding) {
  Machine m;
  vrel::deduce(m, block(let("x", lit(1)), let("x", add(ident("x"), lit(1)))));
  EXPECT_EQ(debug_of(m.get(S("x"))), "Number(Int(2))");
}

TEST(Deduce, BindingToAVariableSharesTheStoredValue) {
  Machine m;
  vrel::deduce(m, block(let("x", lit(vec_value({}))), let("y", ident("x"))));
  SharedValue x = m.get(S("x"));
  SharedValue y = m.get(S("y"));
  EXPECT_TRUE(x.same_as(y));
  EXPECT_EQ(x.use_count(), 4u);  // two variables, two handles here
  vrel::deduce(m, block(let("x", lit(3))));
  EXPECT_TRUE(m.get(S("y")).same_as(y));
  EXPECT_EQ(debug_of(m.get(S("x"))), "Number(Int(3))");
  EXPECT_EQ(y.use_count(), 3u);
}

TEST(DeduceExpr, IdentReturnsStoredValueAndLiteralsAreFresh) {
  Machine m;
  vrel::deduce(m, block(let("x", lits("s"))));
  SharedValue r = eval(m, ident("x"));
  EXPECT_TRUE(r.same_as(m.get(S("x"))));
  EXPECT_EQ(r.use_count(), 2u);

  // Two evaluations of copies of one literal: two distinct values with equal contents.
  SharedValue elem = shared(Value::integer(1));
  Expr literal = lit(vec_value({elem}));
  SharedValue a = eval(m, Expr(literal));
  SharedValue b = eval(m, Expr(literal));
  EXPECT_FALSE(a.same_as(b));
  EXPECT_EQ(a.use_count(), 1u);
  EXPECT_EQ(b.use_count(), 1u);
  EXPECT_TRUE(Value::eq(*a, *b));
  EXPECT_TRUE(a->as_vector()[0].same_as(elem));
}

TEST(DeduceExpr, VectorEvaluatesItemsInOrder) {
  Machine m;
  SharedValue empty = eval(m, vec_expr());
  EXPECT_EQ(debug_of(empty), "Vector([])");
  EXPECT_EQ(empty.use_count(), 1u);

  vrel::deduce(m, block(let("x", lits("x"))));
  SharedValue v = eval(m, vec_expr(lit(1), ident("x"), vec_expr(lit_null()), add(lit(1), lit(2))));
  EXPECT_EQ(debug_of(v), "Vector([Number(Int(1)), String(\"x\"), Vector([Null]), Number(Int(3))])");
  EXPECT_TRUE(v->as_vector()[1].same_as(m.get(S("x"))));

  std::vector<int> order;
  auto c = counters();
  vrel::deduce(m, block(fn("log", fake(c, [&](SharedValue a) {
                             order.push_back(static_cast<int>(a->as_number().as_int()));
                             return Value::null();
                           }))));
  eval(m, vec_expr(call("log", lit(1)), call("log", lit(2)), call("log", lit(3))));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

// The first item's result is released when the second one fails, and the third one is
// never evaluated.
TEST(DeduceExpr, FailingVectorItemReleasesEarlierResults) {
  Machine m;
  SharedValue probe = shared(Value::integer(0));
  auto c = counters();
  vrel::deduce(m, block(fn("f", fake(c, [&](SharedValue) { return vec_value({probe}); }))));
  EXPECT_EQ(fatal_message(
                [&] { eval(m, vec_expr(call("f", lit(0)), ident("missing"), call("f", lit(0)))); }),
            "Value cannot be found: S(\"missing\")");
  EXPECT_EQ(c->runs, 1);
  EXPECT_EQ(probe.use_count(), 1u);
}

// ---- If -----------------------------------------------------------------------------------

class NonBooleanCondition : public testing::TestWithParam<std::function<Expr()>> {};

TEST_P(NonBooleanCondition, StopsTheRunKeepingEarlierBindings) {
  Machine m;
  auto c = counters();
  SharedValue probe = shared(Value::null());
  auto program =
      block(let("a", lit(1)), if_(GetParam()(), block(let("b", lit(2))), block(let("b", lit(3)))),
            let("c", lit(vec_value({probe}))), fn("d", fake(c)));
  EXPECT_EQ(fatal_message([&] { vrel::deduce(m, std::move(program)); }),
            "Expected deduced condition to be a bool, got other type");
  EXPECT_TRUE(bound(m, S("a")));
  EXPECT_FALSE(bound(m, S("b")));
  EXPECT_FALSE(bound(m, S("c")));
  EXPECT_FALSE(bound(m, S("d")));
  // Statements not run are destroyed all the same.
  EXPECT_EQ(probe.use_count(), 1u);
  EXPECT_EQ(c->alive(), 0);
  vrel::deduce(m, block(let("b", lit(4))));
  EXPECT_EQ(debug_of(m.get(S("b"))), "Number(Int(4))");
}

INSTANTIATE_TEST_SUITE_P(Conditions, NonBooleanCondition,
                         testing::Values([] { return lit(1); }, [] { return lit_null(); },
                                         [] { return lits("true"); },
                                         [] { return vec_expr(litb(true)); },
                                         [] { return litf(1.0); }));

TEST(DeduceIf, ConditionErrorInsideABlockKeepsTheBlocksEarlierBindings) {
  Machine m;
  SharedValue probe = shared(Value::null());
  EXPECT_EQ(fatal_message([&] {
              vrel::deduce(m, block(if_(litb(true), block(let("inner", lit(1)),
                                                          if_(lit(vec_value({probe})), {}),
                                                          let("after", lit(2))))));
            }),
            "Expected deduced condition to be a bool, got other type");
  EXPECT_TRUE(bound(m, S("inner")));
  EXPECT_FALSE(bound(m, S("after")));
  EXPECT_EQ(probe.use_count(), 1u);  // the condition's value was released
}

TEST(DeduceIf, UnchosenBlockIsNeverEvaluatedButIsDestroyed) {
  for (bool cond : {true, false}) {
    Machine m;
    auto c = counters();
    auto failing = block(let("y", ident("unbound")), fn("g", fake(c)));
    auto fine = block(let("x", lit(1)));
    vrel::deduce(m, cond ? block(if_(litb(true), std::move(fine), std::move(failing)))
                         : block(if_(litb(false), std::move(failing), std::move(fine))));
    EXPECT_EQ(debug_of(m.get(S("x"))), "Number(Int(1))");
    EXPECT_FALSE(bound(m, S("y")));
    EXPECT_FALSE(bound(m, S("g")));
    EXPECT_EQ(c->alive(), 0) << cond;
  }
}

TEST(DeduceIf, NestedBlocksBindIntoTheSameMachine) {
  Machine m;
  vrel::deduce(m, block(let("x", lit(1)),
                        if_(litb(true),
                            block(let("a", ident("x")),
                                  if_(litb(false), block(let("b", lit(0))),
                                      block(let("b", add(ident("a"), lit(1))), let("x", lit(10))))),
                            {}),
                        let("c", add(ident("x"), ident("b")))));
  EXPECT_EQ(debug_of(m.get(S("a"))), "Number(Int(1))");
  EXPECT_EQ(debug_of(m.get(S("b"))), "Number(Int(2))");
  EXPECT_EQ(debug_of(m.get(S("c"))), "Number(Int(12))");
}

TEST(Deduce, FailingLetLeavesPreviousBindingAndReleasesPartialResults) {
  Machine m;
  SharedValue probe = shared(Value::integer(5));
  vrel::deduce(m, block(let("x", lit(1))));
  EXPECT_EQ(fatal_message([&] {
              vrel::deduce(m, block(let("x", vec_expr(lit(vec_value({probe})), ident(U(99))))));
            }),
            "Value cannot be found: U(99)");
  EXPECT_EQ(debug_of(m.get(S("x"))), "Number(Int(1))");
  EXPECT_EQ(probe.use_count(), 1u);
}

}  // namespace
}  // namespace vrel_test
