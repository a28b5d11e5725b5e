// Many threads of readers and writers on one machine: table growth, rebinding with the last
// reference released outside the store lock, calls racing with rebinds of the callee, plain
// reads racing with rebinds, copies of one `if` running its shared blocks, and the machine's
// debug form listed while writers run, cells that stay put while tables grow. Meant to run
// under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "test_support.hpp"

namespace vrel_test {
namespace {

std::int64_t int_of(const SharedValue& v) { return v->as_number().as_int(); }

// Writers insert disjoint key ranges into a store with few shards (so tables grow while
// others probe them); readers chase the writers' published progress and must find every
// key already published, with its own value. Nothing is lost or duplicated by growth.
TEST(StoreStress, GrowthUnderConcurrentInsertsAndLookups) {
  constexpr int kWriters = 3, kReaders = 3, kKeys = 6000;
  vrel::VariableStore store(2);
  std::vector<std::atomic<int>> published(kWriters);
  std::atomic<int> bad{0};
  auto key = [](int w, int i) {
    return i % 2 ? U(std::uint64_t(w) << 32 | std::uint64_t(i))
                 : S(std::to_string(w) + ":" + std::to_string(i));
  };
  run_with_watchdog("growth", [&] {
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
      threads.emplace_back([&, w] {
        for (int i = 0; i < kKeys; ++i) {
          if (store.insert(key(w, i), shared(Value::integer(w * kKeys + i)))) ++bad;
          published[w].store(i + 1, std::memory_order_release);
        }
      });
    }
    for (int r = 0; r < kReaders; ++r) {
      threads.emplace_back([&, r] {
        for (int round = 0; round < 4; ++round) {
          for (int w = 0; w < kWriters; ++w) {
            const int upto = published[w].load(std::memory_order_acquire);
            for (int i = (r + round) % 7; i < upto; i += 7) {
              SharedValue v = store.lookup(key(w, i));
              if (!v || int_of(v) != w * kKeys + i) ++bad;
            }
          }
        }
      });
    }
    for (auto& t : threads) t.join();
  });
  EXPECT_EQ(bad, 0);
  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kKeys; ++i) {
      SharedValue v = store.lookup(key(w, i));
      ASSERT_TRUE(v) << w << " " << i;
      ASSERT_EQ(int_of(v), w * kKeys + i);
    }
  }
}

// Writers keep rebinding a few variables to vectors holding fresh function values, while
// readers take references, keep them a while and drop them. Each destroyed function object
// looks the variable up again: a destruction under the store lock would deadlock. At the end
// every function object ever made has been destroyed exactly once.
TEST(StoreStress, RebindsReleaseOldValuesOutsideTheLockExactlyOnce) {
  constexpr int kWriters = 2, kReaders = 3, kIters = 3000, kVars = 4;
  auto c = counters();
  {
    Machine m;
    vrel::deduce(m, block(let("v0", lit_null()), let("v1", lit_null()), let("v2", lit_null()),
                          let("v3", lit_null())));
    c->on_destroy = [&m] { (void)vrel::store_of(m).lookup(S("v0")); };
    run_with_watchdog("rebinds", [&] {
      std::vector<std::thread> threads;
      for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
          for (int i = 0; i < kIters; ++i) {
            // Appended, not "v" + ...: GCC 12 gives a false -Wrestrict for that once inlined.
            std::string name = "v";
            name += std::to_string((i + w) % kVars);
            vrel::deduce(m, block(fn("f", fake(c)),
                                  let(name, vec_expr(ident("f"), lit(std::int64_t{i}),
                                                     name == "v0" ? lit_null() : ident("v0")))));
          }
        });
      }
      for (int r = 0; r < kReaders; ++r) {
        threads.emplace_back([&, r] {
          std::vector<SharedValue> held;
          for (int i = 0; i < kIters; ++i) {
            std::string name = "v";
            name += std::to_string((i + r) % kVars);
            SharedValue v = vrel::store_of(m).lookup(S(name));
            if (v) held.push_back(std::move(v));
            if (held.size() > 16) held.erase(held.begin(), held.begin() + 8);
          }
        });
      }
      for (auto& t : threads) t.join();
    });
    c->on_destroy = nullptr;  // the machine is about to go: no more lookups in it
    EXPECT_GT(c->alive(), 0);
  }
  EXPECT_EQ(c->alive(), 0) << "created " << c->created << ", destroyed " << c->destroyed;
}

// Callers call a function while others rebind its variable to new function objects; the
// function itself reads and binds variables of the same machine (re-entrant evaluation).
// Every call returns its own argument plus one, and no function object outlives the machine.
TEST(StoreStress, CallsRaceWithRebindsOfTheCallee) {
  constexpr int kCallers = 3, kIters = 1500;
  auto c = counters();
  {
    Machine m;
    auto body = [&m](SharedValue arg) {
      (void)vrel::store_of(m).lookup(S("seen"));
      vrel::deduce(m, block(let("seen", lit(int_of(arg)))));
      return Value::integer(int_of(arg) + 1);
    };
    vrel::deduce(m, block(fn("inc", fake(c, body))));
    std::atomic<int> bad{0};
    run_with_watchdog("calls", [&] {
      std::vector<std::thread> threads;
      threads.emplace_back([&] {
        for (int i = 0; i < kIters; ++i) vrel::deduce(m, block(fn("inc", fake(c, body))));
      });
      for (int t = 0; t < kCallers; ++t) {
        threads.emplace_back([&, t] {
          const std::string out = "out" + std::to_string(t);
          for (int i = 0; i < kIters; ++i) {
            vrel::deduce(m, block(let(out, call("inc", lit(std::int64_t{t * kIters + i})))));
            if (int_of(m.get(S(out))) != t * kIters + i + 1) ++bad;
          }
        });
      }
      for (auto& th : threads) th.join();
    });
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(c->runs, kCallers * kIters);
    EXPECT_EQ(c->alive(), 1) << "only the last bound function object is left";
  }
  EXPECT_EQ(c->alive(), 0);
}

// Readers evaluate a kept tree whose variable reads copy numbers and booleans out of the
// store without a reference, while writers rebind the same variables to numbers, booleans,
// strings and vectors (the old values released as they go). Every read sees one whole value
// that was written: a number, or a boolean, or a string or vector that is still alive.
TEST(StoreStress, PlainReadsRaceWithRebindsOfAnyKind) {
  constexpr int kWriters = 2, kReaders = 2, kIters = 3000;
  Machine m;
  vrel::deduce(m, block(let("n", lit(0)), let("k", lit(0))));
  std::atomic<int> bad{0};
  run_with_watchdog("plain reads", [&] {
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
      threads.emplace_back([&, w] {
        for (std::int64_t i = 0; i < kIters; ++i) {
          Expr k = i % 4 == 0   ? lit(i)
                   : i % 4 == 1 ? litb(w == 0)
                   : i % 4 == 2 ? lits("s")
                                : vec_expr(lit(i));
          vrel::deduce(m, block(let("n", lit(i)), let("k", std::move(k))));
        }
      });
    }
    for (int r = 0; r < kReaders; ++r) {
      threads.emplace_back([&, r] {
        const std::string out = "out" + std::to_string(r);
        const Statement statement = let(out, vec_expr(add(ident("n"), ident("n")), ident("k")));
        const Statement* program[] = {&statement};
        for (int i = 0; i < kIters; ++i) {
          vrel::deduce_borrowed(m, program);
          const Value::Vector& got = m.get(S(out))->as_vector();
          const std::int64_t twice = got[0]->as_number().as_int();
          if (twice < 0 || twice > 2 * (kIters - 1)) ++bad;
          const std::string kind = got[1]->debug();
          if (kind.rfind("Number(Int(", 0) != 0 && kind.rfind("Boolean(", 0) != 0 &&
              kind != "String(\"s\")" && kind.rfind("Vector([Number(Int(", 0) != 0) {
            ++bad;
          }
        }
      });
    }
    for (auto& t : threads) t.join();
  });
  EXPECT_EQ(bad, 0);
}

// A writer rotates one variable through odd ints, a float and false; readers copy it out
// through a kept tree's plain read (the seqlock's path without a lock) and must only ever see
// one of those. Half of one write and half of another (a read that accepted a version taken
// mid-write) is an even int, a boolean true or a float other than 2.5.
TEST(StoreStress, PlainReadsNeverSeeHalfOfOneWriteAndHalfOfAnother) {
  constexpr int kReaders = 2, kReads = 20000;
  Machine m;
  vrel::deduce(m, block(let("x", lit(1))));
  std::atomic<int> bad{0}, reads{0};
  run_with_watchdog("torn reads", [&] {
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
      const Statement writes[] = {let("x", lit(std::int64_t{-7})), let("x", litf(2.5)),
                                  let("x", litb(false)), let("x", lit(std::int64_t{1} << 40 | 1))};
      for (int i = 0; reads.load() < kReaders * kReads; ++i) {
        const Statement* program[] = {&writes[i % 4]};
        vrel::deduce_borrowed(m, program);
      }
    });
    for (int r = 0; r < kReaders; ++r) {
      threads.emplace_back([&, r] {
        const std::string out = "out" + std::to_string(r);
        const Statement statement = let(out, vec_expr(ident("x")));
        const Statement* program[] = {&statement};
        for (int i = 0; i < kReads; ++i) {
          vrel::deduce_borrowed(m, program);
          const Value& got = *m.get(S(out))->as_vector()[0];
          const bool whole = (got.kind() == vrel::ValueKind::Number && got.as_number().is_int() &&
                              (got.as_number().as_int() & 1) != 0) ||
                             (got.kind() == vrel::ValueKind::Number && got.as_number().is_float() &&
                              got.as_number().as_float() == 2.5) ||
                             (got.kind() == vrel::ValueKind::Boolean && !got.as_boolean());
          if (!whole) ++bad;
          ++reads;
        }
      });
    }
    for (auto& t : threads) t.join();
  });
  EXPECT_EQ(bad, 0);
}

// Each thread runs its own copy of one `if`, all sharing the blocks (and the variable reads'
// cell memos inside them), while the original is dropped. Every run binds what the
// blocks say, and the last copy to go releases the blocks' values.
TEST(StoreStress, CopiesOfAnIfRunTheirSharedBlocksOnSeveralThreads) {
  constexpr int kThreads = 3, kIters = 2000;
  SharedValue probe = shared(Value::null());
  Machine m;
  vrel::deduce(m, block(let("x", lit(1))));
  auto original = std::make_unique<Statement>(
      if_(Expr::greater_than(ident("x"), lit(0)),
          block(let("a", vec_expr(lit(vec_value({probe})), add(ident("x"), ident("x"))))),
          block(let("b", lit(0)))));
  std::atomic<int> bad{0};
  run_with_watchdog("shared blocks", [&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, copy = *original] {
        const Statement* program[] = {&copy};
        for (int i = 0; i < kIters; ++i) {
          vrel::deduce_borrowed(m, program);
          if (m.get(S("a"))->as_vector()[1]->as_number().as_int() != 2) ++bad;
        }
      });
    }
    original.reset();
    for (auto& t : threads) t.join();
  });
  EXPECT_EQ(bad, 0);
  EXPECT_FALSE(bound(m, S("b")));
  EXPECT_EQ(probe.use_count(), 2u) << "here and in the bound vector: the blocks are gone";
}

// The debug form is listed shard by shard while writers insert new keys and rebind old
// ones: it always stays well formed and lists each listed key once.
TEST(StoreStress, DebugFormWhileWritersRun) {
  constexpr int kWriters = 2, kIters = 2000;
  Machine m;
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  run_with_watchdog("debug", [&] {
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
      threads.emplace_back([&, w] {
        for (int i = 0; i < kIters; ++i) {
          vrel::deduce(m, block(let(U(std::uint64_t(w) * kIters + i), lit(std::int64_t{i})),
                                let("shared", lits(std::string(i % 50, 'x')))));
        }
      });
    }
    threads.emplace_back([&] {
      while (!stop.load()) {
        const std::string text = m.debug();
        if (text.rfind("Machine { vars: {", 0) != 0 || text.substr(text.size() - 3) != "} }") ++bad;
        std::size_t shared_entries = 0;
        for (auto at = text.find("S(\"shared\")"); at != std::string::npos;
             at = text.find("S(\"shared\")", at + 1)) {
          ++shared_entries;
        }
        if (shared_entries > 1) ++bad;
      }
    });
    for (int w = 0; w < kWriters; ++w) threads[w].join();
    stop = true;
    threads.back().join();
  });
  EXPECT_EQ(bad, 0);
  const std::string text = m.debug();
  for (int w = 0; w < kWriters; ++w) {
    EXPECT_NE(text.find("U(" + std::to_string(w * kIters + kIters - 1) + "): Number(Int(" +
                        std::to_string(kIters - 1) + "))"),
              std::string::npos);
  }
}

// One thread keeps binding new variables, so that every shard's table grows again and again,
// while another is the only one to rebind `n` (n = n + 1) and others read `n` and `s`, all
// through remembered cells and, after their first run, compact forms shared by every thread.
// A writer meanwhile moves `s` between kinds held inline and kinds held by reference. Cells
// never move: no increment of `n` is lost, and every read sees a value that was bound.
TEST(StoreStress, CellsStayPutWhileTablesGrow) {
  constexpr int kIters = 20'000, kReaders = 2;
  constexpr std::uint64_t kMaxNew = 200'000;
  Machine m;
  vrel::deduce(m, block(let("n", lit(0)), let("s", lits("a"))));
  const Statement step = let("n", add(ident("n"), lit(1)));
  const Statement check = let("ok", Expr::greater_than(add(ident("n"), lit(1)), lit(0)));
  const Statement got = let("got", ident("s"));
  const Statement* reading[] = {&check, &got};
  vrel::deduce_borrowed(m, reading);
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  run_with_watchdog("cells while tables grow", [&] {
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
      for (std::uint64_t i = 0; i < kMaxNew && !done.load(); ++i) {
        vrel::deduce(m, block(let(U(i), lit(static_cast<std::int64_t>(i)))));
      }
    });
    threads.emplace_back([&] {
      for (int i = 0; !done.load(); ++i) {
        Expr v = i % 3 == 0 ? lits("b") : i % 3 == 1 ? lit(i) : vec_expr(litb(true));
        vrel::deduce(m, block(let("s", std::move(v))));
      }
    });
    for (int r = 0; r < kReaders; ++r) {
      threads.emplace_back([&] {
        while (!done.load()) {
          vrel::deduce_borrowed(m, reading);
          const std::string seen = m.get(S("got"))->debug();
          if (m.get(S("ok"))->kind() != vrel::ValueKind::Boolean ||
              (seen != "String(\"a\")" && seen != "String(\"b\")" &&
               seen.rfind("Number(Int(", 0) != 0 && seen != "Vector([Boolean(true)])")) {
            ++bad;
          }
        }
      });
    }
    const Statement* counting[] = {&step};
    for (int i = 0; i < kIters; ++i) vrel::deduce_borrowed(m, counting);
    done = true;
    for (auto& t : threads) t.join();
  });
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(int_of(m.get(S("n"))), kIters);
  EXPECT_TRUE(m.get(S("ok"))->as_boolean());
}

}  // namespace
}  // namespace vrel_test
