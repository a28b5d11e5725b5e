// The cell memo of a node that names a variable. Internal to the core: it lives in the syntax
// tree only because the nodes that read or bind a variable hold one.
#pragma once

#include <atomic>
#include <cstdint>

namespace vrel::detail {

struct CellMemoBox;

// Remembers the cell of the named variable in the store it was last found in, so that a
// tree evaluated again and again against one machine reaches each of its variables without
// hashing the name or probing a table. Only the evaluator and the store use it; it is
// written only after a second miss in the same store, so trees that each machine evaluates
// once pay nothing for it. A copy starts empty.
class CellMemo {
 public:
  CellMemo() noexcept = default;
  CellMemo(const CellMemo&) noexcept {}
  // The node may now name another identifier: forget everything.
  CellMemo& operator=(const CellMemo&) noexcept {
    forget();
    return *this;
  }
  ~CellMemo() { forget(); }
  void forget() noexcept;

  // The serial number of the store that last missed the memo, and the remembered cell.
  mutable std::atomic<std::uint64_t> candidate{0};
  mutable std::atomic<CellMemoBox*> box{nullptr};
};

}  // namespace vrel::detail
