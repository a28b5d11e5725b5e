// The compact form of an expression: making it, keeping it in a let, and running it.
#include "compact_expr.hpp"

#include <algorithm>
#include <new>
#include <unordered_set>
#include <utility>

#include "node_results.hpp"
#include "operators.hpp"
#include "run_budget.hpp"
#include "stack_guard.hpp"
#include "variable_store.hpp"

namespace vrel::detail {
namespace {

// The node a chain of links leads to. False when the chain passes a shared subtree seen
// before: the tree holds that subtree more than once, and listing it again would make the
// compact form larger than the tree (a tree that doubles one subtree level after level is
// small, but lists 2^depth nodes).
bool through_links(const Expr*& e, std::unordered_set<const Expr*>& seen) {
  while (e->kind() == Expr::Kind::Shared) {
    if (!seen.insert(e).second) return false;
    e = std::get_if<Expr::Shared>(&e->node)->target.get();
  }
  return true;
}

// The children of a node in evaluation order; false for a node the compact form leaves to
// the tree walk.
bool children_of(const Expr& e, const Expr* (&out)[2], unsigned& count) noexcept {
  count = 0;
  const auto pair = [&](const ExprBox& l, const ExprBox& r) {
    out[0] = l.get();
    out[1] = r.get();
    count = 2;
  };
  switch (e.kind()) {
    case Expr::Kind::Literal:
    case Expr::Kind::Ident:
    case Expr::Kind::Constant:
      return true;
    case Expr::Kind::BinaryOp: {
      const auto& n = *std::get_if<Expr::BinaryOp>(&e.node);
      pair(n.left, n.right);
      return true;
    }
    case Expr::Kind::Equals: {
      const auto& n = *std::get_if<Expr::Equals>(&e.node);
      pair(n.left, n.right);
      return true;
    }
    case Expr::Kind::GreaterThan: {
      const auto& n = *std::get_if<Expr::GreaterThan>(&e.node);
      pair(n.left, n.right);
      return true;
    }
    case Expr::Kind::LessThan: {
      const auto& n = *std::get_if<Expr::LessThan>(&e.node);
      pair(n.left, n.right);
      return true;
    }
    case Expr::Kind::Not:
      out[0] = std::get_if<Expr::Not>(&e.node)->operand.get();
      count = 1;
      return true;
    case Expr::Kind::Call:
      out[0] = std::get_if<Expr::Call>(&e.node)->argument.get();
      count = 1;
      return true;
    case Expr::Kind::Vector:
    case Expr::Kind::Shared:  // never here: links are followed first
      return false;
  }
  return false;
}

// Counts `n` steps as n calls of count_step would, checkpointing at the same steps.
inline void count_steps(std::int64_t n) {
  while (__builtin_expect(n > 0 && detail::tl_countdown < n, 0)) {
    const std::int64_t before = detail::tl_countdown > 0 ? detail::tl_countdown : 0;
    n -= before + 1;
    detail::tl_countdown -= before + 1;
    detail::checkpoint();
  }
  detail::tl_countdown -= n;
}

// The operands of one run: at most one per level of the tree, on the native stack.
class OperandStack {
 public:
  OperandStack() noexcept = default;
  OperandStack(const OperandStack&) = delete;
  OperandStack& operator=(const OperandStack&) = delete;
  ~OperandStack() {
    while (size_ > 0) slot(--size_)->~Operand();
  }
  void push(Operand&& v) noexcept { new (slot(size_++)) Operand(std::move(v)); }
  // The operand `depth` places below the top (0: the top).
  Operand& at(unsigned depth) noexcept { return *slot(size_ - 1 - depth); }
  Operand pop() noexcept {
    Operand& top = *slot(--size_);
    Operand v(std::move(top));
    top.~Operand();
    return v;
  }
  // Replaces the top two operands, both plain (nothing to release), by `result`.
  void combine_plain(Operand&& result) noexcept {
    --size_;
    new (slot(size_ - 1)) Operand(std::move(result));
  }
  // Replaces the top operand, plain, by `result`.
  void replace_plain_top(Operand&& result) noexcept {
    new (slot(size_ - 1)) Operand(std::move(result));
  }
  // Replaces the top `count` operands by `result`, the top one released first, as the tree
  // walk releases its right operand before its left.
  void replace(unsigned count, Operand&& result) noexcept {
    while (count-- > 0) slot(--size_)->~Operand();
    push(std::move(result));
  }

 private:
  Operand* slot(unsigned i) noexcept {
    return std::launder(reinterpret_cast<Operand*>(bytes_)) + i;
  }
  alignas(Operand) unsigned char bytes_[sizeof(Operand) * (CompactExpr::kMaxDepth + 1)];
  unsigned size_ = 0;
};

// A generous bound on the native stack one level of the tree walk takes.
constexpr std::uintptr_t kTreeWalkFrameBytes = 512;

}  // namespace

// A number or boolean as an instruction that pushes it; false for any other value.
bool CompactExpr::inline_plain(const Value& v, Instr& in) noexcept {
  if (v.kind() == ValueKind::Number && v.as_number().is_int()) {
    in.op = Op::Int;
    in.i = v.as_number().as_int();
  } else if (v.kind() == ValueKind::Number) {
    in.op = Op::Float;
    in.f = v.as_number().as_float();
  } else if (v.kind() == ValueKind::Boolean) {
    in.op = Op::Boolean;
    in.b = v.as_boolean();
  } else {
    return false;
  }
  return true;
}

std::unique_ptr<CompactExpr> CompactExpr::compile(const Expr& root) {
  auto out = std::make_unique<CompactExpr>();
  struct Frame {
    const Expr* node;
    unsigned next;  // the next child to visit
  };
  std::vector<Frame> path;
  path.reserve(kMaxDepth);
  std::unordered_set<const Expr*> seen;
  const Expr* top = &root;
  if (!through_links(top, seen)) return nullptr;
  path.push_back({top, 0});
  std::uint32_t entered = 1;  // nodes entered since the last instruction
  while (!path.empty()) {
    const Expr& e = *path.back().node;
    const Expr* children[2] = {nullptr, nullptr};
    unsigned count = 0;
    if (!children_of(e, children, count)) return nullptr;
    if (path.back().next < count) {
      const Expr* child = children[path.back().next++];
      if (path.size() >= kMaxDepth || !through_links(child, seen)) return nullptr;
      path.push_back({child, 0});
      out->depth_ = std::max<std::uint32_t>(out->depth_, static_cast<std::uint32_t>(path.size()));
      ++entered;
      continue;
    }
    Instr in{};
    in.enters = entered;
    entered = 0;
    switch (e.kind()) {
      case Expr::Kind::Literal: {
        const auto& literal = *std::get_if<Expr::Literal>(&e.node);
        if (!inline_plain(literal.value, in)) {
          in.op = Op::Literal;
          in.literal = &literal;
        }
        break;
      }
      case Expr::Kind::Constant: {
        // A number or boolean is the same operand whether borrowed or copied: inline.
        const SharedValue& constant = std::get_if<Expr::Constant>(&e.node)->value;
        if (!inline_plain(*constant, in)) {
          in.op = Op::Constant;
          in.constant = &constant;
        }
        break;
      }
      case Expr::Kind::Ident:
        in.op = Op::Read;
        in.ident = std::get_if<Expr::Ident>(&e.node);
        break;
      case Expr::Kind::BinaryOp:
        in.op = Op::Binary;
        in.binary = std::get_if<Expr::BinaryOp>(&e.node)->op;
        break;
      case Expr::Kind::Equals:
        in.op = Op::Equals;
        break;
      case Expr::Kind::GreaterThan:
        in.op = Op::Greater;
        break;
      case Expr::Kind::LessThan:
        in.op = Op::Less;
        break;
      case Expr::Kind::Not:
        in.op = Op::Not;
        break;
      case Expr::Kind::Call:
        in.op = Op::Call;
        in.call = std::get_if<Expr::Call>(&e.node);
        break;
      case Expr::Kind::Vector:
      case Expr::Kind::Shared:
        return nullptr;
    }
    out->code_.push_back(in);
    path.pop_back();
  }
  out->depth_ = std::max<std::uint32_t>(out->depth_, 1);
  out->code_.shrink_to_fit();
  return out;
}

bool CompactExpr::fits_stack() const noexcept {
  std::uintptr_t limit = tl_fatal_below;
  if (__builtin_expect(limit == 0, 0)) {
    init_stack_limits();
    limit = tl_fatal_below;
  }
  return stack_pointer() > limit + depth_ * kTreeWalkFrameBytes;
}

std::size_t CompactExpr::heap_bytes() const noexcept {
  return sizeof(CompactExpr) + code_.capacity() * sizeof(Instr);
}

Operand CompactExpr::run(const Machine& m) const {
  OperandStack stack;
  const VariableStore& store = store_of(m);
  for (const Instr& in : code_) {
    count_steps(in.enters);
    switch (in.op) {
      case Op::Int:
        stack.push(Operand::number(Number::from_int(in.i)));
        break;
      case Op::Float:
        stack.push(Operand::number(Number::from_float(in.f)));
        break;
      case Op::Boolean:
        stack.push(Operand::boolean(in.b));
        break;
      case Op::Literal:
        stack.push(literal_result(*in.literal));
        break;
      case Op::Constant:
        stack.push(Operand::borrow(*in.constant));
        break;
      case Op::Read:
        stack.push(store.read(in.ident->id, &in.ident->memo));
        break;
      case Op::Binary: {
        const Operand& l = stack.at(1);
        const Operand& r = stack.at(0);
        if (l.is_plain_int() && r.is_plain_int() && in.binary != BinaryOperator::Div) {
          stack.combine_plain(Operand::number(
              Number::from_int(wrapping_int_operation(in.binary, l.plain_int(), r.plain_int()))));
        } else {
          stack.replace(2, binary_result(in.binary, l, r));
        }
        break;
      }
      case Op::Equals: {
        const Operand& l = stack.at(1);
        const Operand& r = stack.at(0);
        if (l.is_plain_int() && r.is_plain_int()) {
          stack.combine_plain(Operand::boolean(l.plain_int() == r.plain_int()));
        } else {
          stack.replace(2, equals_result(l, r));
        }
        break;
      }
      case Op::Greater: {
        const Operand& l = stack.at(1);
        const Operand& r = stack.at(0);
        if (l.is_plain_int() && r.is_plain_int()) {
          stack.combine_plain(Operand::boolean(l.plain_int() > r.plain_int()));
        } else {
          stack.replace(2, greater_result(l, r));
        }
        break;
      }
      case Op::Less: {
        const Operand& l = stack.at(1);
        const Operand& r = stack.at(0);
        if (l.is_plain_int() && r.is_plain_int()) {
          stack.combine_plain(Operand::boolean(l.plain_int() < r.plain_int()));
        } else {
          stack.replace(2, less_result(l, r));
        }
        break;
      }
      case Op::Not: {
        const Operand& v = stack.at(0);
        if (v.is_plain_boolean()) {
          stack.replace_plain_top(Operand::boolean(!v.plain_boolean()));
        } else {
          stack.replace(1, not_result(v));
        }
        break;
      }
      case Op::Call: {
        Operand argument = stack.pop();
        stack.push(call_function(m, *in.call, std::move(argument)));
        break;
      }
    }
  }
  return stack.pop();
}

const CompactExpr* compact_form(const CompactSlot& slot, const Expr& expr) {
  std::uintptr_t state = slot.state.load(std::memory_order_acquire);
  if (state > CompactSlot::kUnsuitable) [[likely]] {
    return reinterpret_cast<const CompactExpr*>(state);
  }
  if (state == CompactSlot::kUnsuitable) return nullptr;
  if (state == CompactSlot::kEmpty) {
    slot.state.compare_exchange_strong(state, CompactSlot::kSeen, std::memory_order_relaxed);
    return nullptr;
  }
  std::unique_ptr<CompactExpr> made = CompactExpr::compile(expr);
  const std::uintptr_t wanted =
      made ? reinterpret_cast<std::uintptr_t>(made.get()) : CompactSlot::kUnsuitable;
  if (slot.state.compare_exchange_strong(state, wanted, std::memory_order_acq_rel,
                                         std::memory_order_acquire)) {
    return made.release();
  }
  // Another thread kept its own first.
  return state > CompactSlot::kUnsuitable ? reinterpret_cast<const CompactExpr*>(state) : nullptr;
}

void CompactSlot::reset() noexcept {
  const std::uintptr_t state = this->state.load(std::memory_order_relaxed);
  if (state > kUnsuitable) delete reinterpret_cast<CompactExpr*>(state);
  this->state.store(kEmpty, std::memory_order_relaxed);
}

}  // namespace vrel::detail
