// Deeply nested trees and values: building, evaluating, copying, comparing, printing and
// releasing them must never overflow the native stack. Where recursion is unavoidable the
// stack guard stops it with its fatal error.
#include <gtest/gtest.h>
#include <pthread.h>

#include <thread>

#include "test_support.hpp"

namespace vrel_test {
namespace {

constexpr int kDeep = 1000000;
const std::string kGuard = "Maximum nesting depth exceeded";

// ((((0 + 1) + 2) + ...) + n), built by moving each level into the next.
Expr left_deep_sum(int n) {
  Expr e = lit(0);
  for (int i = 1; i <= n; ++i) e = add(std::move(e), lit(i));
  return e;
}
constexpr std::int64_t sum_to(std::int64_t n) { return n * (n + 1) / 2; }

template <class F>
std::string outcome(F&& f) {
  try {
    return f();
  } catch (const vrel::FatalError& e) {
    return e.message();
  }
}

TEST(DeepExpr, FiftyThousandLevelSumOnTheMainThread) {
  Machine m;
  SharedValue r = eval(m, left_deep_sum(50000));
  EXPECT_EQ(r->as_number().as_int(), sum_to(50000));
}

TEST(DeepExpr, MillionLevelEvaluationHitsTheGuardAndReleasesEverything) {
  Machine m;
  SharedValue probe = shared(Value::null());
  {
    Expr e = lit(vec_value({probe}));
    for (int i = 0; i < kDeep; ++i) e = add(std::move(e), lit(vec_value({probe})));
    EXPECT_EQ(probe.use_count(), std::size_t{kDeep} + 2);
    EXPECT_EQ(fatal_message([&] { eval(m, std::move(e)); }), kGuard);
  }
  EXPECT_EQ(probe.use_count(), 1u);
  vrel::deduce(m, block(let("x", add(lit(1), lit(1)))));
  EXPECT_EQ(debug_of(m.get(S("x"))), "Number(Int(2))");
}

// Runs `body` on a new thread with the given stack size (0: the default).
void on_thread(std::size_t stack_size, std::function<void()> body) {
  if (stack_size == 0) {
    std::thread(body).join();
    return;
  }
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, stack_size), 0);
  pthread_t th;
  auto trampoline = [](void* p) -> void* {
    (*static_cast<std::function<void()>*>(p))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&th, &attr, trampoline, &body), 0);
  pthread_join(th, nullptr);
  pthread_attr_destroy(&attr);
}

struct DeepTreeCase {
  const char* name;
  Expr (*wrap)(Expr inner);
};

class DeepExprRelease : public testing::TestWithParam<DeepTreeCase> {};

// Released on a thread with a small stack, so that the flat release takes over whatever
// the frame sizes of the build.
TEST_P(DeepExprRelease, DestroyingAMillionLevelsIsSafe) {
  SharedValue probe = shared(Value::null());
  Expr e = lit(vec_value({probe}));
  for (int i = 0; i < kDeep; ++i) e = GetParam().wrap(std::move(e));
  on_thread(256 * 1024, [&] { Expr doomed = std::move(e); });
  EXPECT_EQ(probe.use_count(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, DeepExprRelease,
    testing::Values(DeepTreeCase{"left_deep_add", [](Expr e) { return add(std::move(e), lit(1)); }},
                    DeepTreeCase{"right_deep_equals",
                                 [](Expr e) { return Expr::equals(lit_null(), std::move(e)); }},
                    DeepTreeCase{"not_chain", [](Expr e) { return Expr::not_(std::move(e)); }},
                    DeepTreeCase{"call_chain", [](Expr e) { return call("f", std::move(e)); }},
                    DeepTreeCase{"vector_chain", [](Expr e) { return vec_expr(std::move(e)); }},
                    DeepTreeCase{"shared_chain",
                                 [](Expr e) {
                                   return Expr::not_(Expr(
                                       Expr::Shared{std::make_shared<const Expr>(std::move(e))}));
                                 }}),
    [](const testing::TestParamInfo<DeepTreeCase>& i) { return std::string(i.param.name); });

TEST(DeepExpr, CopyOfAMillionLevelsWorksOrHitsTheGuard) {
  SharedValue probe = shared(Value::null());
  {
    Expr e = lit(vec_value({probe}));
    for (int i = 0; i < kDeep; ++i) e = Expr::not_(std::move(e));
    std::string r = outcome([&] {
      Expr copy = e;
      return std::string(probe.use_count() == 3 ? "copied" : "incomplete copy");
    });
    EXPECT_TRUE(r == "copied" || r == kGuard) << r;
  }
  EXPECT_EQ(probe.use_count(), 1u);
}

TEST(DeepStatements, HundredThousandNestedIfBlocks) {
  constexpr int kIfs = 100000;
  SharedValue probe = shared(Value::null());
  auto build = [&] {
    Statement s = let("x", lit(vec_value({probe})));
    for (int i = 0; i < kIfs; ++i) {
      s = if_(litb(true), block(std::move(s)), block(let("y", lit(vec_value({probe})))));
    }
    return block(std::move(s));
  };
  { auto program = build(); }
  EXPECT_EQ(probe.use_count(), 1u);

  Machine m;
  std::string r = outcome([&] {
    vrel::deduce(m, build());
    return debug_of(m.get(S("x")));
  });
  EXPECT_TRUE(r == "Vector([Null])" || r == kGuard) << r;
  EXPECT_FALSE(bound(m, S("y")));
  EXPECT_EQ(probe.use_count(), r == kGuard ? 1u : 2u);
}

SharedValue vector_chain(int depth, Value leaf) {
  SharedValue v = shared(std::move(leaf));
  for (int i = 0; i < depth; ++i) v = shared(vec_value({v}));
  return v;
}

std::size_t chain_depth(const SharedValue& v) {
  std::size_t depth = 0;
  for (const Value* p = v.get(); p->kind() == vrel::ValueKind::Vector;
       p = p->as_vector()[0].get()) {
    if (p->as_vector().size() != 1) return 0;
    ++depth;
  }
  return depth;
}

TEST(DeepValue, MillionNestedVectorsFromDeduceReleaseWithTheMachine) {
  auto c = counters();
  {
    Machine m;
    vrel::deduce(m, block(let("x", lit(Value::function(fake(c))))));
    for (int i = 0; i < kDeep; ++i) vrel::deduce(m, block(let("x", vec_expr(ident("x")))));
    SharedValue top = m.get(S("x"));
    EXPECT_EQ(chain_depth(top), std::size_t{kDeep});
    EXPECT_EQ(top.use_count(), 2u);
  }
  EXPECT_EQ(c->alive(), 0);
}

TEST(DeepValue, ReleasingTheLastHandleOnAnotherThread) {
  auto c = counters();
  SharedValue top = vector_chain(kDeep, Value::function(fake(c)));
  std::thread([v = std::move(top)]() mutable { v = SharedValue(); }).join();
  EXPECT_EQ(c->alive(), 0);
}

TEST(DeepValue, CopyEqualityAndDebugWorkOrHitTheGuard) {
  SharedValue a = vector_chain(kDeep, Value::null());
  SharedValue b = vector_chain(kDeep, Value::null());
  SharedValue t = vector_chain(kDeep, Value::boolean(true));

  Value copy = *a;  // shallow: shares the one element
  EXPECT_TRUE(copy.as_vector()[0].same_as(a->as_vector()[0]));

  std::string same = outcome([&] { return std::string(Value::eq(*a, *b) ? "true" : "false"); });
  EXPECT_TRUE(same == "true" || same == kGuard) << same;
  std::string null_left =
      outcome([&] { return std::string(Value::eq(*a, *t) ? "true" : "false"); });
  EXPECT_TRUE(null_left == "false" || null_left == kGuard) << null_left;
  std::string bool_left =
      outcome([&] { return std::string(Value::eq(*t, *a) ? "true" : "false"); });
  EXPECT_TRUE(bool_left == "Expected other item to be Value::Boolean" || bool_left == kGuard)
      << bool_left;

  std::string text = outcome([&] {
    std::string d = a->debug();
    bool ok = d.size() == std::size_t{kDeep} * 10 + 4 &&
              d.compare(0, 16, "Vector([Vector([") == 0 && d.find("Null") == std::size_t{kDeep} * 8;
    return std::string(ok ? "ok" : "malformed");
  });
  EXPECT_TRUE(text == "ok" || text == kGuard) << text;
  EXPECT_EQ(a.use_count(), 1u);
  EXPECT_EQ(chain_depth(a), std::size_t{kDeep});
}

// Runs `body` on a new thread; stack_size 0 means std::thread's default.

class DeepOnThread : public testing::TestWithParam<std::size_t> {};

TEST_P(DeepOnThread, EvaluationWorksOrFailsCleanly) {
  Machine m;
  std::string shallow, deep;
  on_thread(GetParam(), [&] {
    shallow = outcome([&] { return debug_of(eval(m, left_deep_sum(50000))); });
    deep = outcome([&] { return debug_of(eval(m, left_deep_sum(kDeep))); });
  });
  EXPECT_TRUE(shallow == "Number(Int(" + std::to_string(sum_to(50000)) + "))" || shallow == kGuard)
      << shallow;
  EXPECT_EQ(deep, kGuard);
}

INSTANTIATE_TEST_SUITE_P(Stacks, DeepOnThread,
                         testing::Values(std::size_t{0}, std::size_t{512} * 1024),
                         [](const testing::TestParamInfo<std::size_t>& i) {
                           return i.param == 0 ? std::string("default") : std::string("small_512k");
                         });

}  // namespace
}  // namespace vrel_test
