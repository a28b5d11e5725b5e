// Function values: installing, calling, copying and destroying function objects.
#include <gtest/gtest.h>

#include <thread>

#include "test_support.hpp"

namespace vrel_test {
namespace {

Value plus_one(SharedValue a) { return Value::integer(a->as_number().as_int() + 1); }

TEST(Functions, FnStatementInstallsTheObjectItself) {
  auto c = counters();
  Machine m;
  vrel::deduce(m, block(fn("inc", fake(c, plus_one, "inc"))));
  EXPECT_EQ(c->clones, 0);
  EXPECT_EQ(c->alive(), 1);
  SharedValue f = m.get(S("inc"));
  ASSERT_EQ(f->kind(), vrel::ValueKind::Function);
  EXPECT_EQ(serial_of(*f), 0);
  EXPECT_EQ(m.debug(), "Machine { vars: {S(\"inc\"): Function(<fake inc#0>)} }");

  SharedValue r = eval(m, call("inc", lit(41)));
  EXPECT_EQ(debug_of(r), "Number(Int(42))");
  EXPECT_EQ(c->runs, 1);
  EXPECT_EQ(f.use_count(), 2u);  // the call released its callee reference
}

TEST(Functions, RebindingAFunctionVariableDestroysTheOldObject) {
  auto c = counters();
  Machine m;
  auto first = fake(c);
  auto second = fake(c);
  vrel::deduce(m, block(fn("f", std::move(first)), fn("f", std::move(second))));
  EXPECT_EQ(c->destroyed, 1);
  EXPECT_EQ(serial_of(*m.get(S("f"))), 1);
  vrel::deduce(m, block(let("f", lit(0))));
  EXPECT_EQ(c->destroyed, 2);
}

TEST(Functions, CallingANonFunctionOrAnUnboundNameFailsAfterTheArgument) {
  auto c = counters();
  Machine m;
  SharedValue probe = shared(Value::null());
  vrel::deduce(m, block(fn("g", fake(c, [&](SharedValue) { return vec_value({probe}); })),
                        let("x", lits("five"))));
  EXPECT_EQ(fatal_message([&] { eval(m, call("x", call("g", lit(1)))); }),
            "called `Option::unwrap()` on a `None` value");
  EXPECT_EQ(fatal_message([&] { eval(m, call("nope", call("g", lit(1)))); }),
            "Value cannot be found: S(\"nope\")");
  EXPECT_EQ(fatal_message([&] { eval(m, Expr::call(U(3), call("g", lit(1)))); }),
            "Value cannot be found: U(3)");
  EXPECT_EQ(c->runs, 3);
  EXPECT_EQ(probe.use_count(), 1u);  // the evaluated arguments were released
  EXPECT_EQ(m.get(S("x")).use_count(), 2u);
}

TEST(Functions, CalleeReceivesTheSharedArgument) {
  auto c = counters();
  Machine m;
  SharedValue seen;
  vrel::deduce(m, block(fn("keep", fake(c,
                                        [&](SharedValue a) {
                                          seen = std::move(a);
                                          return Value::null();
                                        })),
                        fn("other", fake(c)), let("v", vec_expr(lit(1)))));
  eval(m, call("keep", ident("other")));
  EXPECT_TRUE(seen.same_as(m.get(S("other"))));
  EXPECT_EQ(seen->kind(), vrel::ValueKind::Function);
  eval(m, call("keep", ident("v")));
  EXPECT_TRUE(seen.same_as(m.get(S("v"))));
  EXPECT_EQ(seen.use_count(), 2u);  // the store and `seen`: the caller kept nothing
  EXPECT_EQ(c->clones, 0);
}

TEST(Functions, ArgumentIsReleasedWhenRunDropsIt) {
  auto c = counters();
  Machine m;
  SharedValue probe = shared(Value::integer(1));
  vrel::deduce(m, block(fn("f", fake(c, [&](SharedValue a) {
                             EXPECT_EQ(probe.use_count(), 2u);
                             EXPECT_EQ(a.use_count(), 1u);
                             return Value::boolean(true);
                           }))));
  Expr e = call("f", lit(vec_value({probe})));  // the literal's value moves into the argument
  EXPECT_EQ(debug_of(eval(m, std::move(e))), "Boolean(true)");
  EXPECT_EQ(probe.use_count(), 1u);
}

TEST(Functions, FatalErrorFromRunPropagatesAndReleasesEverything) {
  auto c = counters();
  Machine m;
  SharedValue probe = shared(Value::integer(1));
  vrel::deduce(
      m, block(fn("boom", fake(c, [](SharedValue) -> Value { vrel::raise_fatal("boom!"); }))));
  EXPECT_EQ(fatal_message([&] {
              vrel::deduce(
                  m, block(let("before", lit(1)), let("r", call("boom", lit(vec_value({probe})))),
                           let("after", lit(2))));
            }),
            "boom!");
  EXPECT_EQ(probe.use_count(), 1u);
  EXPECT_EQ(m.get(S("boom")).use_count(), 2u);
  EXPECT_TRUE(bound(m, S("before")));
  EXPECT_FALSE(bound(m, S("r")));
  EXPECT_FALSE(bound(m, S("after")));
}

TEST(Functions, ResultIsANewSharedValueEvenForTheArgumentsValue) {
  auto c = counters();
  Machine m;
  vrel::deduce(m, block(fn("id", fake(c, [](SharedValue a) { return Value(*a); })),
                        let("x", vec_expr(lits("x")))));
  SharedValue x = m.get(S("x"));
  SharedValue r = eval(m, call("id", ident("x")));
  EXPECT_FALSE(r.same_as(x));
  EXPECT_EQ(r.use_count(), 1u);
  EXPECT_TRUE(Value::eq(*r, *x));
  EXPECT_TRUE(r->as_vector()[0].same_as(x->as_vector()[0]));
  EXPECT_EQ(x.use_count(), 2u);
}

class RebindDuringCall : public testing::TestWithParam<bool> {};

TEST_P(RebindDuringCall, OldObjectOutlivesTheCall) {
  const bool from_other_thread = GetParam();
  auto c = counters();
  Machine m;
  int destroyed_during_run = -1;
  vrel::deduce(m, block(fn("f", fake(c, [&](SharedValue a) {
                             auto rebind = [&] { vrel::deduce(m, block(let("f", lit(0)))); };
                             if (from_other_thread) {
                               std::thread(rebind).join();
                             } else {
                               rebind();
                             }
                             destroyed_during_run = c->destroyed;
                             return plus_one(std::move(a));
                           }))));
  SharedValue r;
  run_with_watchdog("rebinding during a call", [&] { r = eval(m, call("f", lit(1))); });
  EXPECT_EQ(destroyed_during_run, 0);
  EXPECT_EQ(c->destroyed, 1);
  EXPECT_EQ(debug_of(r), "Number(Int(2))");
  EXPECT_EQ(debug_of(m.get(S("f"))), "Number(Int(0))");
}

INSTANTIATE_TEST_SUITE_P(Functions, RebindDuringCall, testing::Bool());

TEST(Functions, CopiesOfAFnStatementInstallDistinctClones) {
  auto c = counters();
  Machine m;
  Statement original = fn("f", fake(c));
  auto first = block(Statement(original));
  auto second = block(Statement(original));
  EXPECT_EQ(c->clones, 2);
  vrel::deduce(m, std::move(first));
  SharedValue one = m.get(S("f"));
  vrel::deduce(m, std::move(second));
  SharedValue two = m.get(S("f"));
  EXPECT_EQ(c->clones, 2);  // executing moves the object, it does not copy it
  EXPECT_NE(serial_of(*one), 0);
  EXPECT_NE(serial_of(*two), 0);
  EXPECT_NE(serial_of(*one), serial_of(*two));
  EXPECT_EQ(c->alive(), 3);
  one = SharedValue();
  EXPECT_EQ(c->alive(), 2);
}

TEST(Functions, MachineDestructionDestroysFunctionObjects) {
  auto c = counters();
  {
    Machine m;
    vrel::deduce(m, block(fn("a", fake(c)), fn("b", fake(c)),
                          let(U(1), vec_expr(ident("a"), lit(Value::function(fake(c))))),
                          let("c", call("a", ident("b")))));
    EXPECT_EQ(c->alive(), 3);
  }
  EXPECT_EQ(c->alive(), 0);
}

TEST(Functions, NoStoreLockIsHeldDuringRun) {
  auto c = counters();
  Machine m;
  auto reenter = [&] {
    SharedValue self = m.get(S("f"));
    EXPECT_EQ(self->kind(), vrel::ValueKind::Function);
    vrel::deduce(m, block(let("f", ident("f")), let("f2", ident("f")), let("seen", lit(1))));
    return vrel::deduce_expr(m, add(ident("seen"), lit(1)));
  };
  vrel::deduce(
      m, block(fn("f", fake(c, [&](SharedValue) {
                    SharedValue here = reenter();
                    SharedValue there;
                    std::thread([&] { there = reenter(); }).join();
                    return Value::integer(here->as_number().as_int() + there->as_number().as_int());
                  }))));
  SharedValue r;
  run_with_watchdog("re-entering the machine from run",
                    [&] { r = eval(m, call("f", lit_null())); });
  EXPECT_EQ(debug_of(r), "Number(Int(4))");
  EXPECT_TRUE(m.get(S("f2")).same_as(m.get(S("f"))));
}

TEST(Functions, OldValueIsDestroyedOutsideTheStoreLock) {
  auto c = counters();
  Machine m;
  vrel::deduce(m, block(fn("f", fake(c))));
  std::string seen;
  c->on_destroy = [&] { seen = debug_of(m.get(S("f"))); };
  run_with_watchdog("destroying a replaced value",
                    [&] { vrel::deduce(m, block(let("f", lits("new")))); });
  c->on_destroy = nullptr;
  EXPECT_EQ(seen, "String(\"new\")");
}

TEST(Functions, ConcurrentCallsOfOneObject) {
  constexpr int kThreads = 4, kCalls = 2000;
  auto c = counters();
  Machine m;
  vrel::deduce(m, block(fn("inc", fake(c, plus_one))));
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        if (eval(m, call("inc", lit(t * kCalls + i)))->as_number().as_int() != t * kCalls + i + 1)
          ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(c->runs, kThreads * kCalls);
  EXPECT_EQ(m.get(S("inc")).use_count(), 2u);
}

}  // namespace
}  // namespace vrel_test
