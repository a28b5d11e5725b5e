// Benchmarks of the core: store throughput, identifier hashing, tree evaluation and making
// large vectors.
//
// Prints one line per measurement; each figure is the best of several repetitions, so that
// a busy machine shows up as noise rather than as a slower result.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "siphash.hpp"
#include "variable_store.hpp"
#include "vrel/vrel.hpp"

namespace {

using Clock = std::chrono::steady_clock;

template <class F>
double best_seconds(int repetitions, F&& body) {
  double best = 1e300;
  for (int r = 0; r < repetitions; ++r) {
    const auto start = Clock::now();
    body();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

std::vector<vrel::Identifier> identifiers(std::size_t n) {
  std::vector<vrel::Identifier> ids;
  ids.reserve(n);
  for (std::size_t i = 0; i < n; ++i)
    ids.push_back(vrel::Identifier::s("var_" + std::to_string(i)));
  return ids;
}

// Each thread performs `ops` operations, 90% reads, on its own half of `ids` (as two
// threads of a program working on their own variables of one machine would): the threads
// meet only in the shards, not in the values.
void store_mixed(const vrel::Machine& machine, const std::vector<vrel::Identifier>& ids,
                 std::size_t part, std::size_t parts, std::size_t ops) {
  const vrel::SharedValue value = vrel::SharedValue::make(vrel::Value::integer(1));
  const std::size_t span = ids.size() / parts;
  std::size_t sink = 0;
  for (std::size_t i = 0; i < ops; ++i) {
    const vrel::Identifier& id = ids[part * span + (i * 7919) % span];
    if (i % 10 == 0) {
      vrel::SharedValue previous = vrel::store_of(machine).insert(id, value);
    } else {
      sink += vrel::store_of(machine).lookup(id).use_count();
    }
  }
  if (sink == 42) std::puts("");
}

void bench_store() {
  const auto ids = identifiers(10'000);
  constexpr std::size_t kOps = 2'000'000;
  for (int threads : {1, 2}) {
    vrel::Machine machine;
    for (const auto& id : ids) {
      vrel::SharedValue previous =
          vrel::store_of(machine).insert(id, vrel::SharedValue::make(vrel::Value::integer(0)));
    }
    const double s = best_seconds(3, [&] {
      std::vector<std::thread> pool;
      for (int t = 0; t < threads; ++t) {
        pool.emplace_back(store_mixed, std::cref(machine), std::cref(ids), t, threads, kOps);
      }
      for (auto& th : pool) th.join();
    });
    std::printf("store 90%% reads / 10%% inserts, %d thread(s): %.1f M ops/s\n", threads,
                threads * kOps / s / 1e6);
  }
  // Pure inserts into fresh machines (growth included) and pure lookups.
  const double insert_s = best_seconds(3, [&] {
    vrel::Machine machine;
    for (const auto& id : ids) {
      vrel::SharedValue previous =
          vrel::store_of(machine).insert(id, vrel::SharedValue::make(vrel::Value::integer(0)));
    }
  });
  std::printf("store insert into a new machine: %.1f ns/insert\n", insert_s / ids.size() * 1e9);
  vrel::Machine machine;
  for (const auto& id : ids) {
    vrel::SharedValue previous =
        vrel::store_of(machine).insert(id, vrel::SharedValue::make(vrel::Value::integer(0)));
  }
  const double get_s = best_seconds(3, [&] {
    for (int r = 0; r < 100; ++r) {
      for (const auto& id : ids) machine.get(id);
    }
  });
  std::printf("Machine::get: %.1f ns/lookup\n", get_s / (ids.size() * 100) * 1e9);
}

void bench_siphash() {
  const auto ids = identifiers(1'000);
  const vrel::HashKeys keys{0x0123456789abcdefULL, 0xfedcba9876543210ULL};
  std::uint64_t sink = 0;
  constexpr int kRounds = 2'000;
  const double s = best_seconds(3, [&] {
    for (int r = 0; r < kRounds; ++r) {
      for (const auto& id : ids) sink ^= vrel::hash_identifier(keys, id);
    }
  });
  std::printf("SipHash-1-3 of a short text identifier (~7 bytes): %.1f ns/hash\n",
              s / (ids.size() * kRounds) * 1e9);
  const double su = best_seconds(3, [&] {
    for (int r = 0; r < kRounds; ++r) {
      for (std::uint64_t i = 0; i < 1000; ++i) {
        sink ^= vrel::hash_identifier(keys, vrel::Identifier::u(i));
      }
    }
  });
  std::printf("SipHash-1-3 of a numeric identifier: %.1f ns/hash\n", su / (1000.0 * kRounds) * 1e9);
  if (sink == 42) std::puts("");
}

// "v<i>", built by appending: GCC 12 gives a false -Wrestrict for "v" + std::to_string(i)
// once inlined.
vrel::Identifier var_name(int i) {
  std::string name = "v";
  name += std::to_string(i);
  return vrel::Identifier::s(std::move(name));
}

// A 1,000-node tree: 500 leaves joined by 499 operators (+, -, *) into a balanced tree,
// plus the root's comparison; leaves alternate literals and variable reads.
vrel::Expr balanced(int leaves, int& counter) {
  if (leaves == 1) {
    const int k = counter++;
    if (k % 2 == 0) return vrel::Expr(vrel::Expr::Literal{vrel::Value::integer(k)});
    return vrel::Expr(vrel::Expr::Ident{var_name(k % 10)});
  }
  const int left = leaves / 2;
  vrel::Expr l = balanced(left, counter);
  vrel::Expr r = balanced(leaves - left, counter);
  static constexpr vrel::BinaryOperator kOps[] = {
      vrel::BinaryOperator::Add, vrel::BinaryOperator::Sub, vrel::BinaryOperator::Mul};
  return vrel::Expr::binary_op(std::move(l), kOps[counter % 3], std::move(r));
}

void bench_eval() {
  vrel::Machine machine;
  std::vector<vrel::Statement> init;
  for (int i = 0; i < 10; ++i) {
    init.emplace_back(vrel::Statement::Let{
        var_name(i), vrel::Expr(vrel::Expr::Literal{vrel::Value::integer(i)})});
  }
  vrel::deduce(machine, std::move(init));
  int counter = 0;
  const vrel::Expr tree = vrel::Expr::greater_than(
      balanced(500, counter), vrel::Expr(vrel::Expr::Literal{vrel::Value::integer(0)}));
  constexpr int kRuns = 2'000;
  std::vector<vrel::Expr> copies(kRuns, tree);
  std::size_t sink = 0;
  const double eval_s = best_seconds(1, [&] {
    for (auto& copy : copies) sink += vrel::deduce_expr(machine, std::move(copy))->as_boolean();
  });
  const double copy_s = best_seconds(3, [&] {
    for (int i = 0; i < 200; ++i) {
      vrel::Expr c = tree;
      sink += c.kind() == vrel::Expr::Kind::GreaterThan;
    }
  });
  std::printf("evaluate a 1,000-node arithmetic tree (consuming a prepared copy): %.1f us\n",
              eval_s / kRuns * 1e6);
  std::printf("copy the same tree: %.1f us\n", copy_s / 200 * 1e6);
  if (sink == 42) std::puts("");
}

// A tree of `leaves` variable reads (names v0..v9 in turn) joined by +, - and * into a
// balanced tree: 2 * leaves - 1 nodes.
vrel::Expr over_variables(int leaves, int& counter) {
  if (leaves == 1) return vrel::Expr(vrel::Expr::Ident{var_name(counter++ % 10)});
  const int left = leaves / 2;
  vrel::Expr l = over_variables(left, counter);
  vrel::Expr r = over_variables(leaves - left, counter);
  static constexpr vrel::BinaryOperator kOps[] = {
      vrel::BinaryOperator::Add, vrel::BinaryOperator::Sub, vrel::BinaryOperator::Mul};
  return vrel::Expr::binary_op(std::move(l), kOps[counter % 3], std::move(r));
}

// The same statement run again and again against one machine without consuming it, as a
// host does with a program it keeps: a 199-node arithmetic tree over 10 variables, its
// result bound to a variable. The figure is per node of the tree.
void bench_borrowed_eval() {
  vrel::Machine machine;
  std::vector<vrel::Statement> init;
  for (int i = 0; i < 10; ++i) {
    init.emplace_back(vrel::Statement::Let{
        var_name(i), vrel::Expr(vrel::Expr::Literal{vrel::Value::integer(i + 1)})});
  }
  vrel::deduce(machine, std::move(init));
  int counter = 0;
  constexpr int kLeaves = 100;
  const vrel::Statement statement(
      vrel::Statement::Let{vrel::Identifier::s("result"), over_variables(kLeaves, counter)});
  const vrel::Statement* program[] = {&statement};
  constexpr int kRuns = 20'000;
  const double s = best_seconds(5, [&] {
    for (int i = 0; i < kRuns; ++i) vrel::deduce_borrowed(machine, program);
  });
  std::printf("borrowed evaluation of a %d-node arithmetic tree over 10 variables: %.2f ns/node\n",
              2 * kLeaves - 1, s / kRuns / (2 * kLeaves - 1) * 1e9);
}

// A 100,000-element vector of ints made again and again, each replacing the previous one
// (as a host passing a list over and over does): element cells allocated one by one, then
// built in blocks by VectorBuilder. Each figure covers building one vector and releasing one.
void bench_vectors() {
  constexpr std::size_t kElements = 100'000;
  constexpr int kRounds = 50;
  vrel::SharedValue kept;
  const double single_s = best_seconds(3, [&] {
    for (int r = 0; r < kRounds; ++r) {
      vrel::Value::Vector items;
      items.reserve(kElements);
      for (std::size_t i = 0; i < kElements; ++i) {
        items.push_back(
            vrel::SharedValue::make(vrel::Value::integer(static_cast<std::int64_t>(i))));
      }
      kept = vrel::SharedValue::make(vrel::Value::vector(std::move(items)));
    }
  });
  kept = vrel::SharedValue();
  const double built_s = best_seconds(3, [&] {
    for (int r = 0; r < kRounds; ++r) {
      vrel::VectorBuilder items(kElements);
      for (std::size_t i = 0; i < kElements; ++i) {
        items.emplace(
            [i]() noexcept { return vrel::Value::integer(static_cast<std::int64_t>(i)); });
      }
      kept = vrel::SharedValue::make(items.finish());
    }
  });
  kept = vrel::SharedValue();
  std::printf("make and replace a 100,000-int vector, a cell per element: %.1f us\n",
              single_s / kRounds * 1e6);
  std::printf("make and replace a 100,000-int vector by VectorBuilder: %.1f us\n",
              built_s / kRounds * 1e6);
}

}  // namespace

// With arguments, runs only the groups named (siphash, store, eval, borrowed, vectors): for
// profiling one of them.
int main(int argc, char** argv) {
  std::printf("vrel core benchmarks (%u hardware threads)\n", std::thread::hardware_concurrency());
  const auto wanted = [&](std::string_view group) {
    if (argc < 2) return true;
    for (int i = 1; i < argc; ++i) {
      if (group == argv[i]) return true;
    }
    return false;
  };
  if (wanted("siphash")) bench_siphash();
  if (wanted("store")) bench_store();
  if (wanted("eval")) bench_eval();
  if (wanted("borrowed")) bench_borrowed_eval();
  if (wanted("vectors")) bench_vectors();
}
