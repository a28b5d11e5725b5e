// Run budgets: exact step and memory limits on consumed and borrowed trees, time spent in
// functions, the host's interrupt check, and limited runs from many threads on one machine
// (also under ThreadSanitizer). Nested runs are tested through the Python binding.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "run_budget.hpp"
#include "test_support.hpp"

namespace vrel_test {
namespace {

using vrel::RunLimits;

Expr shared_expr(Expr e) { return Expr(Expr::Shared{std::make_shared<const Expr>(std::move(e))}); }

// `leaf` doubled `depth` times through shared subtrees: 2^(depth+1) - 1 nodes to evaluate.
Expr doubling(int depth, Expr leaf) {
  Expr e = shared_expr(std::move(leaf));
  for (int i = 0; i < depth; ++i) e = shared_expr(add(e, e));
  return e;
}

RunLimits steps(std::uint64_t n) { return RunLimits{.steps = n}; }
RunLimits memory(std::uint64_t n) { return RunLimits{.memory = n}; }

// The fatal message of running `make()` on a machine with `limits`, consumed and borrowed.
template <class Make>
void expect_both_ways(const RunLimits& limits, Make make, const std::string& expected) {
  {
    Machine m;
    m.set_limits(limits);
    EXPECT_EQ(fatal_message([&] { vrel::deduce(m, make()); }), expected) << "consumed";
  }
  Machine m;
  m.set_limits(limits);
  const std::vector<Statement> program = make();
  std::vector<const Statement*> refs;
  for (const Statement& s : program) refs.push_back(&s);
  EXPECT_EQ(fatal_message([&] { vrel::deduce_borrowed(m, refs); }), expected) << "borrowed";
}

constexpr const char* kOk = "<no fatal error>";

// A let of 1 + 2 (4 steps), then an if on true (2 steps) whose taken block holds a let of a
// variable (2 steps); the block not taken would cost 6 more.
std::vector<Statement> branching_program() {
  return block(let("a", add(lit(1), lit(2))),
               if_(litb(true), block(let("b", ident("a"))),
                   block(let("c", add(lit(1), add(lit(1), lit(1)))))));
}

// The Python suite checks exact step counts on borrowed trees at length; here both ways.
TEST(RunBudget, StepLimitIsExactConsumedOrBorrowed) {
  expect_both_ways(steps(8), branching_program, kOk);  // the block not taken costs nothing
  expect_both_ways(steps(7), branching_program, vrel::kStepLimitExceeded);
  auto shared_tree = [] { return block(let("x", doubling(10, lit(1)))); };  // size per use
  expect_both_ways(steps(2048), shared_tree, kOk);
  expect_both_ways(steps(2047), shared_tree, vrel::kStepLimitExceeded);
  auto pairs = [] {  // let, equals, two literals, three pairs
    auto vec = [] {
      return lit(vec_value(
          {shared(Value::integer(1)), shared(Value::integer(2)), shared(Value::integer(3))}));
    };
    return block(let("r", Expr::equals(vec(), vec())));
  };
  expect_both_ways(steps(7), pairs, kOk);
  expect_both_ways(steps(6), pairs, vrel::kStepLimitExceeded);
  Machine m;
  m.set_limits(steps(7));
  EXPECT_EQ(fatal_message([&] { vrel::deduce(m, branching_program()); }), vrel::kStepLimitExceeded);
  EXPECT_TRUE(bound(m, S("a")));  // bindings made before stay
  EXPECT_FALSE(bound(m, S("b")));
}

// Steps counted in batches (as a compact form counts the nodes entered before each of its
// instructions) fail at the same step as steps counted one by one: in the batch that takes
// the total past the limit, and only there, whatever the batch and the checkpoint period.
TEST(RunBudget, BatchedStepsFailWhereSingleStepsDo) {
  for (const std::uint64_t limit : {1u, 2u, 3u, 255u, 256u, 1023u, 1024u, 1025u, 4000u}) {
    for (const std::int64_t batch : {1, 2, 3, 7, 256, 1000, 5000}) {
      Machine m;
      m.set_limits(steps(limit));
      std::uint64_t counted = 0;
      const std::string message = fatal_message([&] {
        vrel::RunScope scope(m.limits());
        for (;;) {
          vrel::count_steps(batch);
          counted += static_cast<std::uint64_t>(batch);
        }
      });
      EXPECT_EQ(message, vrel::kStepLimitExceeded);
      EXPECT_LE(counted, limit) << "limit " << limit << ", batch " << batch;
      EXPECT_GT(counted + static_cast<std::uint64_t>(batch), limit)
          << "limit " << limit << ", batch " << batch;
    }
  }
}

TEST(RunBudget, MemoryIsChargedBeforeTextsAndVectorsAreMade) {
  // "abc" + "abc": 6 bytes; a vector of two elements: 2 * kVectorElementBytes.
  const std::uint64_t need = 6 + 2 * vrel::kVectorElementBytes;
  auto program = [] {
    return block(let("s", add(lits("abc"), lits("abc"))), let("v", vec_expr(lit(1), lit(2))));
  };
  Machine m;
  m.set_limits(memory(need));
  EXPECT_EQ(fatal_message([&] { vrel::deduce(m, program()); }), kOk);
  m.set_limits(memory(need - 1));
  vrel::deduce(m, block(let("s", lit(0)), let("v", lit(0))));
  EXPECT_EQ(fatal_message([&] { vrel::deduce(m, program()); }), vrel::kMemoryLimitExceeded);
  EXPECT_EQ(debug_of(m.get(S("s"))), "String(\"abcabc\")");
  EXPECT_EQ(debug_of(m.get(S("v"))), "Number(Int(0))");
  // A borrowed literal is copied, so the copy is charged (a consumed one is moved); reading a
  // variable creates nothing.
  const std::vector<Statement> literal = block(let("t", lits("abcd")));
  const Statement* refs[] = {&literal[0]};
  m.set_limits(memory(3));
  EXPECT_EQ(fatal_message([&] { vrel::deduce_borrowed(m, refs); }), vrel::kMemoryLimitExceeded);
  EXPECT_EQ(fatal_message([&] { vrel::deduce(m, literal); }), kOk);
  m.set_limits(memory(1));
  EXPECT_EQ(fatal_message([&] { vrel::deduce(m, block(let("u", ident("s")))); }), kOk);
}

TEST(RunBudget, TimeSpentInFunctionsCounts) {
  auto c = counters();
  Machine m;
  vrel::deduce(m, block(fn("slow", fake(c, [](SharedValue) {
                             std::this_thread::sleep_for(std::chrono::milliseconds(30));
                             return Value::integer(1);
                           }))));
  m.set_limits(RunLimits{.seconds = 0.01});
  EXPECT_EQ(fatal_message(
                [&] { vrel::deduce(m, block(let("x", call("slow", lit(0))), let("y", lit(1)))); }),
            vrel::kTimeLimitExceeded);
  EXPECT_FALSE(bound(m, S("x")));
  m.set_limits(RunLimits{});
  EXPECT_EQ(m.limits(), RunLimits{});
  vrel::deduce(m, block(let("x", call("slow", lit(0)))));
  EXPECT_TRUE(bound(m, S("x")));
}

// The interrupt check is process-wide: installed for one test, removed on every exit.
class InterruptCheckScope {
 public:
  explicit InterruptCheckScope(vrel::InterruptCheck check) { vrel::set_interrupt_check(check); }
  ~InterruptCheckScope() { vrel::set_interrupt_check(nullptr); }
};

std::atomic<int> g_checks{0};
std::atomic<int> g_stop_at{0};

bool counting_check() noexcept {
  const int n = ++g_checks;
  return g_stop_at != 0 && n >= g_stop_at;
}

TEST(RunBudget, InterruptCheckRunsEveryFewStepsAndStopsWithoutReport) {
  InterruptCheckScope scope(counting_check);
  Machine m;
  // Without limits the check still runs at least once per 1,024 steps (2^15 steps here, the
  // countdown starting wherever the last run left it).
  g_checks = 0;
  g_stop_at = 0;
  vrel::deduce(m, block(let("x", doubling(14, lit(1)))));
  EXPECT_GE(g_checks, (1 << 15) / 1024 - 1);
  g_checks = 0;
  g_stop_at = 3;
  testing::internal::CaptureStderr();
  bool interrupted = false;
  try {
    vrel::deduce(m, block(let("before", lit(1)), let("x", doubling(40, lit(1)))));
  } catch (const vrel::FatalError& e) {
    interrupted = e.interrupted();
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(interrupted);
  EXPECT_EQ(g_checks, 3);
  EXPECT_TRUE(bound(m, S("before")));
  g_stop_at = 0;
  vrel::deduce(m, block(let("after", lit(2))));  // the machine stays usable
  EXPECT_TRUE(bound(m, S("after")));
}

// Work done for a machine outside its runs (a host reading back what a run built, the debug
// form): charged against the machine's memory limit with a full budget each time, and
// checked by the interrupt check however long it takes.
TEST(RunBudget, WorkOutsideRunsCountsAgainstTheMachine) {
  Machine m;
  // v doubled 20 times: 2^20 leaves over 21 vectors of two elements.
  std::vector<Statement> program = block(let("v", lit(1)));
  for (int i = 0; i < 20; ++i) program.push_back(let("v", vec_expr(ident("v"), ident("v"))));
  vrel::deduce(m, std::move(program));
  const std::uint64_t bytes = 2 * vrel::kVectorElementBytes;
  auto charge = [&](std::uint64_t n) {
    return fatal_message([&] {
      auto work = [&] { vrel::charge_memory(n); };
      m.within_memory_limit([](void* w) { (*static_cast<decltype(work)*>(w))(); }, &work);
    });
  };
  m.set_limits(memory(bytes));
  EXPECT_FALSE(vrel::memory_charged());
  EXPECT_EQ(charge(bytes), kOk);
  EXPECT_EQ(charge(bytes), kOk);  // a full budget at each call
  EXPECT_EQ(charge(bytes + 1), vrel::kMemoryLimitExceeded);
  // The debug form charges what it writes: 2^21 - 2 elements do not fit in 1 MB.
  m.set_limits(memory(1'000'000));
  std::string text;
  auto write = [&] { m.debug(text); };
  EXPECT_EQ(fatal_message([&] {
              m.within_memory_limit([](void* w) { (*static_cast<decltype(write)*>(w))(); }, &write);
            }),
            vrel::kMemoryLimitExceeded);
  EXPECT_LT(text.size(), 1'000'000u);
  // Without limits it is written whole, and the interrupt check runs while it is.
  m.set_limits(RunLimits{});
  InterruptCheckScope scope(counting_check);
  g_checks = 0;
  g_stop_at = 0;
  EXPECT_EQ(fatal_message([&] { text = m.debug(); }), kOk);
  EXPECT_GE(g_checks, (1 << 21) / 1024 - 1);
  EXPECT_GT(text.size(), std::size_t{1} << 21);
  g_checks = 0;
  g_stop_at = 5;
  bool interrupted = false;
  try {
    text = m.debug();
  } catch (const vrel::FatalError& e) {
    interrupted = e.interrupted();
  }
  EXPECT_TRUE(interrupted);
  g_stop_at = 0;
  // A host's work counts the same way.
  g_checks = 0;
  for (int i = 0; i < 64; ++i) vrel::count_host_work(64);
  EXPECT_GE(g_checks, 3);
}

// Threads run limited programs on one machine while another changes its limits: every run
// reads one whole set of limits and stops by it, bindings of all threads land in the shared
// store, and the per-thread budgets never mix.
TEST(RunBudgetConcurrency, LimitedRunsFromManyThreadsOnOneMachine) {
  const RunLimits by_steps = steps(3000),
                  by_memory = RunLimits{.steps = 0, .memory = 4096, .seconds = 60};
  Machine m;
  m.set_limits(by_steps);
  std::atomic<bool> done{false};
  std::atomic<int> bad{0}, stopped_by_steps{0}, stopped_by_memory{0};
  run_with_watchdog("limited runs", [&] {
    std::thread writer([&] {
      for (int i = 0; !done; ++i) {
        m.set_limits(i % 2 ? by_memory : by_steps);
        const RunLimits seen = m.limits();
        if (!(seen == by_steps || seen == by_memory)) ++bad;
        std::this_thread::yield();
      }
    });
    std::vector<std::thread> runners;
    for (int t = 0; t < 3; ++t) {
      runners.emplace_back([&, t] {
        for (int i = 0; i < 150; ++i) {
          std::string name = "t";  // appended, not "t" + ...: GCC 12 warns falsely on that
          name += std::to_string(t);
          const std::string got = fatal_message([&] {
            vrel::deduce(m, block(let(name, lit(i)), let("x", doubling(40, lits("ab")))));
          });
          if (got == vrel::kStepLimitExceeded) {
            ++stopped_by_steps;
          } else if (got == vrel::kMemoryLimitExceeded) {
            ++stopped_by_memory;
          } else {
            ++bad;
          }
          if (m.get(S(name))->as_number().as_int() != i) ++bad;
        }
      });
    }
    for (auto& r : runners) r.join();
    done = true;
    writer.join();
  });
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(stopped_by_steps + stopped_by_memory, 3 * 150);
}

}  // namespace
}  // namespace vrel_test
