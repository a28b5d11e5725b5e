// The memory orders of the core's seqlocks (a variable's cell, a node's cell memo).
#pragma once

#include <atomic>

namespace vrel::seqlock {

// A seqlock reader loads the protected words relaxed and then fences, so that its second
// look at the version comes after them; a writer fences after making the version odd, so
// that no protected word is seen before the odd version. ThreadSanitizer does not model
// fences: under it, the words themselves are loaded with acquire and stored with release
// order instead, which it does model, and which orders at least as strongly.
#if defined(__SANITIZE_THREAD__)
inline constexpr std::memory_order kLoad = std::memory_order_acquire;
inline constexpr std::memory_order kStore = std::memory_order_release;
inline void reader_fence() noexcept {}
inline void writer_fence() noexcept {}
#else
inline constexpr std::memory_order kLoad = std::memory_order_relaxed;
inline constexpr std::memory_order kStore = std::memory_order_relaxed;
inline void reader_fence() noexcept { std::atomic_thread_fence(std::memory_order_acquire); }
inline void writer_fence() noexcept { std::atomic_thread_fence(std::memory_order_release); }
#endif

}  // namespace vrel::seqlock
