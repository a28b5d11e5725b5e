// Evaluating one expression for many records at once, lane by lane, for hosts that apply the
// same rules to whole tables. Internal to the core's hosts, not part of the language.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "vrel/syntax_tree.hpp"
#include "vrel/value.hpp"

namespace vrel::detail {

// Records evaluated together: one lane each.
inline constexpr std::size_t kLanes = 256;

// What a lane holds. Other: anything but a number or a boolean (a text, a vector, null, an
// unbound variable, a failure): the lane's record must be evaluated on its own, by a run,
// which gives the exact result or error.
enum class LaneKind : std::uint8_t { Int, Float, Bool, Other };

// One value per lane: an int's bits, a float's bits, or 0/1.
struct Lanes {
  std::uint64_t bits[kLanes];
  LaneKind kind[kLanes];
  // Set when every lane of the first `n` holds that kind (a fast loop then needs no per-lane
  // test); Other when they differ. Kept by whoever fills the lanes.
  LaneKind uniform;
};

// A number or boolean as a lane holds it; false (Other) for any other value.
inline bool lane_of(const Value& v, LaneKind& kind, std::uint64_t& bits) noexcept {
  if (v.kind() == ValueKind::Number) {
    const Number n = v.as_number();
    kind = n.is_int() ? LaneKind::Int : LaneKind::Float;
    bits = n.is_int() ? static_cast<std::uint64_t>(n.as_int())
                      : std::bit_cast<std::uint64_t>(n.as_float());
    return true;
  }
  if (v.kind() == ValueKind::Boolean) {
    kind = LaneKind::Bool;
    bits = v.as_boolean() ? 1 : 0;
    return true;
  }
  kind = LaneKind::Other;
  bits = 0;
  return false;
}

class LaneScratch;

// The lane form of a let's expression: only numbers, booleans, variable reads and the
// operators that neither call nor allocate (arithmetic, comparisons, not, and, or, cond).
// For a lane whose operands are all numbers and booleans it gives exactly the value a run of
// the let would bind; a lane where the run would fail, or would see anything else, comes out
// Other. It has no side effects: running it for records that then run normally is harmless.
// It counts no steps and reads no clock: only for runs without limits.
class LaneExpr {
 public:
  // Null when the expression has a node the lane form does not take (a call, a vector, a
  // literal that is not a number or boolean) or is deeper than it evaluates.
  static std::unique_ptr<LaneExpr> compile(const Expr& expr);
  ~LaneExpr();
  LaneExpr(const LaneExpr&) = delete;
  LaneExpr& operator=(const LaneExpr&) = delete;

  // The distinct variables it reads, in the order first read: run's `reads` follow it.
  const std::vector<Identifier>& reads() const noexcept { return reads_; }

  // The value of the first `n` lanes (n <= kLanes) in `out`, reading variable i from
  // `reads[i]`. `scratch` is the caller's, one per thread.
  void run(std::size_t n, const Lanes* const* reads, Lanes& out, LaneScratch& scratch) const;

  struct Step;  // one node of the form (record_lanes.cpp)

 private:
  LaneExpr() = default;
  std::vector<Step> code_;
  std::vector<Identifier> reads_;
  std::size_t depth_ = 0;
};

// The operand stack of lane evaluation (a few hundred KiB at most): one per thread, reused.
class LaneScratch {
 public:
  LaneScratch();
  ~LaneScratch();
  LaneScratch(const LaneScratch&) = delete;
  LaneScratch& operator=(const LaneScratch&) = delete;

 private:
  friend class LaneExpr;
  std::vector<std::unique_ptr<Lanes>> stack_;
};

}  // namespace vrel::detail
