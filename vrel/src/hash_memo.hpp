// The remembered hash of a variable read: a small seqlock that any number of threads may
// read and write at once.
#pragma once

#include <atomic>
#include <cstdint>

#include "vrel/detail/hash_memo.hpp"

namespace vrel::detail {

// The sequence count is odd while a writer fills in the pair; a reader trusts the pair only
// if the count was even and unchanged around its reads. Hashes are pure functions of the
// store and the identifier, so a reader that loses a race just computes the hash itself.
struct HashMemoCell {
  std::atomic<std::uint64_t> sequence{0};
  std::atomic<std::uint64_t> store_serial{0};
  std::atomic<std::uint64_t> hash{0};
};

// The hash of the memo's identifier under the store numbered `serial` (never 0), if the
// memo holds it.
inline bool recall_hash(const HashMemo& memo, std::uint64_t serial, std::uint64_t& hash) noexcept {
  const HashMemoCell* cell = memo.cell.load(std::memory_order_acquire);
  if (!cell) return false;
  const std::uint64_t before = cell->sequence.load(std::memory_order_acquire);
  const std::uint64_t stored_serial = cell->store_serial.load(std::memory_order_relaxed);
  const std::uint64_t stored_hash = cell->hash.load(std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_acquire);
  if ((before & 1) != 0 || cell->sequence.load(std::memory_order_relaxed) != before ||
      stored_serial != serial) {
    return false;
  }
  hash = stored_hash;
  return true;
}

// Called after a miss with the freshly computed hash. The first miss from a store only
// notes the store (a plain store, no read-modify-write); a second miss from the same store
// remembers the hash, so a tree that every machine evaluates once never pays for writing.
void note_hash_miss(const HashMemo& memo, std::uint64_t serial, std::uint64_t hash) noexcept;

}  // namespace vrel::detail
