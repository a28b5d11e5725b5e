// One tree evaluated many times without being consumed: on one machine, on several machines
// in turn, on machines that reuse a dead machine's address, and on several threads at once.
#include <gtest/gtest.h>

#include <optional>

#include "test_support.hpp"

namespace vrel_test {
namespace {

// `r = x + 1` as a borrowed program of one statement.
struct Program {
  Statement statement = let("r", add(ident("x"), lit(1)));
  void run(const Machine& m) const {
    const Statement* program[] = {&statement};
    vrel::deduce_borrowed(m, program);
  }
};

void bind_x(const Machine& m, std::int64_t value) { vrel::deduce(m, block(let("x", lit(value)))); }
std::int64_t r_of(const Machine& m) { return m.get(S("r"))->as_number().as_int(); }

TEST(RepeatedEvaluation, OneMachineSeesEveryRebinding) {
  const Program p;
  Machine m;
  for (std::int64_t i = 0; i < 6; ++i) {
    bind_x(m, i * 10);
    p.run(m);
    EXPECT_EQ(r_of(m), i * 10 + 1);
  }
}

// Each pattern is the order in which the machines evaluate the one tree; machine 2 never
// binds x. Remembered hashes must never be taken for another machine's.
class MachinesInTurn : public ::testing::TestWithParam<std::vector<int>> {};

TEST_P(MachinesInTurn, EachMachineReadsItsOwnVariables) {
  const Program p;
  Machine machines[3];
  bind_x(machines[0], 100);
  bind_x(machines[1], 200);
  for (int which : GetParam()) {
    const Machine& m = machines[which];
    if (which == 2) {
      EXPECT_EQ(fatal_message([&] { p.run(m); }), "Value cannot be found: S(\"x\")");
      continue;
    }
    p.run(m);
    EXPECT_EQ(r_of(m), (which + 1) * 100 + 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Patterns, MachinesInTurn,
                         ::testing::Values(std::vector<int>{0, 0, 0, 1, 1, 1, 2, 2, 0},
                                           std::vector<int>{0, 1, 0, 1, 2, 0, 2, 1},
                                           std::vector<int>{2, 2, 2, 0, 0, 2, 1, 1, 2},
                                           std::vector<int>{1, 1, 1, 1, 0, 0, 0, 0, 2}));

TEST(RepeatedEvaluation, NewMachineAtADeadMachinesAddressHashesAfresh) {
  const Program p;
  std::optional<Machine> m;
  for (int round = 0; round < 40; ++round) {
    m.emplace();  // usually the same storage as the machine just destroyed
    if (round % 3 == 2) {
      EXPECT_EQ(fatal_message([&] { p.run(*m); }), "Value cannot be found: S(\"x\")");
      continue;
    }
    bind_x(*m, round);
    for (int again = 0; again < 3; ++again) {
      p.run(*m);
      ASSERT_EQ(r_of(*m), round + 1);
    }
    m.reset();
  }
}

TEST(RepeatedEvaluation, AssigningANodeForgetsWhatItRemembered) {
  Machine m;
  vrel::deduce(m, block(let("x", lit(1)), let("y", lit(2))));
  Expr read = ident("x");
  // Evaluates the node itself, not a copy: a statement refers to it as a shared subtree
  // that it does not own.
  const auto value_of = [&](const Expr& e) {
    const Statement shared_read =
        let("r", Expr(Expr::Shared{std::shared_ptr<const Expr>(&e, [](const Expr*) {})}));
    const Statement* program[] = {&shared_read};
    vrel::deduce_borrowed(m, program);
    return m.get(S("r"))->as_number().as_int();
  };
  EXPECT_EQ(value_of(read), 1);
  EXPECT_EQ(value_of(read), 1);  // the node's memo holds the cell of x now
  read = ident("y");
  EXPECT_EQ(value_of(read), 2);
  EXPECT_EQ(value_of(read), 2);
  const Expr other = ident("x");
  read = other;
  EXPECT_EQ(value_of(read), 1);
}

TEST(RepeatedEvaluation, ThreadsShareOneTreeAcrossTheirOwnMachines) {
  const Program p;
  constexpr int kThreads = 4;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Machine own;
      for (int i = 0; i < 2000; ++i) {
        bind_x(own, t * 1000 + i);
        p.run(own);
        if (r_of(own) != t * 1000 + i + 1) ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(RepeatedEvaluation, SharedConstantsAreBoundWithoutCopiesOrLeakedReferences) {
  const SharedValue constant = shared(Value::string("kept"));
  const Statement bind_it = let("v", Expr(Expr::Constant{constant}));
  const Statement compare_it =
      let("same", Expr::equals(Expr(Expr::Constant{constant}), Expr(Expr::Constant{constant})));
  {
    Machine m;
    for (int i = 0; i < 3; ++i) {
      const Statement* program[] = {&bind_it, &compare_it};
      vrel::deduce_borrowed(m, program);
      EXPECT_TRUE(m.get(S("v")).same_as(constant));
      EXPECT_TRUE(m.get(S("same"))->as_boolean());
    }
    // The test's handle, the two trees' three handles and the machine's binding.
    EXPECT_EQ(constant.use_count(), 5u);
  }
  EXPECT_EQ(constant.use_count(), 4u);
}

}  // namespace
}  // namespace vrel_test
