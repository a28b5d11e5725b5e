// Tests of RawRwLock: who waits for whom, wake-ups after release, exclusion under load.
#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "rw_lock.hpp"
#include "vrel/fatal.hpp"

namespace vrel {

// The lock befriends this name so that tests can reach states no real program can, such
// as 2^29 - 1 readers.
struct RawRwLockTestAccess {
  static std::uint32_t state(const RawRwLock& lock) { return lock.state_.load(); }
  static void set_state(RawRwLock& lock, std::uint32_t s) { lock.state_.store(s); }
  static constexpr std::uint32_t kWritersParked = RawRwLock::kWritersParked;
  static constexpr std::uint32_t kReadersParked = RawRwLock::kReadersParked;
  static constexpr std::uint32_t kWriterLocked = RawRwLock::kWriterLocked;
  static constexpr std::uint32_t kOneReader = RawRwLock::kOneReader;
  static constexpr std::uint32_t kReaderMask = RawRwLock::kReaderMask;
};

namespace {

using namespace std::chrono_literals;
using Access = RawRwLockTestAccess;

constexpr auto kSettle = 50ms;

bool eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Joins threads that should all finish; a lost wake-up aborts instead of hanging the suite.
void join_all(std::vector<std::thread>& threads, const std::atomic<int>& finished) {
  if (!eventually([&] { return finished.load() == static_cast<int>(threads.size()); })) {
    std::fprintf(stderr, "%d of %zu threads still waiting for the lock: lost wake-up\n",
                 static_cast<int>(threads.size()) - finished.load(), threads.size());
    std::abort();
  }
  for (auto& t : threads) t.join();
  threads.clear();
}

TEST(RawRwLock, WriterWaitsForReaderThenEnters) {
  RawRwLock lock;
  lock.lock_shared();
  std::atomic<int> entered{0};
  std::vector<std::thread> writer;
  writer.emplace_back([&] {
    lock.lock_exclusive();
    ++entered;
    lock.unlock_exclusive();
  });
  std::this_thread::sleep_for(kSettle);
  EXPECT_EQ(entered, 0);
  lock.unlock_shared();
  join_all(writer, entered);
  EXPECT_TRUE(lock.try_lock_exclusive());
  lock.unlock_exclusive();
}

struct Holders {
  std::atomic<int> inside{0};
  std::atomic<int> finished{0};
  std::atomic<bool> release{false};
  std::vector<std::thread> threads;

  void start(RawRwLock& lock, int n, bool exclusive) {
    for (int i = 0; i < n; ++i) {
      threads.emplace_back([this, &lock, exclusive] {
        exclusive ? lock.lock_exclusive() : lock.lock_shared();
        ++inside;
        while (!release) std::this_thread::sleep_for(1ms);
        --inside;
        exclusive ? lock.unlock_exclusive() : lock.unlock_shared();
        ++finished;
      });
    }
  }
  void finish() {
    release = true;
    join_all(threads, finished);
  }
};

TEST(RawRwLock, SleepingReadersAreAllAdmittedWhenTheWriterLeaves) {
  RawRwLock lock;
  lock.lock_exclusive();
  Holders readers;
  readers.start(lock, 4, /*exclusive=*/false);
  std::this_thread::sleep_for(kSettle);
  EXPECT_EQ(readers.inside, 0);
  lock.unlock_exclusive();
  EXPECT_TRUE(eventually([&] { return readers.inside == 4; }));
  EXPECT_FALSE(lock.try_lock_exclusive());
  readers.finish();
  EXPECT_TRUE(lock.try_lock_exclusive());
  lock.unlock_exclusive();
}

TEST(RawRwLock, ReaderEntersWhileAWriterWaitsBehindAnotherReader) {
  RawRwLock lock;
  lock.lock_shared();
  Holders writer;
  writer.start(lock, 1, /*exclusive=*/true);
  std::this_thread::sleep_for(kSettle);
  ASSERT_EQ(writer.inside, 0);

  Holders reader;
  reader.start(lock, 1, /*exclusive=*/false);
  EXPECT_TRUE(eventually([&] { return reader.inside == 1; }));
  EXPECT_TRUE(lock.try_lock_shared());
  lock.unlock_shared();
  EXPECT_FALSE(lock.try_lock_exclusive());

  reader.finish();
  std::this_thread::sleep_for(kSettle);
  EXPECT_EQ(writer.inside, 0);
  lock.unlock_shared();
  EXPECT_TRUE(eventually([&] { return writer.inside == 1; }));
  EXPECT_FALSE(lock.try_lock_shared());
  writer.finish();
}

TEST(RawRwLock, WritersReleasePreferSleepingReadersThenServeEveryWriter) {
  RawRwLock lock;
  lock.lock_exclusive();
  Holders writers;
  writers.start(lock, 3, /*exclusive=*/true);
  Holders readers;
  readers.start(lock, 3, /*exclusive=*/false);
  std::this_thread::sleep_for(kSettle);
  EXPECT_EQ(writers.inside + readers.inside, 0);

  lock.unlock_exclusive();
  EXPECT_TRUE(eventually([&] { return readers.inside == 3; }));
  std::this_thread::sleep_for(kSettle);
  EXPECT_EQ(writers.inside, 0);
  readers.finish();

  writers.finish();
  EXPECT_TRUE(lock.try_lock_exclusive());
  lock.unlock_exclusive();
}

TEST(RawRwLock, WritersQueuedBehindAWriterAllGetIn) {
  RawRwLock lock;
  int entries = 0;  // guarded by the lock
  std::atomic<int> finished{0};
  lock.lock_exclusive();
  std::vector<std::thread> writers;
  for (int i = 0; i < 4; ++i) {
    writers.emplace_back([&] {
      {
        ExclusiveLockGuard guard(lock);
        ++entries;
        std::this_thread::sleep_for(5ms);
      }
      ++finished;
    });
  }
  std::this_thread::sleep_for(kSettle);
  lock.unlock_exclusive();
  join_all(writers, finished);
  SharedLockGuard guard(lock);
  EXPECT_EQ(entries, 4);
}

TEST(RawRwLock, TryLockAdmitsExactlyWhenTheLockWouldNotWait) {
  struct Case {
    const char* name;
    std::function<void(RawRwLock&)> enter, leave;
    bool shared_ok, exclusive_ok;
  };
  const Case cases[] = {
      {"unlocked", [](RawRwLock&) {}, [](RawRwLock&) {}, true, true},
      {"one reader", [](RawRwLock& l) { l.lock_shared(); }, [](RawRwLock& l) { l.unlock_shared(); },
       true, false},
      {"two readers",
       [](RawRwLock& l) {
         l.lock_shared();
         l.lock_shared();
       },
       [](RawRwLock& l) {
         l.unlock_shared();
         l.unlock_shared();
       },
       true, false},
      {"writer", [](RawRwLock& l) { l.lock_exclusive(); },
       [](RawRwLock& l) { l.unlock_exclusive(); }, false, false},
      // A parked bit left over without a holder must not keep anyone out.
      {"writers parked, no holder",
       [](RawRwLock& l) { Access::set_state(l, Access::kWritersParked); },
       [](RawRwLock& l) { Access::set_state(l, 0); }, true, true},
      {"writers parked, one reader",
       [](RawRwLock& l) { Access::set_state(l, Access::kWritersParked | Access::kOneReader); },
       [](RawRwLock& l) { Access::set_state(l, 0); }, true, false},
      {"readers parked behind a writer",
       [](RawRwLock& l) { Access::set_state(l, Access::kReadersParked | Access::kWriterLocked); },
       [](RawRwLock& l) { Access::set_state(l, 0); }, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawRwLock lock;
    c.enter(lock);
    const std::uint32_t before = Access::state(lock);
    const bool shared = lock.try_lock_shared();
    EXPECT_EQ(shared, c.shared_ok);
    if (shared) lock.unlock_shared();
    // Apart from this: the last reader out hands over to a (here imaginary) sleeping writer
    // by clearing its parked bit.
    EXPECT_EQ(Access::state(lock) & ~Access::kWritersParked, before & ~Access::kWritersParked)
        << "a shared attempt left a trace";
    const bool exclusive = lock.try_lock_exclusive();
    EXPECT_EQ(exclusive, c.exclusive_ok);
    if (exclusive) {
      EXPECT_FALSE(lock.try_lock_shared());
      EXPECT_FALSE(lock.try_lock_exclusive());
      lock.unlock_exclusive();
    }
    c.leave(lock);
    EXPECT_EQ(Access::state(lock), 0u);
  }
}

TEST(RawRwLock, BlockingLockEntersFreeLockDespiteParkedBits) {
  RawRwLock lock;
  Access::set_state(lock, Access::kWritersParked);
  lock.lock_exclusive();
  EXPECT_FALSE(lock.try_lock_shared());
  lock.unlock_exclusive();
  EXPECT_EQ(Access::state(lock), 0u) << "the release clears the bit it wakes for";
  Access::set_state(lock, Access::kWritersParked);
  lock.lock_shared();
  lock.unlock_shared();
  EXPECT_EQ(Access::state(lock), 0u);
}

TEST(RawRwLock, GuardsReleaseOnScopeExit) {
  RawRwLock lock;
  {
    ExclusiveLockGuard guard(lock);
    EXPECT_FALSE(lock.try_lock_shared());
  }
  {
    SharedLockGuard a(lock);
    SharedLockGuard b(lock);
    EXPECT_FALSE(lock.try_lock_exclusive());
  }
  EXPECT_TRUE(lock.try_lock_exclusive());
  lock.unlock_exclusive();
}

TEST(RawRwLock, ReaderCountOverflowIsFatalAndLeavesTheLockUnchanged) {
  RawRwLock lock;
  Access::set_state(lock, Access::kReaderMask - Access::kOneReader);
  lock.lock_shared();
  const std::uint32_t full = Access::state(lock);
  ASSERT_EQ(full, Access::kReaderMask);

  const std::function<void()> attempts[] = {[&] { lock.lock_shared(); },
                                            [&] { (void)lock.try_lock_shared(); }};
  for (const auto& attempt : attempts) {
    try {
      attempt();
      ADD_FAILURE() << "no error past the maximum reader count";
    } catch (const FatalError& e) {
      EXPECT_EQ(std::string(e.what()), "reader count overflowed");
    }
    EXPECT_EQ(Access::state(lock), full);
  }
  Access::set_state(lock, Access::kOneReader);
  lock.unlock_shared();
  EXPECT_EQ(Access::state(lock), 0u);
}

TEST(RawRwLock, StressKeepsWritersExclusiveAndReadersConsistent) {
  RawRwLock lock;
  struct {
    long a = 0, b = 0;
  } data;
  std::atomic<int> readers_inside{0}, writers_inside{0};
  std::atomic<int> violations{0};
  std::atomic<int> finished{0};

  constexpr int kThreads = 8;
  constexpr int kIterations = 40000;
  constexpr int kWriteEvery = 4;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kIterations; ++i) {
        if ((i + t) % kWriteEvery == 0) {
          ExclusiveLockGuard guard(lock);
          if (writers_inside.fetch_add(1) != 0 || readers_inside.load() != 0) ++violations;
          ++data.a;
          if (i % 64 == 0) ::sched_yield();  // hold on long enough for others to sleep
          ++data.b;
          writers_inside.fetch_sub(1);
        } else {
          SharedLockGuard guard(lock);
          readers_inside.fetch_add(1);
          if (writers_inside.load() != 0) ++violations;
          const long a = data.a;
          if (i % 128 == 1) ::sched_yield();
          if (data.b != a) ++violations;
          readers_inside.fetch_sub(1);
        }
      }
      ++finished;
    });
  }
  join_all(threads, finished);
  EXPECT_EQ(violations, 0);
  EXPECT_EQ(data.a, long{kThreads} * kIterations / kWriteEvery);
  EXPECT_EQ(data.b, data.a);
  EXPECT_EQ(Access::state(lock), 0u) << "no parked bit or count survives the last release";
}

}  // namespace
}  // namespace vrel
