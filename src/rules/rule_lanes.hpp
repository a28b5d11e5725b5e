// A rule set's rules evaluated for many records at once, lane by lane, where they allow it.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

#include "rules/record_columns.hpp"
#include "rules/rule_program.hpp"
#include "rules/rule_results.hpp"
#include "vrel/detail/record_lanes.hpp"
#include "vrel/machine.hpp"

namespace vrelpy::rules {

// One worker's lane evaluation of its program. Usable when the program has no limits and
// every rule is one let of its own name over numbers, booleans, reads and pure operators
// (vrel::detail::LaneExpr), and whatever the rules read is an input, an earlier rule's
// result, or a number or boolean the setup left. A record whose lanes all come out as
// numbers and booleans gets exactly the results its own run would give; any other record
// (an input that is missing or a text, a failure, a result of another kind) is handed back
// to be run on its own, which gives its exact results and errors.
class RuleLanes {
 public:
  // `machine`: the worker's, with the setup run; `stop`: set when the evaluation must stop
  // (read between rules). Used by one thread.
  RuleLanes(const RuleProgram& program, const vrel::Machine& machine,
            const std::atomic<bool>& stop);
  RuleLanes(const RuleLanes&) = delete;
  RuleLanes& operator=(const RuleLanes&) = delete;

  bool usable() const noexcept { return usable_; }

  // How many lanes of the last evaluate the lanes settled themselves.
  std::size_t settled() const noexcept { return settled_count_; }

  // Whether the lanes are worth trying on `chunk` (no input of it can be a text).
  bool fits(const RecordChunk& chunk) const noexcept;

  // Evaluates records `row` to `row + n` of `chunk` (n <= kLanes; table indexes from
  // `index`), writing the results of the records the lanes settle into `results`, and
  // calling `run_one(lane)` for each of the others. Returns false as soon as run_one does,
  // or when asked to stop.
  template <class RunOne>
  bool evaluate(const RecordChunk& chunk, std::size_t row, std::size_t index, std::size_t n,
                ResultTable& results, RunOne&& run_one) {
    if (!evaluate_lanes(chunk, row, n)) return false;
    // Rule by rule: the results table keeps each rule's results together.
    for (std::size_t r = 0; r < rules_.size(); ++r) {
      const vrel::detail::Lanes& out = *rules_[r].out;
      for (std::size_t lane = 0; lane < n; ++lane) {
        if (settled_[lane]) {
          results.set_plain(index + lane, r, outcome_kind(out.kind[lane]), out.bits[lane]);
        }
      }
    }
    if (settled_count_ == n) return true;
    for (std::size_t lane = 0; lane < n; ++lane) {
      if (!settled_[lane] && !run_one(lane)) return false;
    }
    return true;
  }

 private:
  struct RuleForm {
    std::unique_ptr<vrel::detail::LaneExpr> form;
    std::vector<const vrel::detail::Lanes*> reads;
    std::unique_ptr<vrel::detail::Lanes> out;
  };
  static Outcome::Kind outcome_kind(vrel::detail::LaneKind kind) noexcept {
    return kind == vrel::detail::LaneKind::Int     ? Outcome::Kind::Int
           : kind == vrel::detail::LaneKind::Float ? Outcome::Kind::Float
                                                   : Outcome::Kind::Bool;
  }
  // Fills every rule's lanes and `settled_` (lanes whose every result is plain); false when
  // asked to stop.
  bool evaluate_lanes(const RecordChunk& chunk, std::size_t row, std::size_t n);

  const std::atomic<bool>& stop_;
  bool usable_ = false;
  std::vector<RuleForm> rules_;
  std::vector<std::unique_ptr<vrel::detail::Lanes>> inputs_;     // per input of the program
  std::vector<std::unique_ptr<vrel::detail::Lanes>> constants_;  // the setup's values read
  std::vector<bool> input_used_;
  bool settled_[vrel::detail::kLanes] = {};
  std::size_t settled_count_ = 0;
  vrel::detail::LaneScratch scratch_;
};

}  // namespace vrelpy::rules
