// Where the cells of shared values come from and go back to: cells of their own from a
// per-thread cache, and blocks of cells for vectors with a process-wide cache of large blocks.
#pragma once

#include <atomic>
#include <cstddef>

#include "vrel/detail/value_cell.hpp"

namespace vrel::detail {

// A block of cells: this header, then the cells. `live` counts the cells not yet released,
// unused ones included until their builder gives them back; the last to go frees the block.
struct CellBlock {
  explicit CellBlock(std::size_t cells) noexcept : live(cells), capacity(cells) {}
  std::atomic<std::size_t> live;
  std::size_t capacity;  // cells allocated; a reused block may be handed out for fewer

  ValueCell* cells() noexcept {
    return reinterpret_cast<ValueCell*>(reinterpret_cast<char*>(this) + sizeof(CellBlock));
  }
};
static_assert(sizeof(CellBlock) % alignof(ValueCell) == 0);

// A block for `cells` cells, all counted live.
CellBlock* new_block(std::size_t cells);

// Drops `cells` of a block's live cells; the thread that drops the last frees the block.
void release_block_cells(CellBlock* block, std::size_t cells) noexcept;

}  // namespace vrel::detail
