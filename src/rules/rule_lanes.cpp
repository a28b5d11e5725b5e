// A rule set's rules evaluated for many records at once, lane by lane, where they allow it.
#include "rules/rule_lanes.hpp"

#include <algorithm>
#include <variant>

namespace vrelpy::rules {
namespace {

using vrel::detail::LaneKind;
using vrel::detail::Lanes;

// The expression of a rule that is one let of its own name, or null.
const vrel::Expr* let_of_own_name(const Rule& rule) {
  if (rule.statements.size() != 1 || rule.statements[0].kind() != vrel::Statement::Kind::Let) {
    return nullptr;
  }
  const auto& let = std::get<vrel::Statement::Let>(rule.statements[0].node());
  return let.id == rule.name ? &let.expr : nullptr;
}

// A setup value as lanes (every lane the same), or null when it is not a number or boolean.
std::unique_ptr<Lanes> constant_lanes(const vrel::Value& v) {
  LaneKind kind;
  std::uint64_t bits;
  if (!vrel::detail::lane_of(v, kind, bits)) return nullptr;
  auto lanes = std::make_unique<Lanes>();
  std::fill_n(lanes->bits, vrel::detail::kLanes, bits);
  std::fill_n(lanes->kind, vrel::detail::kLanes, kind);
  lanes->uniform = kind;
  return lanes;
}

}  // namespace

RuleLanes::RuleLanes(const RuleProgram& program, const vrel::Machine& machine,
                     const std::atomic<bool>& stop)
    : stop_(stop) {
  // Limits count steps and read clocks that lanes do not.
  if (program.limits.any()) return;
  for (std::size_t i = 0; i < program.inputs.size(); ++i) {
    inputs_.push_back(std::make_unique<Lanes>());
  }
  input_used_.assign(program.inputs.size(), false);
  rules_.reserve(program.rules.size());
  for (std::size_t r = 0; r < program.rules.size(); ++r) {
    const vrel::Expr* expr = let_of_own_name(program.rules[r]);
    if (!expr) return;
    RuleForm form;
    form.form = vrel::detail::LaneExpr::compile(*expr);
    if (!form.form) return;
    // A name is what the latest earlier rule of that name bound, else the record's input,
    // else what the setup left (the inputs are exactly the names neither binds first).
    for (const vrel::Identifier& id : form.form->reads()) {
      const Lanes* source = nullptr;
      for (std::size_t k = r; k-- > 0 && !source;) {
        if (program.rules[k].name == id) source = rules_[k].out.get();
      }
      if (!source) {
        auto it = std::find(program.inputs.begin(), program.inputs.end(), id);
        if (it != program.inputs.end()) {
          const auto c = static_cast<std::size_t>(it - program.inputs.begin());
          source = inputs_[c].get();
          input_used_[c] = true;
        }
      }
      if (!source) {
        const vrel::Machine::Place place = machine.place(id);
        if (!place || !machine.bound(place)) return;
        vrel::Value scratch;
        vrel::SharedValue held;
        std::unique_ptr<Lanes> lanes = constant_lanes(machine.read(place, scratch, held));
        if (!lanes) return;
        source = lanes.get();
        constants_.push_back(std::move(lanes));
      }
      form.reads.push_back(source);
    }
    form.out = std::make_unique<Lanes>();
    rules_.push_back(std::move(form));
  }
  usable_ = true;
}

bool RuleLanes::fits(const RecordChunk& chunk) const noexcept {
  for (std::size_t c = 0; c < chunk.columns.size(); ++c) {
    if (input_used_[c] && !chunk.columns[c].fits_lanes()) return false;
  }
  return true;
}

bool RuleLanes::evaluate_lanes(const RecordChunk& chunk, std::size_t row, std::size_t n) {
  for (std::size_t c = 0; c < chunk.columns.size(); ++c) {
    if (input_used_[c]) chunk.columns[c].fill_lanes(row, n, *inputs_[c]);
  }
  std::fill_n(settled_, n, true);
  for (RuleForm& rule : rules_) {
    // A rule takes at most a few thousand operations over the lanes: between two rules is
    // often enough to notice Ctrl-C.
    if (stop_.load(std::memory_order_relaxed)) return false;
    rule.form->run(n, rule.reads.data(), *rule.out, scratch_);
    if (rule.out->uniform != LaneKind::Other) continue;
    for (std::size_t lane = 0; lane < n; ++lane) {
      if (rule.out->kind[lane] == LaneKind::Other) settled_[lane] = false;
    }
  }
  settled_count_ = static_cast<std::size_t>(std::count(settled_, settled_ + n, true));
  return true;
}

}  // namespace vrelpy::rules
