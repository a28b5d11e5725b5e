// Evaluating one expression for many records at once, lane by lane.
#include "vrel/detail/record_lanes.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <variant>

#include "operators.hpp"

namespace vrel::detail {

// One node, children before parents. A literal keeps its lane value, a read the index of its
// variable.
struct LaneExpr::Step {
  enum class Op : std::uint8_t {
    Value,
    Read,
    Add,
    Sub,
    Mul,
    Div,
    Equals,
    Greater,
    Less,
    Not,
    And,
    Or,
    Cond
  };
  Op op;
  LaneKind kind;        // Value
  std::uint64_t bits;   // Value
  std::uint32_t index;  // Read
};

namespace {

using Step = LaneExpr::Step;
using Op = Step::Op;

// Deeper trees are left to runs (whose own nesting rules then apply); a tree that shares a
// subtree many times over could be far larger written out than it is, so the written-out
// form has a cap too.
constexpr std::size_t kMaxDepth = 64;
constexpr std::size_t kMaxSteps = 4096;

class Compiler {
 public:
  // `pos`: the operand stack's height when `e` is evaluated; `depth`: its nesting.
  bool expr(const Expr& e, std::size_t pos, std::size_t depth) {
    if (depth > kMaxDepth || pos > kMaxDepth || code.size() >= kMaxSteps) return false;
    highest = std::max(highest, pos);
    switch (e.kind()) {
      case Expr::Kind::Literal:
        return value(std::get<Expr::Literal>(e.node()).value);
      case Expr::Kind::Constant:
        return value(*std::get<Expr::Constant>(e.node()).value);
      case Expr::Kind::Ident:
        return read(std::get<Expr::Ident>(e.node()).id);
      case Expr::Kind::BinaryOp: {
        const auto& n = std::get<Expr::BinaryOp>(e.node());
        static constexpr Op kOps[] = {Op::Add, Op::Sub, Op::Mul, Op::Div};
        return pair(*n.left, *n.right, kOps[static_cast<std::size_t>(n.op)], pos, depth);
      }
      case Expr::Kind::Equals: {
        const auto& n = std::get<Expr::Equals>(e.node());
        return pair(*n.left, *n.right, Op::Equals, pos, depth);
      }
      case Expr::Kind::GreaterThan: {
        const auto& n = std::get<Expr::GreaterThan>(e.node());
        return pair(*n.left, *n.right, Op::Greater, pos, depth);
      }
      case Expr::Kind::LessThan: {
        const auto& n = std::get<Expr::LessThan>(e.node());
        return pair(*n.left, *n.right, Op::Less, pos, depth);
      }
      case Expr::Kind::And: {
        const auto& n = std::get<Expr::And>(e.node());
        return pair(*n.left, *n.right, Op::And, pos, depth);
      }
      case Expr::Kind::Or: {
        const auto& n = std::get<Expr::Or>(e.node());
        return pair(*n.left, *n.right, Op::Or, pos, depth);
      }
      case Expr::Kind::Not:
        if (!expr(*std::get<Expr::Not>(e.node()).operand, pos, depth + 1)) return false;
        return emit(Step{Op::Not, LaneKind::Other, 0, 0});
      case Expr::Kind::Cond: {
        const auto& n = std::get<Expr::Cond>(e.node());
        if (!expr(*n.condition, pos, depth + 1) || !expr(*n.then, pos + 1, depth + 1) ||
            !expr(*n.otherwise, pos + 2, depth + 1)) {
          return false;
        }
        return emit(Step{Op::Cond, LaneKind::Other, 0, 0});
      }
      case Expr::Kind::Shared:
        return expr(*std::get<Expr::Shared>(e.node()).target, pos, depth + 1);
      case Expr::Kind::Call:
      case Expr::Kind::Vector:
        return false;
    }
    return false;
  }

  std::vector<Step> code;
  std::vector<Identifier> reads;
  std::size_t highest = 0;

 private:
  bool pair(const Expr& left, const Expr& right, Op op, std::size_t pos, std::size_t depth) {
    return expr(left, pos, depth + 1) && expr(right, pos + 1, depth + 1) &&
           emit(Step{op, LaneKind::Other, 0, 0});
  }
  bool value(const Value& v) {
    Step step{Op::Value, LaneKind::Other, 0, 0};
    return lane_of(v, step.kind, step.bits) && emit(step);
  }
  bool read(const Identifier& id) {
    auto it = std::find(reads.begin(), reads.end(), id);
    const auto index = static_cast<std::uint32_t>(it - reads.begin());
    if (it == reads.end()) reads.push_back(id);
    return emit(Step{Op::Read, LaneKind::Other, 0, index});
  }
  bool emit(Step step) {
    code.push_back(step);
    return true;
  }
};

bool is_number(LaneKind k) noexcept { return k == LaneKind::Int || k == LaneKind::Float; }

Number number_of(LaneKind k, std::uint64_t bits) noexcept {
  return k == LaneKind::Int ? Number::from_int(static_cast<std::int64_t>(bits))
                            : Number::from_float(std::bit_cast<double>(bits));
}

void set_number(Lanes& out, std::size_t i, Number n) noexcept {
  out.kind[i] = n.is_int() ? LaneKind::Int : LaneKind::Float;
  out.bits[i] = n.is_int() ? static_cast<std::uint64_t>(n.as_int())
                           : std::bit_cast<std::uint64_t>(n.as_float());
}

void set_bool(Lanes& out, std::size_t i, bool b) noexcept {
  out.kind[i] = LaneKind::Bool;
  out.bits[i] = b ? 1 : 0;
}

void set_other(Lanes& out, std::size_t i) noexcept {
  out.kind[i] = LaneKind::Other;
  out.bits[i] = 0;
}

void settle_uniform(Lanes& out, std::size_t n) noexcept {
  LaneKind u = n ? out.kind[0] : LaneKind::Other;
  for (std::size_t i = 1; i < n; ++i) {
    if (out.kind[i] != u) return void(out.uniform = LaneKind::Other);
  }
  out.uniform = u;
}

void fill(Lanes& out, std::size_t n, LaneKind kind, std::uint64_t bits) noexcept {
  std::fill_n(out.bits, n, bits);
  std::memset(out.kind, static_cast<int>(kind), n);
  out.uniform = kind;
}

// Arithmetic. Two ints wrap (division excepted: its zero divisor and overflow are failures,
// left to a run); anything but two numbers fails.
void arithmetic(Op op, std::size_t n, const Lanes& l, const Lanes& r, Lanes& out) noexcept {
  if (l.uniform == LaneKind::Int && r.uniform == LaneKind::Int && op != Op::Div) {
    const auto apply = [&](auto f) {
      for (std::size_t i = 0; i < n; ++i) out.bits[i] = f(l.bits[i], r.bits[i]);
    };
    if (op == Op::Add) apply([](std::uint64_t a, std::uint64_t b) { return a + b; });
    if (op == Op::Sub) apply([](std::uint64_t a, std::uint64_t b) { return a - b; });
    if (op == Op::Mul) apply([](std::uint64_t a, std::uint64_t b) { return a * b; });
    std::memset(out.kind, static_cast<int>(LaneKind::Int), n);
    out.uniform = LaneKind::Int;
    return;
  }
  static constexpr BinaryOperator kOperators[] = {BinaryOperator::Add, BinaryOperator::Sub,
                                                  BinaryOperator::Mul, BinaryOperator::Div};
  const BinaryOperator bop = kOperators[static_cast<int>(op) - static_cast<int>(Op::Add)];
  for (std::size_t i = 0; i < n; ++i) {
    const LaneKind lk = l.kind[i], rk = r.kind[i];
    if (!is_number(lk) || !is_number(rk)) {
      set_other(out, i);
      continue;
    }
    if (op == Op::Div && lk == LaneKind::Int && rk == LaneKind::Int) {
      const auto a = static_cast<std::int64_t>(l.bits[i]);
      const auto b = static_cast<std::int64_t>(r.bits[i]);
      if (b == 0 || (a == std::numeric_limits<std::int64_t>::min() && b == -1)) {
        set_other(out, i);
        continue;
      }
    }
    set_number(out, i, number_operation(bop, number_of(lk, l.bits[i]), number_of(rk, r.bits[i])));
  }
  settle_uniform(out, n);
}

// ==: two numbers (an int never equals a float) or two booleans; anything else is left to a
// run (texts and vectors compare there, mixed kinds may fail there).
void equals(std::size_t n, const Lanes& l, const Lanes& r, Lanes& out) noexcept {
  if (l.uniform == LaneKind::Int && r.uniform == LaneKind::Int) {
    for (std::size_t i = 0; i < n; ++i) out.bits[i] = l.bits[i] == r.bits[i];
    std::memset(out.kind, static_cast<int>(LaneKind::Bool), n);
    out.uniform = LaneKind::Bool;
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const LaneKind lk = l.kind[i], rk = r.kind[i];
    if (is_number(lk) && is_number(rk)) {
      set_bool(out, i, numbers_equal(number_of(lk, l.bits[i]), number_of(rk, r.bits[i])));
    } else if (lk == LaneKind::Bool && rk == LaneKind::Bool) {
      set_bool(out, i, l.bits[i] == r.bits[i]);
    } else {
      set_other(out, i);
    }
  }
  settle_uniform(out, n);
}

// > and <: numbers only.
void ordering(Op op, std::size_t n, const Lanes& l, const Lanes& r, Lanes& out) noexcept {
  const bool greater = op == Op::Greater;
  if (l.uniform == LaneKind::Int && r.uniform == LaneKind::Int) {
    for (std::size_t i = 0; i < n; ++i) {
      const auto a = static_cast<std::int64_t>(l.bits[i]);
      const auto b = static_cast<std::int64_t>(r.bits[i]);
      out.bits[i] = greater ? a > b : a < b;
    }
    std::memset(out.kind, static_cast<int>(LaneKind::Bool), n);
    out.uniform = LaneKind::Bool;
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const LaneKind lk = l.kind[i], rk = r.kind[i];
    if (!is_number(lk) || !is_number(rk)) {
      set_other(out, i);
      continue;
    }
    const int c = compare_numbers(number_of(lk, l.bits[i]), number_of(rk, r.bits[i]));
    set_bool(out, i, greater ? c > 0 : c < 0);
  }
  settle_uniform(out, n);
}

void logical_not(std::size_t n, const Lanes& v, Lanes& out) noexcept {
  if (v.uniform == LaneKind::Bool) {
    for (std::size_t i = 0; i < n; ++i) out.bits[i] = v.bits[i] ^ 1;
    std::memset(out.kind, static_cast<int>(LaneKind::Bool), n);
    out.uniform = LaneKind::Bool;
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (v.kind[i] == LaneKind::Bool) {
      set_bool(out, i, v.bits[i] == 0);
    } else {
      set_other(out, i);
    }
  }
  settle_uniform(out, n);
}

// and/or: a run evaluates the right operand only when the left one does not decide, so a
// lane decided by its left operand takes no notice of the right one (evaluated here for
// every lane, harmlessly).
void short_circuit(Op op, std::size_t n, const Lanes& l, const Lanes& r, Lanes& out) noexcept {
  const std::uint64_t deciding = op == Op::Or ? 1 : 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (l.kind[i] != LaneKind::Bool) {
      set_other(out, i);
    } else if (l.bits[i] == deciding) {
      set_bool(out, i, deciding != 0);
    } else if (r.kind[i] == LaneKind::Bool) {
      set_bool(out, i, r.bits[i] != 0);
    } else {
      set_other(out, i);
    }
  }
  settle_uniform(out, n);
}

void choose(std::size_t n, const Lanes& c, const Lanes& t, const Lanes& o, Lanes& out) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    if (c.kind[i] != LaneKind::Bool) {
      set_other(out, i);
      continue;
    }
    const Lanes& chosen = c.bits[i] ? t : o;
    out.kind[i] = chosen.kind[i];
    out.bits[i] = chosen.bits[i];
  }
  settle_uniform(out, n);
}

}  // namespace

LaneExpr::~LaneExpr() = default;

std::unique_ptr<LaneExpr> LaneExpr::compile(const Expr& expr) {
  Compiler compiler;
  if (!compiler.expr(expr, 0, 0)) return nullptr;
  std::unique_ptr<LaneExpr> form(new LaneExpr());
  form->code_ = std::move(compiler.code);
  form->reads_ = std::move(compiler.reads);
  form->depth_ = compiler.highest + 1;
  return form;
}

LaneScratch::LaneScratch() = default;
LaneScratch::~LaneScratch() = default;

void LaneExpr::run(std::size_t n, const Lanes* const* reads, Lanes& out,
                   LaneScratch& scratch) const {
  // Slot p of the operand stack is either an input's lanes (a read, never written) or the
  // scratch buffer of depth p; an operation writes its result, lane by lane after reading
  // that lane's operands, into the buffer of its first operand's depth.
  std::vector<std::unique_ptr<Lanes>>& buffers = scratch.stack_;
  while (buffers.size() < depth_) buffers.push_back(std::make_unique<Lanes>());
  const Lanes* stack[kMaxDepth + 1];
  std::size_t sp = 0;
  for (const Step& step : code_) {
    switch (step.op) {
      case Op::Value: {
        Lanes& slot = *buffers[sp];
        fill(slot, n, step.kind, step.bits);
        stack[sp++] = &slot;
        break;
      }
      case Op::Read:
        stack[sp++] = reads[step.index];
        break;
      case Op::Add:
      case Op::Sub:
      case Op::Mul:
      case Op::Div:
        sp -= 2;
        arithmetic(step.op, n, *stack[sp], *stack[sp + 1], *buffers[sp]);
        stack[sp] = buffers[sp].get();
        ++sp;
        break;
      case Op::Equals:
        sp -= 2;
        equals(n, *stack[sp], *stack[sp + 1], *buffers[sp]);
        stack[sp] = buffers[sp].get();
        ++sp;
        break;
      case Op::Greater:
      case Op::Less:
        sp -= 2;
        ordering(step.op, n, *stack[sp], *stack[sp + 1], *buffers[sp]);
        stack[sp] = buffers[sp].get();
        ++sp;
        break;
      case Op::And:
      case Op::Or:
        sp -= 2;
        short_circuit(step.op, n, *stack[sp], *stack[sp + 1], *buffers[sp]);
        stack[sp] = buffers[sp].get();
        ++sp;
        break;
      case Op::Not:
        logical_not(n, *stack[sp - 1], *buffers[sp - 1]);
        stack[sp - 1] = buffers[sp - 1].get();
        break;
      case Op::Cond:
        sp -= 3;
        choose(n, *stack[sp], *stack[sp + 1], *stack[sp + 2], *buffers[sp]);
        stack[sp] = buffers[sp].get();
        ++sp;
        break;
    }
  }
  const Lanes& result = *stack[0];
  std::memcpy(out.bits, result.bits, n * sizeof out.bits[0]);
  std::memcpy(out.kind, result.kind, n);
  out.uniform = result.uniform;
}

}  // namespace vrel::detail
