// Building vector values element by element, with cells that come a block at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "vrel/value.hpp"

namespace vrel {

namespace detail {
struct CellBlock;
}

// Builds a vector value whose length is known ahead, as a host does converting one of its
// lists: the elements are constructed right in their cells, and the cells come a block at a
// time instead of one allocation each, which makes building and releasing a large vector
// several times cheaper. A block is freed when the last of its cells is released, on
// whichever thread; until then a surviving element keeps its block's memory (not the other
// elements' contents) allocated. Blocks grow with the vector, so a single survivor keeps at
// most about half of the vector's cell memory. Freed large blocks are kept for reuse, at most
// 8 MiB of them in the whole process.
class VectorBuilder {
 public:
  // `expected`: how many elements the caller means to append. More may be appended (they
  // get cells of their own); cells left unused go back when building ends.
  explicit VectorBuilder(std::size_t expected);
  VectorBuilder(const VectorBuilder&) = delete;
  VectorBuilder& operator=(const VectorBuilder&) = delete;
  ~VectorBuilder();

  // Appends the value that `make()` returns, constructed in its cell.
  template <class Make>
  void emplace(Make&& make);
  void push(Value value) {
    emplace([&]() noexcept { return std::move(value); });
  }
  std::size_t size() const noexcept { return items_.size(); }
  // The vector value of the elements appended so far; the builder is left empty.
  Value finish();

 private:
  bool next_block();
  void give_back_unused() noexcept;

  Value::Vector items_;
  std::size_t expected_;
  detail::CellBlock* block_ = nullptr;
  detail::ValueCell* next_ = nullptr;  // the block's first unused cell, up to end_
  detail::ValueCell* end_ = nullptr;
  std::uint64_t next_word_ = 0;  // the initial count word of the cell at next_
};

template <class Make>
void VectorBuilder::emplace(Make&& make) {
  if (next_ == end_ && !next_block()) {
    items_.push_back(SharedValue(new detail::ValueCell(detail::FromFactory{}, make, 1)));
    return;
  }
  auto* cell =
      ::new (static_cast<void*>(next_)) detail::ValueCell(detail::FromFactory{}, make, next_word_);
  // Taken before the handle is stored: should the push fail, the handle's release accounts
  // for the cell, and giving back the unused rest must not count it a second time.
  ++next_;
  next_word_ += detail::kCellIndexUnit;
  items_.push_back(SharedValue(cell));
}

}  // namespace vrel
