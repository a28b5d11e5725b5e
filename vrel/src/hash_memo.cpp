// The remembered hash of a variable read: writing it and freeing it.
#include "hash_memo.hpp"

#include <new>

namespace vrel::detail {

namespace {

void remember(const HashMemo& memo, std::uint64_t serial, std::uint64_t hash) noexcept {
  HashMemoCell* cell = memo.cell.load(std::memory_order_acquire);
  if (!cell) {
    // Without memory the memo simply stays empty.
    auto* fresh = new (std::nothrow) HashMemoCell;
    if (!fresh) return;
    if (memo.cell.compare_exchange_strong(cell, fresh, std::memory_order_acq_rel,
                                          std::memory_order_acquire)) {
      cell = fresh;
    } else {
      delete fresh;  // another thread installed its cell first; use that one
    }
  }
  std::uint64_t sequence = cell->sequence.load(std::memory_order_relaxed);
  // Another writer is busy: leave it to that one.
  if ((sequence & 1) != 0 ||
      !cell->sequence.compare_exchange_strong(sequence, sequence + 1, std::memory_order_relaxed)) {
    return;
  }
  // Orders the odd count before the new pair, for readers that see any part of the pair.
  std::atomic_thread_fence(std::memory_order_release);
  cell->store_serial.store(serial, std::memory_order_relaxed);
  cell->hash.store(hash, std::memory_order_relaxed);
  cell->sequence.store(sequence + 2, std::memory_order_release);
}

}  // namespace

void note_hash_miss(const HashMemo& memo, std::uint64_t serial, std::uint64_t hash) noexcept {
  if (memo.candidate.load(std::memory_order_relaxed) != serial) {
    memo.candidate.store(serial, std::memory_order_relaxed);
    return;
  }
  remember(memo, serial, hash);
}

// Runs only while nothing else can reach the node (destruction, assignment), so plain
// loads and stores suffice.
void HashMemo::forget() noexcept {
  if (HashMemoCell* c = cell.load(std::memory_order_relaxed)) {
    delete c;
    cell.store(nullptr, std::memory_order_relaxed);
  }
  candidate.store(0, std::memory_order_relaxed);
}

}  // namespace vrel::detail
