// Vectors built by VectorBuilder: their cells share blocks, yet every element must behave as
// one allocated on its own: exact counts, release on any thread in any order, survivors that
// outlive the vector, abandoned builders, and release of deep structures with bounded stack.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <barrier>
#include <random>

#include "test_support.hpp"

namespace vrel_test {
namespace {

using vrel::ValueKind;
using vrel::VectorBuilder;

// Element i of the test vectors: a mix of values that own nothing (numbers, null) and values
// whose destruction is observable (functions through their counters, heap-allocated text
// through the sanitizers).
Value element(std::size_t i, const std::shared_ptr<FakeCounters>& c) {
  switch (i % 4) {
    case 0:
      return Value::integer(static_cast<std::int64_t>(i));
    case 1:
      return Value::string("element number " + std::to_string(i) + ", long enough for the heap");
    case 2:
      return Value::function(fake(c));
    default:
      return i % 8 == 3 ? Value::floating(static_cast<double>(i) + 0.5) : Value::null();
  }
}

bool is_element(const Value& v, std::size_t i) {
  switch (i % 4) {
    case 0:
      return v.kind() == ValueKind::Number &&
             v.as_number().as_int() == static_cast<std::int64_t>(i);
    case 1:
      return v.kind() == ValueKind::String &&
             v.as_string() == "element number " + std::to_string(i) + ", long enough for the heap";
    case 2:
      return v.kind() == ValueKind::Function;
    default:
      return i % 8 == 3 ? v.kind() == ValueKind::Number &&
                              v.as_number().as_float() == static_cast<double>(i) + 0.5
                        : v.kind() == ValueKind::Null;
  }
}

std::size_t functions_among(std::size_t n) { return (n + 1) / 4; }

// Appends elements [0, n): the numbers through emplace (in place), the rest through push.
void append(VectorBuilder& b, std::size_t n, const std::shared_ptr<FakeCounters>& c) {
  for (std::size_t i = 0; i < n; ++i) {
    if (i % 4 == 0) {
      b.emplace([i]() noexcept { return Value::integer(static_cast<std::int64_t>(i)); });
    } else {
      b.push(element(i, c));
    }
  }
}

SharedValue built_vector(std::size_t expected, std::size_t appended,
                         const std::shared_ptr<FakeCounters>& c) {
  VectorBuilder b(expected);
  append(b, appended, c);
  return shared(b.finish());
}

struct BuildCase {
  const char* name;
  std::size_t expected;
  std::size_t appended;
};

class VectorBuilderShapes : public testing::TestWithParam<BuildCase> {};

TEST_P(VectorBuilderShapes, FinishedVectorHoldsEachElementOnce) {
  auto c = counters();
  {
    SharedValue v = built_vector(GetParam().expected, GetParam().appended, c);
    const Value::Vector& items = v->as_vector();
    ASSERT_EQ(items.size(), GetParam().appended);
    for (std::size_t i = 0; i < items.size(); ++i) {
      ASSERT_TRUE(is_element(*items[i], i)) << i << ": " << items[i]->debug();
      ASSERT_EQ(items[i].use_count(), 1u) << i;
    }
    EXPECT_EQ(c->alive(), static_cast<int>(functions_among(items.size())));
  }
  EXPECT_EQ(c->alive(), 0);
}

TEST_P(VectorBuilderShapes, AbandonedBuilderReleasesWhatItMade) {
  auto c = counters();
  {
    VectorBuilder b(GetParam().expected);
    append(b, GetParam().appended, c);
    EXPECT_EQ(b.size(), GetParam().appended);
  }
  EXPECT_EQ(c->alive(), 0);
  EXPECT_EQ(c->created, static_cast<int>(functions_among(GetParam().appended)));
}

INSTANTIATE_TEST_SUITE_P(Sizes, VectorBuilderShapes,
                         testing::Values(BuildCase{"empty", 0, 0}, BuildCase{"unannounced", 0, 70},
                                         BuildCase{"one", 1, 1}, BuildCase{"three", 3, 3},
                                         BuildCase{"four", 4, 4}, BuildCase{"one_block", 64, 64},
                                         BuildCase{"two_blocks", 65, 65},
                                         BuildCase{"fewer_than_expected", 1000, 601},
                                         BuildCase{"none_of_many_expected", 5000, 0},
                                         BuildCase{"more_than_expected", 1000, 1300},
                                         BuildCase{"large", 100000, 100000}),
                         [](const testing::TestParamInfo<BuildCase>& i) {
                           return std::string(i.param.name);
                         });

TEST(VectorBuilder, CountsOfElementsStayExact) {
  auto c = counters();
  SharedValue v = built_vector(5000, 5000, c);
  const SharedValue& last = v->as_vector().back();  // the highest index its block has
  SharedValue a = last;
  SharedValue b = a;
  EXPECT_EQ(last.use_count(), 3u);
  b = SharedValue();
  EXPECT_EQ(a.use_count(), 2u);
  Value copy = *v;  // shares every element
  EXPECT_EQ(a.use_count(), 3u);
  EXPECT_EQ(v->as_vector()[0].use_count(), 2u);
}

TEST(VectorBuilder, SurvivingElementsOutliveTheirVector) {
  auto c = counters();
  std::vector<std::pair<std::size_t, SharedValue>> kept;
  {
    SharedValue v = built_vector(3000, 3000, c);
    for (std::size_t i : {0u, 1u, 2u, 63u, 64u, 1499u, 2998u, 2999u})
      kept.emplace_back(i, v->as_vector()[i]);
  }
  EXPECT_EQ(c->alive(), 2);  // elements 2 and 2998 are the functions kept
  for (auto& [i, value] : kept) {
    EXPECT_TRUE(is_element(*value, i)) << i << ": " << value->debug();
    EXPECT_EQ(value.use_count(), 1u);
  }
  // Released in an order unrelated to their positions; each block goes with its last cell.
  std::reverse(kept.begin() + 4, kept.end());
  while (!kept.empty()) kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(kept.size() / 2));
  EXPECT_EQ(c->alive(), 0);
}

// A vector that mixes elements of two built vectors (interleaved, out of order, some several
// times) with cells of their own, released after both vectors: the release loop meets block
// after block and cells whose count is not yet down to one.
TEST(VectorBuilder, MixedVectorReleasesEveryCellOnce) {
  auto c = counters();
  SharedValue a = built_vector(2000, 2000, c);
  SharedValue b = built_vector(700, 700, c);
  std::vector<SharedValue> mixed;
  for (std::size_t i = 0; i < 2000; ++i) {
    mixed.push_back(a->as_vector()[(i * 7) % 2000]);
    if (i < 700) mixed.push_back(b->as_vector()[699 - i]);
    if (i % 3 == 0) mixed.push_back(shared(element(i, c)));
    if (i % 5 == 0) mixed.push_back(a->as_vector()[i]);
  }
  const int made = c->created;
  a = SharedValue();
  b = SharedValue();
  EXPECT_EQ(c->alive(), made);  // every element is still referenced by `mixed`
  SharedValue whole = shared(vec_value(std::move(mixed)));
  whole = SharedValue();
  EXPECT_EQ(c->alive(), 0);
  EXPECT_EQ(c->destroyed, made);
}

// The handles to the elements of large vectors are spread over threads that drop them in
// different orders while the vectors themselves are dropped: every function element is
// destroyed exactly once, and (under ThreadSanitizer) no cell or block is touched after
// another thread freed it. Several rounds, so that freed blocks are also reused.
TEST(VectorBuilder, ElementsReleasedOnManyThreadsInAnyOrder) {
  constexpr std::size_t kElements = 20000;
  constexpr int kThreads = 4;
  auto c = counters();
  for (int round = 0; round < 4; ++round) {
    SharedValue v = built_vector(kElements, kElements, c);
    std::vector<std::vector<SharedValue>> parts(kThreads);
    std::mt19937 rng(static_cast<unsigned>(round));
    for (std::size_t i = 0; i < kElements; ++i) {
      parts[rng() % kThreads].push_back(v->as_vector()[i]);
      if (i % 10 == 0) parts[rng() % kThreads].push_back(v->as_vector()[i]);  // held twice
    }
    std::barrier start(kThreads + 1);
    std::vector<std::thread> pool;
    for (int t = 0; t < kThreads; ++t) {
      pool.emplace_back([&, t] {
        std::vector<SharedValue> mine = std::move(parts[t]);
        if (t % 2) std::reverse(mine.begin(), mine.end());
        if (t == 2) std::shuffle(mine.begin(), mine.end(), std::mt19937(7));
        start.arrive_and_wait();
        while (!mine.empty()) mine.pop_back();
      });
    }
    start.arrive_and_wait();
    v = SharedValue();
    for (auto& th : pool) th.join();
    EXPECT_EQ(c->alive(), 0) << "round " << round;
  }
  EXPECT_EQ(c->destroyed, c->created);
}

// Vectors of many lengths built while the previous one is still alive, as when a program
// passes lists again and again: blocks freed by one vector come back for another, possibly
// larger than needed, and must hold exactly the new elements.
TEST(VectorBuilder, ReusedBlocksHoldOnlyTheNewElements) {
  auto c = counters();
  SharedValue previous;
  for (std::size_t n : {100000u, 70000u, 100000u, 3000u, 40000u, 100000u, 65000u}) {
    SharedValue v = built_vector(n, n, c);
    const Value::Vector& items = v->as_vector();
    ASSERT_EQ(items.size(), n);
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_TRUE(is_element(*items[i], i)) << n << "/" << i;
      ASSERT_EQ(items[i].use_count(), 1u) << n << "/" << i;
    }
    previous = std::move(v);
  }
  previous = SharedValue();
  EXPECT_EQ(c->alive(), 0);
}

// [[[... [leaf, 1, 2, 3] ...], 1, 2, 3], 1, 2, 3]: every level's cells share a block.
// Released on a thread with a small stack, so that the flat release takes over.
TEST(VectorBuilder, DeeplyNestedBuiltVectorsReleaseWithBoundedStack) {
  constexpr int kLevels = 200000;
  auto c = counters();
  SharedValue v = shared(Value::function(fake(c)));
  for (int level = 0; level < kLevels; ++level) {
    VectorBuilder b(4);
    b.push(Value(*v));  // shares the level below
    for (int k = 1; k <= 3; ++k) b.emplace([k]() noexcept { return Value::integer(k); });
    v = shared(b.finish());
  }
  EXPECT_EQ(c->alive(), 1);
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 256 * 1024), 0);
  pthread_t th;
  auto release = [](void* p) -> void* {
    *static_cast<SharedValue*>(p) = SharedValue();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&th, &attr, release, &v), 0);
  pthread_join(th, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_FALSE(v);
  EXPECT_EQ(c->alive(), 0);
}

}  // namespace
}  // namespace vrel_test
