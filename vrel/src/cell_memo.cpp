// The remembered cell of a variable: writing it and freeing it.
#include "cell_memo.hpp"

#include <new>

#include "seqlock.hpp"

namespace vrel::detail {

namespace {

void remember(const CellMemo& memo, std::uint64_t serial, VariableCell* found) noexcept {
  CellMemoBox* box = memo.box.load(std::memory_order_acquire);
  if (!box) {
    // Without memory the memo simply stays empty.
    auto* fresh = new (std::nothrow) CellMemoBox;
    if (!fresh) return;
    if (memo.box.compare_exchange_strong(box, fresh, std::memory_order_acq_rel,
                                         std::memory_order_acquire)) {
      box = fresh;
    } else {
      delete fresh;  // another thread installed its box first; use that one
    }
  }
  std::uint64_t sequence = box->sequence.load(std::memory_order_relaxed);
  // Another writer is busy: leave it to that one.
  if ((sequence & 1) != 0 ||
      !box->sequence.compare_exchange_strong(sequence, sequence + 1, std::memory_order_relaxed)) {
    return;
  }
  // Orders the odd count before the new pair, for readers that see any part of the pair.
  seqlock::writer_fence();
  box->store_serial.store(serial, seqlock::kStore);
  box->cell.store(found, std::memory_order_release);
  box->sequence.store(sequence + 2, std::memory_order_release);
}

}  // namespace

void note_cell_miss(const CellMemo& memo, std::uint64_t serial, VariableCell* cell) noexcept {
  if (memo.candidate.load(std::memory_order_relaxed) != serial) {
    memo.candidate.store(serial, std::memory_order_relaxed);
    return;
  }
  remember(memo, serial, cell);
}

// Runs only while nothing else can reach the node (destruction, assignment), so plain
// loads and stores suffice.
void CellMemo::forget() noexcept {
  if (CellMemoBox* b = box.load(std::memory_order_relaxed)) {
    delete b;
    box.store(nullptr, std::memory_order_relaxed);
  }
  candidate.store(0, std::memory_order_relaxed);
}

}  // namespace vrel::detail
