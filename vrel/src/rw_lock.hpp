// RawRwLock: the reader-writer lock of one variable-store shard, a single futex word.
#pragma once

#include <atomic>
#include <cstdint>

namespace vrel {

// Tells the processor that this thread is spinning, waiting for another.
inline void cpu_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
  __asm__ __volatile__("yield");
#endif
}

// A reader-writer lock in one 32-bit word; it never allocates and a default-constructed
// lock (constexpr, so usable in static storage) is unlocked.
//
// Admission: a reader enters whenever no writer holds the lock, even while writers wait
// (a steady stream of readers can starve a writer; the store's critical sections are a
// table probe, so that is the better trade than making readers queue). A writer enters
// only when nobody holds the lock.
//
// Waiting: a thread that cannot enter at once spins for up to 10 steps (2, 4 and 8 pause
// instructions, then 7 yields) and then sleeps on the futex until woken, with no timeout;
// once woken it starts over, spinning anew. When the last reader leaves while a writer
// sleeps, one writer is woken; when a writer leaves, every sleeping reader is woken if
// there are any, otherwise one sleeping writer.
//
// Uncontended lock and unlock are each one atomic read-modify-write, inline; everything
// else is out of line. Not recursive, not fair, no owner tracking: unlocking a lock this
// thread does not hold is undefined.
class RawRwLock {
 public:
  constexpr RawRwLock() noexcept = default;
  RawRwLock(const RawRwLock&) = delete;
  RawRwLock& operator=(const RawRwLock&) = delete;

  // Takes the lock shared, waiting while a writer holds it. Throws FatalError "reader
  // count overflowed" (leaving the lock unchanged) if 2^29 - 1 readers already hold it.
  void lock_shared() {
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    if ((s & kWriterLocked) == 0 && (s & kReaderMask) != kReaderMask &&
        state_.compare_exchange_weak(s, s + kOneReader, std::memory_order_acquire,
                                     std::memory_order_relaxed)) [[likely]] {
      return;
    }
    lock_shared_slow();
  }

  // Takes the lock shared if no writer holds it; never waits. Same overflow error as
  // lock_shared().
  bool try_lock_shared();

  void unlock_shared() noexcept {
    const std::uint32_t before = state_.fetch_sub(kOneReader, std::memory_order_release);
    // The last reader out hands the lock to a sleeping writer. No writer can hold the lock
    // here, and sleeping readers imply a writer holder, so only these two bits matter.
    if ((before & (kReaderMask | kWritersParked)) == (kOneReader | kWritersParked)) [[unlikely]] {
      wake_writer_after_readers();
    }
  }

  // Takes the lock exclusively, waiting until nobody holds it.
  void lock_exclusive() noexcept {
    std::uint32_t expected = 0;
    if (state_.compare_exchange_strong(expected, kWriterLocked, std::memory_order_acquire,
                                       std::memory_order_relaxed)) [[likely]] {
      return;
    }
    lock_exclusive_slow();
  }

  // Takes the lock exclusively if nobody holds it; never waits.
  bool try_lock_exclusive() noexcept;

  void unlock_exclusive() noexcept {
    std::uint32_t expected = kWriterLocked;
    if (state_.compare_exchange_strong(expected, 0, std::memory_order_release,
                                       std::memory_order_relaxed)) [[likely]] {
      return;
    }
    unlock_exclusive_slow();
  }

 private:
  friend struct RawRwLockTestAccess;  // defined only by the lock's own tests

  // The word: [ reader count : 29 | WRITER_LOCKED | WRITERS_PARKED | READERS_PARKED ].
  //
  // Invariants:
  //  - WRITER_LOCKED and a non-zero reader count never coexist.
  //  - READERS_PARKED is set only together with WRITER_LOCKED: a reader sets it only in
  //    the same atomic step that sees a writer holding, and the releasing writer clears
  //    it. Readers therefore sleep only behind a writer.
  //  - Whoever clears a *_PARKED bit must then wake that class of sleeper. A sleeper sets
  //    its bit and then sleeps only if the word still equals what it saw with the bit
  //    set (the futex compares under the kernel's queue lock), so a clear-then-wake can
  //    never fall between its decision to sleep and its joining the queue.
  //  - Readers are woken all at once and writers one at a time, so clearing
  //    WRITERS_PARKED may leave other writers asleep without the bit. The writer that was
  //    woken therefore sets the bit again, whether it then acquires or sleeps again; an
  //    extra bit costs one futex call later, a missing one would hang a writer forever.
  static constexpr std::uint32_t kReadersParked = 1u << 0;
  static constexpr std::uint32_t kWritersParked = 1u << 1;
  static constexpr std::uint32_t kWriterLocked = 1u << 2;
  static constexpr std::uint32_t kOneReader = 1u << 3;
  static constexpr std::uint32_t kReaderMask = ~(kOneReader - 1);

  [[gnu::cold, gnu::noinline]] void lock_shared_slow();
  [[gnu::cold, gnu::noinline]] void lock_exclusive_slow() noexcept;
  [[gnu::cold, gnu::noinline]] void unlock_exclusive_slow() noexcept;
  [[gnu::cold, gnu::noinline]] void wake_writer_after_readers() noexcept;

  std::atomic<std::uint32_t> state_{0};
};

static_assert(sizeof(RawRwLock) == sizeof(std::uint32_t));
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

// Holds `lock` shared for the guard's lifetime.
class [[nodiscard]] SharedLockGuard {
 public:
  explicit SharedLockGuard(RawRwLock& lock) : lock_(lock) { lock_.lock_shared(); }
  ~SharedLockGuard() { lock_.unlock_shared(); }
  SharedLockGuard(const SharedLockGuard&) = delete;
  SharedLockGuard& operator=(const SharedLockGuard&) = delete;

 private:
  RawRwLock& lock_;
};

// Holds `lock` exclusively for the guard's lifetime.
class [[nodiscard]] ExclusiveLockGuard {
 public:
  explicit ExclusiveLockGuard(RawRwLock& lock) noexcept : lock_(lock) { lock_.lock_exclusive(); }
  ~ExclusiveLockGuard() { lock_.unlock_exclusive(); }
  ExclusiveLockGuard(const ExclusiveLockGuard&) = delete;
  ExclusiveLockGuard& operator=(const ExclusiveLockGuard&) = delete;

 private:
  RawRwLock& lock_;
};

}  // namespace vrel
