// The cell behind a SharedValue (count word and value) and the inline parts of SharedValue.
// Internal to the core: hosts use SharedValue and VectorBuilder, never the cells.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "vrel/value.hpp"

namespace vrel {
namespace detail {

// The count word of a cell: the reference count in the low 40 bits (a count never comes near
// 2^40, as every reference takes 8 bytes of memory), and in the high 24 bits the cell's
// position in its block plus one, or 0 for a cell allocated on its own.
inline constexpr unsigned kCellIndexShift = 40;
inline constexpr std::uint64_t kCellCountMask = (std::uint64_t{1} << kCellIndexShift) - 1;
inline constexpr std::uint64_t kCellIndexUnit = std::uint64_t{1} << kCellIndexShift;
inline constexpr std::size_t kBlockCellsMax = (std::size_t{1} << (64 - kCellIndexShift)) - 1;

struct FromFactory {};

struct ValueCell {
  explicit ValueCell(Value v) noexcept : value(std::move(v)) {}
  // `make()` returns the value as a prvalue, so it is constructed in place.
  template <class Make>
  ValueCell(FromFactory, Make& make, std::uint64_t word) noexcept(noexcept(make()))
      : refs(word), value(make()) {}
  // Cells are the most frequent allocation of evaluation (one per intermediate result);
  // each thread recycles a bounded number of freed cells before going to malloc. Cells in a
  // block are placed with ::new and never pass through these.
  static void* operator new(std::size_t size);
  static void operator delete(void* p) noexcept;
  std::atomic<std::uint64_t> refs{1};
  Value value;
};

// Destroys the value of a cell whose last reference was dropped and frees the cell (alone,
// or as one of its block); `word` is the count word read when it was dropped.
void destroy_cell(ValueCell* cell, std::uint64_t word) noexcept;

inline void release_cell(ValueCell* cell) noexcept {
  // A holder of the only reference is the only thread that can still reach the count (no
  // one can copy a handle they do not hold), so it need not write it. The acquire load
  // pairs with the release half of every earlier decrement, as the decrement's own acquire
  // would: other threads' reads of the value happen before its destruction.
  std::uint64_t word = cell->refs.load(std::memory_order_acquire);
  if ((word & kCellCountMask) != 1) {
    word = cell->refs.fetch_sub(1, std::memory_order_acq_rel);
    if ((word & kCellCountMask) != 1) return;
  }
  destroy_cell(cell, word);
}

}  // namespace detail

inline SharedValue SharedValue::make(Value value) {
  return SharedValue(new detail::ValueCell(std::move(value)));
}
inline SharedValue::SharedValue(const SharedValue& other) noexcept : cell_(other.cell_) {
  if (cell_) cell_->refs.fetch_add(1, std::memory_order_relaxed);
}
inline SharedValue::~SharedValue() {
  if (cell_) detail::release_cell(cell_);
}
inline const Value& SharedValue::operator*() const noexcept { return cell_->value; }
inline const Value* SharedValue::operator->() const noexcept { return &cell_->value; }
inline const Value* SharedValue::get() const noexcept { return cell_ ? &cell_->value : nullptr; }
inline std::size_t SharedValue::use_count() const noexcept {
  return cell_ ? cell_->refs.load(std::memory_order_relaxed) & detail::kCellCountMask : 0;
}

}  // namespace vrel
