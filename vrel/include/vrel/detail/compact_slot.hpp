// Where a let keeps the compact form of its expression. Internal to the core: it lives in the
// syntax tree only because every Let node holds one.
#pragma once

#include <atomic>
#include <cstdint>

namespace vrel::detail {

class CompactExpr;

// A statement that runs again and again (borrowed, as hosts run the statements they keep)
// has its expression turned into a compact form when it runs the second time: a flat array
// of instructions in evaluation order, which runs without recursion and without following
// the tree's links. A copy starts empty, as a moved-from or assigned node may name another
// tree.
class CompactSlot {
 public:
  CompactSlot() noexcept = default;
  CompactSlot(const CompactSlot&) noexcept {}
  CompactSlot& operator=(const CompactSlot&) noexcept {
    reset();
    return *this;
  }
  ~CompactSlot() { reset(); }
  void reset() noexcept;

  // kEmpty, kSeen (ran once), kUnsuitable (the tree has no compact form), or the address of
  // the CompactExpr.
  static constexpr std::uintptr_t kEmpty = 0, kSeen = 1, kUnsuitable = 2;
  mutable std::atomic<std::uintptr_t> state{kEmpty};
};

}  // namespace vrel::detail
