// Vectors built cell by cell, in blocks of cells.
#include "vrel/vector_builder.hpp"

#include <algorithm>
#include <utility>

#include "cell_allocator.hpp"

namespace vrel {

namespace {
// Blocks start small and then double with the vector: short vectors waste little, and a
// surviving element of a long one keeps at most about half of its cell memory allocated.
// Below kBlockCellsMin further elements, cells of their own are cheaper (they come from the
// thread's cache of freed cells).
constexpr std::size_t kBlockCellsFirst = 64;
constexpr std::size_t kBlockCellsMin = 4;
}  // namespace

// The expected count may come from a host that only reports a size (a sequence's __len__)
// and can be any number: it sizes cell blocks, which are taken one at a time as elements
// arrive, but reserves at most kReserveMax slots up front; the rest grows as usual.
VectorBuilder::VectorBuilder(std::size_t expected) : expected_(expected) {
  constexpr std::size_t kReserveMax = 1 << 16;
  items_.reserve(std::min(expected, kReserveMax));
}

VectorBuilder::~VectorBuilder() { give_back_unused(); }

Value VectorBuilder::finish() {
  give_back_unused();
  return Value::vector(std::move(items_));
}

void VectorBuilder::give_back_unused() noexcept {
  if (!block_) return;
  const auto unused = static_cast<std::size_t>(end_ - next_);
  detail::CellBlock* block = std::exchange(block_, nullptr);
  next_ = end_ = nullptr;
  if (unused) detail::release_block_cells(block, unused);
}

bool VectorBuilder::next_block() {
  give_back_unused();
  const std::size_t made = items_.size();
  if (made >= expected_) return false;
  const std::size_t cells =
      std::min({expected_ - made, std::max(made, kBlockCellsFirst), detail::kBlockCellsMax});
  if (cells < kBlockCellsMin) return false;
  block_ = detail::new_block(cells);
  next_ = block_->cells();
  end_ = next_ + cells;
  next_word_ = 1 | detail::kCellIndexUnit;
  return true;
}

}  // namespace vrel
