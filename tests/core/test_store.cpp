// The machine and its concurrent variable store.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "siphash.hpp"
#include "test_support.hpp"
#include "variable_store.hpp"
#include "vrel/detail/machine_baseline.hpp"

namespace vrel_test {
namespace {

using vrel::HashKeys;
using vrel::VariableStore;

HashKeys fixed_keys() { return HashKeys{0x0706050403020100ull, 0x0f0e0d0c0b0a0908ull}; }

class GetUnbound : public testing::TestWithParam<std::pair<Identifier, const char*>> {};

TEST_P(GetUnbound, FailsThenMachineStaysUsable) {
  Machine m;
  const auto& [id, message] = GetParam();
  EXPECT_EQ(fatal_message([&] { m.get(id); }), message);
  vrel::deduce(m, block(let(id, lit(5))));
  EXPECT_EQ(debug_of(m.get(id)), "Number(Int(5))");
}

INSTANTIATE_TEST_SUITE_P(Store, GetUnbound,
                         testing::Values(std::pair{S("x"), "Value cannot be found: S(\"x\")"},
                                         std::pair{U(7), "Value cannot be found: U(7)"},
                                         std::pair{S("a\"\n"),
                                                   "Value cannot be found: S(\"a\\\"\\n\")"}));

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

// The mapping operations agree with what let statements and get see: bind replaces,
// find misses without failing, size and identifiers list each variable once, in the
// order of the debug form.
TEST(Machine, BindFindSizeAndIdentifiersAgreeWithLet) {
  Machine m;
  EXPECT_FALSE(m.find(S("a")));
  EXPECT_EQ(m.size(), 0u);
  EXPECT_TRUE(m.identifiers().empty());
  m.bind(S("a"), SharedValue::make(vrel::Value::integer(1)));
  vrel::deduce(m, block(let(U(9), lit(2)), let("a", lit(3))));
  m.bind(U(9), SharedValue::make(vrel::Value::integer(4)));
  EXPECT_EQ(debug_of(m.get(S("a"))), "Number(Int(3))");
  EXPECT_EQ(debug_of(m.find(U(9))), "Number(Int(4))");
  EXPECT_EQ(m.size(), 2u);
  std::string listed = "Machine { vars: {";
  bool first = true;
  for (const Identifier& id : m.identifiers()) {
    if (!first) listed += ", ";
    first = false;
    listed += id.debug() + ": " + debug_of(m.get(id));
  }
  EXPECT_EQ(listed + "} }", m.debug());
}

// Binding over a function value releases the old one, once.
// A place stays the variable's across rebinds of any kind, by name or by place, and across
// the growth of the tables; reads through it see what a read by name sees.
TEST(Machine, PlacesFollowTheirVariable) {
  Machine m;
  EXPECT_FALSE(m.place(S("x")));
  const Machine::Place x = m.bind_place(S("x"), Value::integer(1));
  ASSERT_TRUE(x);
  const auto seen = [&](Machine::Place p) {
    Value scratch;
    SharedValue held;
    return m.read(p, scratch, held).debug();
  };
  for (int i = 0; i < 5000; ++i)
    m.bind(U(static_cast<std::uint64_t>(i)), shared(Value::integer(i)));
  EXPECT_EQ(seen(x), "Number(Int(1))");
  m.bind(S("x"), shared(Value::string("by name")));
  EXPECT_EQ(seen(m.place(S("x"))), "String(\"by name\")");
  EXPECT_EQ(seen(x), "String(\"by name\")");
  m.bind(x, Value::boolean(true));
  EXPECT_EQ(debug_of(m.get(S("x"))), "Boolean(true)");
  m.bind(x, Value::floating(2.5));
  EXPECT_EQ(debug_of(m.get(S("x"))), "Number(Float(2.5))");
  EXPECT_EQ(m.size(), 5001u);
}

#if defined(VREL_CHECKED) && VREL_CHECKED
// A place is only good for the machine that made it: in checked builds, using another
// machine's place (even one of a variable of the same name) stops at the broken precondition.
TEST(MachineDeathTest, PlaceOfAnotherMachineIsRefused) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Machine a;
  Machine b;
  const Machine::Place x = a.bind_place(S("x"), Value::integer(1));
  b.bind(S("x"), shared(Value::integer(2)));
  Value scratch;
  SharedValue held;
  EXPECT_DEATH(b.read(x, scratch, held), "precondition failed");
  EXPECT_DEATH(b.bind(x, Value::integer(3)), "precondition failed");
  EXPECT_DEATH(static_cast<void>(b.bound(x)), "precondition failed");
  EXPECT_TRUE(a.bound(x));
  // A place outlives its variable's removal and stays the machine's own.
  ASSERT_TRUE(a.unbind(S("x")));
  EXPECT_FALSE(a.bound(x));
  a.bind(x, Value::integer(4));
  EXPECT_EQ(debug_of(a.get(S("x"))), "Number(Int(4))");
}
#endif

// Reset puts back the marked state: values bound since disappear (also through a kept
// statement that remembers the cell), rebound and removed ones come back, and the value a
// round bound is released. Rounds repeat without drift.
TEST(Machine, ResetReturnsToTheMarkedState) {
  auto c = counters();
  Machine m;
  vrel::deduce(m, block(let("k", lit(1)), let("t", lits("kept")), let("gone", lit(0))));
  ASSERT_TRUE(m.unbind(S("gone")));
  vrel::detail::mark_baseline(m);
  const std::vector<Statement> round =
      block(let("x", ident("k")), let("k", lits("changed")), fn("f", fake(c)));
  std::vector<const Statement*> borrowed;
  for (const Statement& s : round) borrowed.push_back(&s);
  const std::vector<Statement> read_x = block(let("y", ident("x")));
  for (int i = 0; i < 3; ++i) {
    vrel::deduce_borrowed(m, borrowed);
    m.bind(S("gone"), SharedValue::make(Value::integer(i)));
    EXPECT_TRUE(m.unbind(S("t")));
    EXPECT_EQ(m.size(), 4u);
    vrel::detail::reset_to_baseline(m);
    EXPECT_EQ(c->destroyed, i + 1);
    EXPECT_EQ(m.size(), 2u);
    EXPECT_EQ(debug_of(m.get(S("k"))), "Number(Int(1))");
    EXPECT_EQ(debug_of(m.get(S("t"))), "String(\"kept\")");
    EXPECT_FALSE(m.find(S("gone")));
    EXPECT_EQ(fatal_message([&] { vrel::deduce(m, read_x); }), "Value cannot be found: S(\"x\")");
  }
}

TEST(Machine, BindReleasesThePreviousValue) {
  auto c = counters();
  Machine m;
  vrel::deduce(m, block(fn("f", fake(c))));
  m.bind(S("f"), SharedValue::make(vrel::Value::null()));
  EXPECT_EQ(c->destroyed, 1);
  EXPECT_EQ(m.size(), 1u);
}

TEST(VariableStore, InsertReturnsPreviousReference) {
  VariableStore store(4, fixed_keys());
  SharedValue one = shared(Value::string("1"));
  SharedValue two = shared(Value::string("2"));
  EXPECT_FALSE(store.lookup(S("a")));
  EXPECT_FALSE(store.insert(S("a"), one));
  SharedValue prev = store.insert(S("a"), two);
  EXPECT_TRUE(prev.same_as(one));
  EXPECT_EQ(one.use_count(), 2u);  // this handle and the returned one; the table let go
  EXPECT_TRUE(store.lookup(S("a")).same_as(two));
  EXPECT_EQ(two.use_count(), 2u);
  EXPECT_FALSE(store.lookup(U(0)));
  // A number is held inline: replacing it hands back no reference, and replacing a reference
  // by a number hands that reference back.
  EXPECT_TRUE(store.insert(S("a"), shared(Value::integer(2))).same_as(two));
  EXPECT_EQ(two.use_count(), 1u);
  EXPECT_FALSE(store.insert(S("a"), shared(Value::integer(3))));
  std::string entries;
  store.debug_entries(entries);
  EXPECT_EQ(entries, "S(\"a\"): Number(Int(3))");
}

TEST(VariableStore, ManyIdentifiersAllRetrievable) {
  VariableStore store(8, fixed_keys());
  constexpr std::int64_t kU = 100000, kS = 20000;
  auto key = [](std::int64_t i) {
    return i < kU ? U(std::uint64_t(i)) : S(std::to_string(i - kU));
  };
  for (std::int64_t i = 0; i < kU + kS; ++i)
    ASSERT_FALSE(store.insert(key(i), shared(Value::integer(i))));
  for (std::int64_t i = 0; i < kU + kS; ++i) {
    SharedValue v = store.lookup(key(i));
    ASSERT_TRUE(v) << i;
    ASSERT_EQ(v->as_number().as_int(), i);
  }
  EXPECT_FALSE(store.lookup(U(kU)));
  EXPECT_FALSE(store.lookup(S(std::to_string(kS))));
  // Rebinding after growth still finds the one entry.
  EXPECT_FALSE(store.insert(U(12345), shared(Value::null())));  // the number was held inline
  EXPECT_TRUE(store.insert(U(12345), shared(Value::integer(12345))));
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
  const std::string one = "assertion failed: shard_amount > 1",
                    pow2 = "assertion failed: shard_amount.is_power_of_two()";
  EXPECT_EQ(fatal_message([] { VariableStore s(0, fixed_keys()); }), one);
  EXPECT_EQ(fatal_message([] { VariableStore s(1); }), one);
  EXPECT_EQ(fatal_message([] { VariableStore s(3, fixed_keys()); }), pow2);
  EXPECT_EQ(fatal_message([] { VariableStore s(6); }), pow2);
  EXPECT_EQ(VariableStore(2, fixed_keys()).shard_amount(), 2u);
}

// SipHash-1-3 (checked against published vectors in test_siphash.cpp) over the bytes that
// identify an identifier: its variant index as 8 little-endian bytes, then its payload.
std::uint64_t sip13(HashKeys k, const std::string& msg) {
  vrel::SipHasher13 h(k.k0, k.k1);
  h.write(reinterpret_cast<const unsigned char*>(msg.data()), msg.size());
  return h.finish();
}
std::string le64(std::uint64_t x) {
  std::string s(8, '\0');
  for (int i = 0; i < 8; ++i) s[i] = static_cast<char>(x >> (8 * i));
  return s;
}

TEST(HashIdentifier, IsSipHash13OverIndexAndPayload) {
  HashKeys k = fixed_keys(), other{0xdeadbeefull, 0x12345ull};
  auto h = [](HashKeys keys, const Identifier& id) { return vrel::hash_identifier(keys, id); };
  EXPECT_EQ(h(k, U(0x1122334455667788ull)), sip13(k, le64(0) + le64(0x1122334455667788ull)));
  EXPECT_EQ(h(k, S("")), sip13(k, le64(1) + "\xff"));
  EXPECT_EQ(h(k, S("1234567")), sip13(k, le64(1) + "1234567\xff"));  // exactly 16 bytes
  EXPECT_EQ(h(other, S("caf\xc3\xa9 long name")),
            sip13(other, le64(1) + "caf\xc3\xa9 long name\xff"));
  EXPECT_NE(h(k, U(1)), h(k, S("1")));
  EXPECT_NE(h(k, S("a")), h(k, S("a\xff")));
  EXPECT_NE(h(k, S("x")), h(HashKeys{k.k0 + 1, k.k1}, S("x")));
}

// Every length of text up to several words, so that every tail length (and a terminator
// completing a word) is met.
TEST(HashIdentifier, TextOfEveryLengthMatchesTheStreamingHasher) {
  const HashKeys k = fixed_keys();
  std::string text;
  for (int n = 0; n <= 40; ++n) {
    EXPECT_EQ(vrel::hash_identifier(k, S(text)), sip13(k, le64(1) + text + "\xff")) << n;
    text += static_cast<char>('a' + n % 26);
  }
}

// Texts of every length up to three words, equal and differing in each single byte.
TEST(SameIdentifier, ComparesEveryByteOfEveryLength) {
  for (std::size_t n = 0; n <= 24; ++n) {
    std::string text(n, 'k');
    for (std::size_t i = 0; i < n; ++i) text[i] = static_cast<char>('a' + i);
    EXPECT_TRUE(vrel::same_identifier(S(text), S(text))) << n;
    EXPECT_FALSE(vrel::same_identifier(S(text), S(text + "x"))) << n;
    for (std::size_t i = 0; i < n; ++i) {
      std::string other = text;
      other[i] = static_cast<char>(other[i] ^ 0x40);
      EXPECT_FALSE(vrel::same_identifier(S(text), S(other))) << n << " at " << i;
    }
  }
  EXPECT_TRUE(vrel::same_identifier(U(7), U(7)));
  EXPECT_FALSE(vrel::same_identifier(U(7), U(8)));
  EXPECT_FALSE(vrel::same_identifier(U(7), S("7")));
  EXPECT_FALSE(vrel::same_identifier(S(std::string(8, '\0')), U(0)));
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
  std::thread([&] { t1 = vrel::next_hash_keys(), t2 = vrel::next_hash_keys(); }).join();
  EXPECT_EQ(t2.k0, t1.k0 + 1);
  EXPECT_EQ(t2.k1, t1.k1);
  EXPECT_NE(t1.k1, a.k1) << "another thread reuses this thread's keys";
}

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
          SharedValue v = vrel::store_of(m).lookup(S("own" + std::to_string(w)));
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
      SharedValue v = vrel::store_of(m).lookup(U(std::uint64_t(t) * 1000000 + i));
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
