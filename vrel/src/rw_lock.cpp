// RawRwLock slow paths: bounded spinning, sleeping on the futex and waking sleepers.
#include "rw_lock.hpp"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

#include "messages.hpp"
#include "vrel/fatal.hpp"

namespace vrel {

namespace {

// Readers and writers sleep on the same word under different futex bitsets, so that
// "wake every reader" and "wake one writer" each reach only their own class.
constexpr std::uint32_t kReaderQueue = 1u << 0;
constexpr std::uint32_t kWriterQueue = 1u << 1;

std::uint32_t* futex_address(std::atomic<std::uint32_t>& word) noexcept {
  return reinterpret_cast<std::uint32_t*>(&word);
}

// Sleeps only if the word still equals `expected`, checked atomically with joining the
// queue. Returns on a wake-up, at once if the word differs, and on a signal; callers
// re-examine the word in every case, so the reason does not matter.
void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected,
                std::uint32_t queue) noexcept {
  ::syscall(SYS_futex, futex_address(word), FUTEX_WAIT_BITSET_PRIVATE, expected, nullptr, nullptr,
            queue);
}

void futex_wake(std::atomic<std::uint32_t>& word, int count, std::uint32_t queue) noexcept {
  ::syscall(SYS_futex, futex_address(word), FUTEX_WAKE_BITSET_PRIVATE, count, nullptr, nullptr,
            queue);
}

// The spin that precedes sleeping: steps 1 to 3 pause 2, 4 and 8 times (the holder is
// probably mid-probe on another core), steps 4 to 10 yield the processor (the holder may
// need ours). Ten steps cost far less than a futex sleep and wake-up; beyond them the
// holder is evidently not about to finish, and sleeping frees the core.
class SpinWait {
 public:
  // Performs the next step and returns true, or returns false once all ten are spent.
  bool spin() noexcept {
    if (step_ >= 10) return false;
    ++step_;
    if (step_ <= 3) {
      for (int i = 0; i < (1 << step_); ++i) cpu_pause();
    } else {
      ::sched_yield();
    }
    return true;
  }

 private:
  int step_ = 0;
};

}  // namespace

bool RawRwLock::try_lock_shared() {
  std::uint32_t s = state_.load(std::memory_order_relaxed);
  while ((s & kWriterLocked) == 0) {
    if ((s & kReaderMask) == kReaderMask) raise_fatal(text::kReaderCountOverflow);
    if (state_.compare_exchange_weak(s, s + kOneReader, std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
      return true;
    }
  }
  return false;
}

bool RawRwLock::try_lock_exclusive() noexcept {
  // Parked bits may change under us without the lock changing hands; only a holder makes
  // the attempt fail.
  std::uint32_t s = state_.load(std::memory_order_relaxed);
  while ((s & (kWriterLocked | kReaderMask)) == 0) {
    if (state_.compare_exchange_weak(s, s | kWriterLocked, std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
      return true;
    }
  }
  return false;
}

void RawRwLock::lock_shared_slow() {
  while (true) {
    SpinWait spin;
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    while (true) {
      if ((s & kWriterLocked) == 0) {
        if ((s & kReaderMask) == kReaderMask) raise_fatal(text::kReaderCountOverflow);
        if (state_.compare_exchange_weak(s, s + kOneReader, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
          return;
        }
        continue;  // lost a race with another reader or a parker: not a wait step
      }
      if (spin.spin()) {
        s = state_.load(std::memory_order_relaxed);
        continue;
      }
      // Announce the sleep in the same atomic step that still sees the writer holding.
      if ((s & kReadersParked) == 0) {
        if (!state_.compare_exchange_weak(s, s | kReadersParked, std::memory_order_relaxed,
                                          std::memory_order_relaxed)) {
          continue;
        }
        s |= kReadersParked;
      }
      futex_wait(state_, s, kReaderQueue);
      break;  // woken (or the word moved on): start over, spinning anew
    }
  }
}

void RawRwLock::lock_exclusive_slow() noexcept {
  // Becomes kWritersParked once this thread has slept: see the invariants in the header.
  std::uint32_t keep_parked = 0;
  while (true) {
    SpinWait spin;
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    while (true) {
      if ((s & (kWriterLocked | kReaderMask)) == 0) {
        if (state_.compare_exchange_weak(s, s | kWriterLocked | keep_parked,
                                         std::memory_order_acquire, std::memory_order_relaxed)) {
          return;
        }
        continue;
      }
      if (spin.spin()) {
        s = state_.load(std::memory_order_relaxed);
        continue;
      }
      if ((s & kWritersParked) == 0) {
        if (!state_.compare_exchange_weak(s, s | kWritersParked, std::memory_order_relaxed,
                                          std::memory_order_relaxed)) {
          continue;
        }
        s |= kWritersParked;
      }
      futex_wait(state_, s, kWriterQueue);
      keep_parked = kWritersParked;
      break;
    }
  }
}

void RawRwLock::unlock_exclusive_slow() noexcept {
  // We hold the lock, so no reader count can appear; only parked bits change under us.
  std::uint32_t s = state_.load(std::memory_order_relaxed);
  while (true) {
    std::uint32_t next = s & ~kWriterLocked;
    std::uint32_t queue = 0;
    int count = 0;
    if (s & kReadersParked) {
      // Readers first, all of them. A parked writer keeps its bit: the last of these
      // readers to leave wakes it.
      next &= ~kReadersParked;
      queue = kReaderQueue;
      count = INT_MAX;
    } else if (s & kWritersParked) {
      next &= ~kWritersParked;
      queue = kWriterQueue;
      count = 1;
    }
    if (state_.compare_exchange_weak(s, next, std::memory_order_release,
                                     std::memory_order_relaxed)) {
      if (count != 0) futex_wake(state_, count, queue);
      return;
    }
  }
}

void RawRwLock::wake_writer_after_readers() noexcept {
  std::uint32_t s = state_.load(std::memory_order_relaxed);
  // If a reader came in or a spinning writer took the lock since our release, the
  // hand-over falls to that holder's release instead; the parked bit stays for it.
  while ((s & (kReaderMask | kWriterLocked)) == 0 && (s & kWritersParked) != 0) {
    if (state_.compare_exchange_weak(s, s & ~kWritersParked, std::memory_order_relaxed,
                                     std::memory_order_relaxed)) {
      futex_wake(state_, 1, kWriterQueue);
      return;
    }
  }
}

}  // namespace vrel
