// The remembered cell of a variable: a small seqlock that any number of threads may read and
// write at once.
#pragma once

#include <atomic>
#include <cstdint>

#include "seqlock.hpp"
#include "vrel/detail/cell_memo.hpp"

namespace vrel {
class VariableCell;
}

namespace vrel::detail {

// The sequence count is odd while a writer fills in the pair; a reader trusts the pair only
// if the count was even and unchanged around its reads. A variable's cell is fixed for the
// life of its store, so a reader that loses a race just finds the cell itself.
struct CellMemoBox {
  std::atomic<std::uint64_t> sequence{0};
  std::atomic<std::uint64_t> store_serial{0};
  std::atomic<VariableCell*> cell{nullptr};
};

// The cell of the memo's variable in the store numbered `serial` (never 0), or null when the
// memo does not hold it. The cell is loaded with acquire order, so that what its finder saw
// of it (under the store's lock) is visible here too.
inline VariableCell* recall_cell(const CellMemo& memo, std::uint64_t serial) noexcept {
  const CellMemoBox* box = memo.box.load(std::memory_order_acquire);
  if (!box) return nullptr;
  const std::uint64_t before = box->sequence.load(std::memory_order_acquire);
  const std::uint64_t stored_serial = box->store_serial.load(seqlock::kLoad);
  VariableCell* cell = box->cell.load(std::memory_order_acquire);
  seqlock::reader_fence();
  if ((before & 1) != 0 || box->sequence.load(std::memory_order_relaxed) != before ||
      stored_serial != serial) {
    return nullptr;
  }
  return cell;
}

// Called after a miss with the cell the store found. The first miss from a store only notes
// the store (a plain store, no read-modify-write); a second miss from the same store
// remembers the cell, so a tree that every machine evaluates once never pays for writing.
void note_cell_miss(const CellMemo& memo, std::uint64_t serial, VariableCell* cell) noexcept;

}  // namespace vrel::detail
