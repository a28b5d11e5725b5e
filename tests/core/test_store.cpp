// The machine and its concurrent variable store.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "test_support.hpp"
#include "variable_store.hpp"

namespace vrel_test {
namespace {

using vrel::HashKeys;
using vrel::VariableStore;

HashKeys fixed_keys() { return HashKeys{0x0706050403020100ull, 0x0f0e0d0c0b0a0908ull}; }

// ---- Machine ---------------------------------------------------------------------------

class GetUnbound : public testing::TestWithParam<std::pair<Identifier, const char*>> {};

TEST_P(GetUnbound, FailsThenMachineStaysUsable) {
  Machine m;
  const auto& [id, message] = GetParam();
  EXPECT_EQ(fatal_message([&] { m.get(id); }), message);
  vrel::deduce(m, block(let(id, lit(5))));
  EXPECT_EQ(debug_of(m.get(id)), "Number(Int(5))");
}

INSTANTIATE_TEST_SUITE_P(
    Store, GetUnbound,
    testing::Values(std::pair{S("x"), "Value cannot be found: S(\"x\")"},
                    std::pair{U(7), "Value cannot be found: U(7)"},
                    std::pair{S("a\"\n"), "Value cannot be found: S(\"a\\\"\\n\")"}));

TEST(Machine, NumericAndTextIdentifiersAreIndependent) {
  Machine m;
  vrel::deduce(m, block(let(U(7), lit(1)), let(S("7"), lit(2))));
  EXPECT_EQ(debug_of(m.get(U(7))), "Number(Int(1))");
  EXPECT_EQ(debug_of(m.get(S("7"))), "Number(Int(2))");
  vrel::deduce(m, block(let(S("7"), lit(3))));
  EXPECT_EQ(debug_of(m.get(U(7))), "Number(Int(1))");
}

TEST(Machine, ReferenceTakenBeforeRebindKeepsOldValueAlive) {
  auto c = counters();
  Machine m;
  vrel::deduce(m, block(fn("x", fake(c))));
  SharedValue old = m.get(S("x"));
  EXPECT_EQ(old.use_count(), 2u);
  vrel::deduce(m, block(let("x", lit(2))));
  EXPECT_EQ(c->destroyed, 0);
  EXPECT_EQ(old.use_count(), 1u);
  EXPECT_EQ(old->kind(), vrel::ValueKind::Function);
  EXPECT_EQ(debug_of(m.get(S("x"))), "Number(Int(2))");
  old = SharedValue();
  EXPECT_EQ(c->destroyed, 1);
}

TEST(Machine, DebugForms) {
  Machine m;
  EXPECT_EQ(m.debug(), "Machine { vars: {} }");
  vrel::deduce(m, block(let("x", lit(1)), let("x", lits("two"))));
  EXPECT_EQ(m.debug(), "Machine { vars: {S(\"x\"): String(\"two\")} }");
  vrel::deduce(m, block(let(U(3), lit_null())));
  std::string d = m.debug();
  EXPECT_TRUE(d == "Machine { vars: {S(\"x\"): String(\"two\"), U(3): Null} }" ||
              d == "Machine { vars: {U(3): Null, S(\"x\"): String(\"two\")} }")
      << d;
}

// ---- VariableStore ---------------------------------------------------------------------

TEST(VariableStore, InsertReturnsPreviousReference) {
  VariableStore store(4, fixed_keys());
  SharedValue one = shared(Value::integer(1));
  SharedValue two = shared(Value::integer(2));
  EXPECT_FALSE(store.lookup(S("a")));
  EXPECT_FALSE(store.insert(S("a"), one));
  SharedValue prev = store.insert(S("a"), two);
  EXPECT_TRUE(prev.same_as(one));
  EXPECT_EQ(one.use_count(), 2u);  // this handle and the returned one; the table let go
  EXPECT_TRUE(store.lookup(S("a")).same_as(two));
  EXPECT_EQ(two.use_count(), 2u);
  EXPECT_FALSE(store.lookup(U(0)));
  std::string entries;
  store.debug_entries(entries);
  EXPECT_EQ(entries, "S(\"a\"): Number(Int(2))");
}

TEST(VariableStore, ManyIdentifiersAllRetrievable) {
  VariableStore store(8, fixed_keys());
  constexpr std::int64_t kU = 100000, kS = 20000;
  for (std::int64_t i = 0; i < kU; ++i) {
    ASSERT_FALSE(store.insert(U(static_cast<std::uint64_t>(i)), shared(Value::integer(i))));
  }
  for (std::int64_t i = 0; i < kS; ++i) {
    ASSERT_FALSE(store.insert(S(std::to_string(i)), shared(Value::integer(-i))));
  }
  for (std::int64_t i = 0; i < kU; ++i) {
    SharedValue v = store.lookup(U(static_cast<std::uint64_t>(i)));
    ASSERT_TRUE(v) << i;
    ASSERT_EQ(v->as_number().as_int(), i);
  }
  for (std::int64_t i = 0; i < kS; ++i) {
    SharedValue v = store.lookup(S(std::to_string(i)));
    ASSERT_TRUE(v) << i;
    ASSERT_EQ(v->as_number().as_int(), -i);
  }
  EXPECT_FALSE(store.lookup(U(kU)));
  EXPECT_FALSE(store.lookup(S(std::to_string(kS))));
  // Rebinding after growth still finds the one entry.
  EXPECT_TRUE(store.insert(U(12345), shared(Value::null())));
  std::string entries;
  store.debug_entries(entries);
  std::size_t count = 0;
  for (std::size_t p = 0; (p = entries.find(": ", p)) != std::string::npos; p += 2) ++count;
  EXPECT_EQ(count, static_cast<std::size_t>(kU + kS));
}

TEST(VariableStore, ShardIndexUsesBitsAfterTheTopSeven) {
  for (std::size_t n : {2u, 4u, 8u, 64u, 1024u}) {
    VariableStore store(n, fixed_keys());
    unsigned bits = 0;
    while ((std::size_t{1} << bits) < n) ++bits;
    EXPECT_EQ(store.shard_index(0xFE00000000000000ull), 0u) << n;  // top 7 bits ignored
    EXPECT_EQ(store.shard_index(std::uint64_t{1} << 56), n / 2) << n;
    EXPECT_EQ(store.shard_index(~std::uint64_t{0}), n - 1) << n;
    EXPECT_EQ(store.shard_index((std::uint64_t{1} << (57 - bits)) - 1), 0u) << n;
    EXPECT_EQ(store.shard_index(std::uint64_t{1} << (57 - bits)), 1u) << n;
    std::uint64_t h = 0x9E3779B97F4A7C15ull;
    for (int i = 0; i < 100; ++i, h = h * 6364136223846793005ull + 1442695040888963407ull) {
      ASSERT_EQ(store.shard_index(h), (h >> (57 - bits)) & (n - 1)) << n << " " << h;
    }
  }
}

TEST(VariableStore, ShardAmountAssertions) {
  EXPECT_EQ(fatal_message([] { VariableStore s(0, fixed_keys()); }), "assertion failed: shard_amount > 1");
  EXPECT_EQ(fatal_message([] { VariableStore s(1, fixed_keys()); }), "assertion failed: shard_amount > 1");
  EXPECT_EQ(fatal_message([] { VariableStore s(1); }), "assertion failed: shard_amount > 1");
  EXPECT_EQ(fatal_message([] { VariableStore s(3, fixed_keys()); }),
            "assertion failed: shard_amount.is_power_of_two()");
  EXPECT_EQ(fatal_message([] { VariableStore s(6); }), "assertion failed: shard_amount.is_power_of_two()");
  VariableStore two(2, fixed_keys());
  EXPECT_EQ(two.shard_amount(), 2u);
}

// ---- hashing ----------------------------------------------------------------------------

// Straightforward SipHash-c-d over a byte string, as a reference.
std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }
std::uint64_t siphash_ref(int c, int d, HashKeys k, const std::string& msg) {
  std::uint64_t v0 = k.k0 ^ 0x736f6d6570736575ull, v1 = k.k1 ^ 0x646f72616e646f6dull;
  std::uint64_t v2 = k.k0 ^ 0x6c7967656e657261ull, v3 = k.k1 ^ 0x7465646279746573ull;
  auto round = [&] {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  };
  auto block = [&](std::uint64_t m) {
    v3 ^= m;
    for (int i = 0; i < c; ++i) round();
    v0 ^= m;
  };
  std::size_t full = msg.size() / 8 * 8;
  for (std::size_t i = 0; i < full; i += 8) {
    std::uint64_t m = 0;
    for (int j = 7; j >= 0; --j) m = (m << 8) | static_cast<unsigned char>(msg[i + j]);
    block(m);
  }
  std::uint64_t last = static_cast<std::uint64_t>(msg.size() & 0xff) << 56;
  for (std::size_t j = 0; j < msg.size() - full; ++j) {
    last |= static_cast<std::uint64_t>(static_cast<unsigned char>(msg[full + j])) << (8 * j);
  }
  block(last);
  v2 ^= 0xff;
  for (int i = 0; i < d; ++i) round();
  return v0 ^ v1 ^ v2 ^ v3;
}

std::string le64(std::uint64_t x) {
  std::string s(8, '\0');
  for (int i = 0; i < 8; ++i) s[i] = static_cast<char>(x >> (8 * i));
  return s;
}

TEST(HashIdentifier, MatchesSipHash13OverTheDocumentedBytes) {
  std::string paper_msg;
  for (int i = 0; i < 15; ++i) paper_msg += static_cast<char>(i);
  ASSERT_EQ(siphash_ref(2, 4, fixed_keys(), paper_msg), 0xa129ca6149be45e5ull);  // self-check

  HashKeys k = fixed_keys();
  EXPECT_EQ(vrel::hash_identifier(k, U(0x1122334455667788ull)),
            siphash_ref(1, 3, k, le64(0) + le64(0x1122334455667788ull)));
  EXPECT_EQ(vrel::hash_identifier(k, S("")), siphash_ref(1, 3, k, le64(1) + "\xff"));
  EXPECT_EQ(vrel::hash_identifier(k, S("x")), siphash_ref(1, 3, k, le64(1) + "x\xff"));
  std::string seven = "1234567";  // with the index and terminator: exactly 16 bytes
  EXPECT_EQ(vrel::hash_identifier(k, S(seven)), siphash_ref(1, 3, k, le64(1) + seven + "\xff"));
  HashKeys other{0xdeadbeefull, 0x12345ull};
  EXPECT_EQ(vrel::hash_identifier(other, S("caf\xc3\xa9 long name")),
            siphash_ref(1, 3, other, le64(1) + "caf\xc3\xa9 long name\xff"));
}

TEST(HashIdentifier, EqualityAndDistinctness) {
  HashKeys k = fixed_keys();
  EXPECT_EQ(vrel::hash_identifier(k, S(std::string("abc"))), vrel::hash_identifier(k, S("ab" + std::string("c"))));
  EXPECT_EQ(vrel::hash_identifier(k, U(42)), vrel::hash_identifier(k, U(42)));
  EXPECT_NE(vrel::hash_identifier(k, U(1)), vrel::hash_identifier(k, S("1")));
  EXPECT_NE(vrel::hash_identifier(k, U(1)), vrel::hash_identifier(k, U(2)));
  EXPECT_NE(vrel::hash_identifier(k, S("a")), vrel::hash_identifier(k, S("a\xff")));
  HashKeys k2{k.k0 + 1, k.k1};
  EXPECT_NE(vrel::hash_identifier(k, S("x")), vrel::hash_identifier(k2, S("x")));
}

TEST(HashKeys, PerThreadSequence) {
  HashKeys a = vrel::next_hash_keys();
  HashKeys b = vrel::next_hash_keys();
  EXPECT_EQ(b.k0, a.k0 + 1);
  EXPECT_EQ(b.k1, a.k1);
  { Machine m; }  // a new map takes the next pair
  VariableStore s(4);
  EXPECT_EQ(s.keys().k0, a.k0 + 3);
  EXPECT_EQ(s.keys().k1, a.k1);
  HashKeys c = vrel::next_hash_keys();
  EXPECT_EQ(c.k0, a.k0 + 4);

  HashKeys t1{}, t2{};
  std::thread([&] {
    t1 = vrel::next_hash_keys();
    t2 = vrel::next_hash_keys();
  }).join();
  EXPECT_EQ(t2.k0, t1.k0 + 1);
  EXPECT_EQ(t2.k1, t1.k1);
  EXPECT_NE(t1.k1, a.k1) << "another thread reuses this thread's keys";
}

// ---- concurrency --------------------------------------------------------------------------

// Writers rebind a shared variable and their own variables while every thread reads all of
// them. Values encode (writer, iteration) inside a vector, so a torn or freed value shows up.
TEST(MachineConcurrency, ReadsSeeOnlyWrittenValues) {
  constexpr int kThreads = 4, kIters = 20000, kOwnIds = 3000;
  Machine m;
  auto code = [](int writer, int iter) { return std::int64_t{writer} * 1000000 + iter; };
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<int> last_seen(kThreads, -1);
      for (int i = 0; i < kIters; ++i) {
        vrel::deduce(m, block(let("shared", lit(vec_value({shared(Value::integer(code(t, i)))}))),
                              let("own" + std::to_string(t),
                                  lit(vec_value({shared(Value::integer(code(t, i)))})))));
        if (i < kOwnIds) {
          vrel::deduce(m, block(let(U(std::uint64_t(t) * 1000000 + i), lit(code(t, i)))));
        }
        for (int w = 0; w < kThreads; ++w) {
          SharedValue v = m.store().lookup(S("own" + std::to_string(w)));
          if (!v) continue;
          std::int64_t x = v->as_vector().at(0)->as_number().as_int();
          int writer = static_cast<int>(x / 1000000), iter = static_cast<int>(x % 1000000);
          if (writer != w || iter >= kIters || iter < last_seen[w] || (w == t && iter != i)) ++bad;
          last_seen[w] = iter;
        }
        std::int64_t x = m.get(S("shared"))->as_vector().at(0)->as_number().as_int();
        if (x < 0 || x / 1000000 >= kThreads || x % 1000000 >= kIters) ++bad;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad, 0);
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(m.get(S("own" + std::to_string(t)))->as_vector().at(0)->as_number().as_int(),
              code(t, kIters - 1));
    for (int i = 0; i < kOwnIds; ++i) {
      SharedValue v = m.store().lookup(U(std::uint64_t(t) * 1000000 + i));
      ASSERT_TRUE(v) << t << " " << i;
      ASSERT_EQ(v->as_number().as_int(), code(t, i));
    }
  }
  std::int64_t last = m.get(S("shared"))->as_vector().at(0)->as_number().as_int();
  EXPECT_EQ(last % 1000000, kIters - 1);
  // Only this test's handles remain: every replaced value was released exactly once.
  SharedValue s = m.get(S("shared"));
  EXPECT_EQ(s.use_count(), 2u);
  EXPECT_EQ(s->as_vector()[0].use_count(), 1u);
}

}  // namespace
}  // namespace vrel_test
