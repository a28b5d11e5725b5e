// The compact form of an expression: making it, keeping it in a let, and running it.
#include "compact_expr.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_set>
#include <utility>

#include "checked.hpp"
#include "error_place.hpp"
#include "messages.hpp"
#include "node_results.hpp"
#include "operators.hpp"
#include "run_budget.hpp"
#include "stack_guard.hpp"
#include "tree_access.hpp"
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
    e = std::get_if<Expr::Shared>(&e->node())->target.get();
  }
  return true;
}

// The children of a node in evaluation order; false for a node the compact form leaves to
// the tree walk (a vector; a link is followed before its node is looked at).
bool children_of(const Expr& e, const Expr* (&out)[3], unsigned& count) noexcept {
  count = 0;
  if (e.kind() == Expr::Kind::Vector || e.kind() == Expr::Kind::Shared) return false;
  e.each_child([&](const Expr& child) { out[count++] = &child; });
  return true;
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
  void push(Operand&& v) noexcept {
    VREL_EXPECT(size_ <= CompactExpr::kMaxDepth);  // one operand per level of the tree
    new (slot(size_++)) Operand(std::move(v));
  }
  // The operand `depth` places below the top (0: the top).
  Operand& at(unsigned depth) noexcept {
    VREL_EXPECT(depth < size_);
    return *slot(size_ - 1 - depth);
  }
  Operand pop() noexcept {
    VREL_EXPECT(size_ > 0);
    Operand& top = *slot(--size_);
    Operand v(std::move(top));
    top.~Operand();
    return v;
  }
  // Replaces the top two operands, both plain (nothing to release), by `result`.
  void combine_plain(Operand&& result) noexcept {
    VREL_EXPECT(size_ >= 2 && at(0).is_plain() && at(1).is_plain());
    --size_;
    new (slot(size_ - 1)) Operand(std::move(result));
  }
  // Replaces the top operand, plain, by `result`.
  void replace_plain_top(Operand&& result) noexcept {
    VREL_EXPECT(size_ > 0 && at(0).is_plain());
    new (slot(size_ - 1)) Operand(std::move(result));
  }
  // Replaces the top `count` operands by `result`, the top one released first, as the tree
  // walk releases its right operand before its left.
  void replace(unsigned count, Operand&& result) noexcept {
    VREL_EXPECT(count <= size_);
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

// Replaces the top two operands by the result of the comparison `op` on them; the site of
// the failure instead, leaving the stack as it was, when the comparison would fail on them.
[[gnu::always_inline]] inline const FailureSite* pair_step(OperandStack& stack, PairOp op) {
  const Operand& l = stack.at(1);
  const Operand& r = stack.at(0);
  if (both_plain_ints(op, l, r)) {
    stack.combine_plain(pair_result(op, l.plain_int(), r.plain_int()));
    return nullptr;
  }
  if (op != PairOp::Equals) {
    if (const FailureSite* site = compare_failure(l, r)) [[unlikely]] {
      return site;
    }
  }
  stack.replace(2, general_result(op, l, r));
  return nullptr;
}

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

// The instructions and names of a form being made, before they go into its block.
class CompactExpr::Builder {
 public:
  std::vector<Instr> code;
  std::vector<const Identifier*> names;
  std::uint32_t depth = 1;

  // The index of `id` among the names, added if new. A name read many times is listed once
  // (the form's memo of its cell serves every read); past a few dozen names new ones are
  // appended without a search, so that making a form stays linear.
  std::uint32_t name(const Identifier& id) {
    constexpr std::size_t kSearched = 64;
    const std::size_t searched = std::min(names.size(), kSearched);
    for (std::size_t i = 0; i < searched; ++i) {
      if (same_identifier(*names[i], id)) return static_cast<std::uint32_t>(i);
    }
    names.push_back(&id);
    return static_cast<std::uint32_t>(names.size() - 1);
  }
};

// Instr::up: the signed distance to the instruction that stands for the node above, times 4,
// plus the child's position (kSelf: the instruction is a test that fails as that node).
std::uint16_t CompactExpr::up_link(std::uint32_t from, std::uint32_t to, unsigned position) {
  const std::int64_t distance = static_cast<std::int64_t>(to) - static_cast<std::int64_t>(from);
  if (distance < -8192 || distance > 8191 || distance == 0) return kUpUnknown;
  return static_cast<std::uint16_t>((static_cast<std::uint64_t>(distance) & 0x3FFF) << 2 |
                                    position);
}

CompactExpr::Owner CompactExpr::compile(const Statement::Let& statement) {
  Builder out;
  out.names.push_back(&statement.id);  // names()[0]: the target
  struct Frame {
    const Expr* node;
    unsigned next;               // the next child to visit
    std::uint32_t pending[2]{};  // jumps of this node whose target is not known yet
    std::uint32_t emitted[3]{};  // the representative instructions of its children (see up)
  };
  // Room for the usual depths only: a reservation for kMaxDepth frames (2.5 KiB) is beyond the
  // allocator's per-thread cache, and the chunk it frees, split for later small allocations,
  // scattered the compact forms of consecutive statements over the heap (cache misses at every
  // statement of a long program). Deeper trees grow the path; no frame reference outlives a
  // push_back.
  std::vector<Frame> path;
  path.reserve(16);
  std::unordered_set<const Expr*> seen;
  const Expr* top = &statement.expr;
  if (!through_links(top, seen)) return nullptr;
  path.push_back({top, 0, {}, {}});
  std::uint32_t entered = 1;  // nodes entered since the last instruction
  const auto emit = [&](Instr in) {
    in.enters = entered;
    entered = 0;
    out.code.push_back(in);
    return static_cast<std::uint32_t>(out.code.size() - 1);
  };
  const auto jump_here = [&](std::uint32_t jump) {
    out.code[jump].target = static_cast<std::uint32_t>(out.code.size());
  };
  // Each node's children point up to the instruction that stands for it (`here`), and so does
  // its test of an operand (`test`), which fails as the node itself.
  constexpr std::uint32_t kNoTest = UINT32_MAX;
  const auto link_up = [&](const Frame& frame, unsigned count, std::uint32_t here,
                           std::uint32_t test) {
    for (unsigned c = 0; c < count; ++c) {
      out.code[frame.emitted[c]].up = up_link(frame.emitted[c], here, c);
    }
    if (test != kNoTest) out.code[test].up = up_link(test, here, kSelf);
  };
  while (!path.empty()) {
    Frame& frame = path.back();
    const Expr& e = *frame.node;
    const Expr* children[3] = {nullptr, nullptr, nullptr};
    unsigned count = 0;
    if (!children_of(e, children, count)) return nullptr;
    if (frame.next < count) {
      // Between two operands: the short-circuit nodes decide whether to go on.
      if (frame.next == 1 || frame.next == 2) {
        Instr in{};
        switch (e.kind()) {
          case Expr::Kind::And:
            in.op = Op::AndLeft;
            frame.pending[0] = emit(in);
            break;
          case Expr::Kind::Or:
            in.op = Op::OrLeft;
            frame.pending[0] = emit(in);
            break;
          case Expr::Kind::Cond:
            if (frame.next == 1) {
              in.op = Op::Branch;
              frame.pending[0] = emit(in);
            } else {
              in.op = Op::Jump;
              frame.pending[1] = emit(in);
              jump_here(frame.pending[0]);
            }
            break;
          default:
            break;
        }
      }
      const Expr* child = children[frame.next++];
      if (path.size() >= kMaxDepth || !through_links(child, seen)) return nullptr;
      path.push_back({child, 0, {}, {}});
      out.depth = std::max<std::uint32_t>(out.depth, static_cast<std::uint32_t>(path.size()));
      ++entered;
      continue;
    }
    Instr in{};
    switch (e.kind()) {
      case Expr::Kind::Literal: {
        const auto& literal = *std::get_if<Expr::Literal>(&e.node());
        if (!inline_plain(literal.value, in)) {
          in.op = Op::Literal;
          in.literal = &literal;
        }
        break;
      }
      case Expr::Kind::Constant: {
        // A number or boolean is the same operand whether borrowed or copied: inline.
        const SharedValue& constant = std::get_if<Expr::Constant>(&e.node())->value;
        if (!inline_plain(*constant, in)) {
          in.op = Op::Constant;
          in.constant = &constant;
        }
        break;
      }
      case Expr::Kind::Ident:
        in.op = Op::Read;
        in.name = out.name(std::get_if<Expr::Ident>(&e.node())->id);
        break;
      case Expr::Kind::BinaryOp:
        in.op = Op::Binary;
        in.binary = std::get_if<Expr::BinaryOp>(&e.node())->op;
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
        in.name = out.name(std::get_if<Expr::Call>(&e.node())->function);
        break;
      case Expr::Kind::And:
      case Expr::Kind::Or: {
        in.op = e.kind() == Expr::Kind::And ? Op::AndRight : Op::OrRight;
        const std::uint32_t left_test = frame.pending[0];
        const std::uint32_t here = emit(in);
        jump_here(left_test);
        link_up(frame, count, here, left_test);
        path.pop_back();
        if (!path.empty()) path.back().emitted[path.back().next - 1] = here;
        continue;
      }
      case Expr::Kind::Cond: {
        // No instruction of its own: the taken branch's value is the result. Its Jump stands
        // for it in the links up.
        jump_here(frame.pending[1]);
        const std::uint32_t here = frame.pending[1];
        link_up(frame, count, here, frame.pending[0]);
        path.pop_back();
        if (!path.empty()) path.back().emitted[path.back().next - 1] = here;
        continue;
      }
      case Expr::Kind::Vector:
      case Expr::Kind::Shared:
        return nullptr;
    }
    const std::uint32_t here = emit(in);
    link_up(frame, count, here, kNoTest);
    path.pop_back();
    if (!path.empty()) path.back().emitted[path.back().next - 1] = here;
  }
  // One block: the header, the instructions, the names (copied, each with an empty memo).
  const auto code_size = static_cast<std::uint32_t>(out.code.size());
  const auto name_count = static_cast<std::uint32_t>(out.names.size());
  void* block = ::operator new(block_bytes(code_size, name_count));
  Owner form(new (block) CompactExpr(code_size, 0, out.depth));
  std::memcpy(const_cast<Instr*>(form->code()), out.code.data(), code_size * sizeof(Instr));
  auto* names = const_cast<Name*>(form->names());
  for (std::uint32_t i = 0; i < name_count; ++i) {
    new (&names[i]) Name{*out.names[i], CellMemo{}};
    // Counted as they are made: should a copy throw, the deleter destroys only these.
    form->name_count_ = i + 1;
  }
  return form;
}

void CompactExpr::Deleter::operator()(CompactExpr* form) const noexcept {
  auto* names = const_cast<Name*>(form->names());
  for (std::uint32_t i = 0; i < form->name_count_; ++i) names[i].~Name();
  form->~CompactExpr();
  ::operator delete(static_cast<void*>(form));
}

bool CompactExpr::fits_stack() const noexcept {
  std::uintptr_t limit = tl_fatal_below;
  if (__builtin_expect(limit == 0, 0)) {
    init_stack_limits();
    limit = tl_fatal_below;
  }
  return stack_pointer() > limit + depth_ * kTreeWalkFrameBytes;
}

// A failure found without unwinding: reported, kept in `failure` with its instruction.
[[gnu::cold, gnu::noinline]] Operand fail_softly(SoftFailure& failure, const FailureSite& site,
                                                 const Identifier* about,
                                                 std::uint32_t instruction) {
  std::string message = site.message;
  if (about) message += about->debug();
  report_fatal(message, site.where);
  failure = std::make_unique<FatalError>(std::move(message));
  note_compact_instruction(*failure, instruction);
  return Operand::boolean(false);
}

Operand CompactExpr::run(const Machine& m, SoftFailure& failure) const {
  OperandStack stack;
  const VariableStore& store = store_of(m);
  const Name* names = this->names();
  const Instr* const start = code();
  const Instr* at = start;
  const auto instruction = [start](const Instr* i) {
    return static_cast<std::uint32_t>(i - start);
  };
  // A failure records the instruction it struck at (see error_place.hpp): the handler is
  // all it costs, and only when an error passes.
  try {
    // A jump sets `at` just before its target (always a later instruction).
    for (const Instr* end = start + code_size_; at != end; ++at) {
      const Instr& in = *at;
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
        case Op::Read: {
          const Name& name = names[in.name];
          const VariableCell* cell = store.cell_to_read(name.id, &name.memo);
          if (!cell) [[unlikely]] {
            return fail_softly(failure, kValueNotFoundSite, &name.id, instruction(at));
          }
          stack.push(cell->read());
          break;
        }
        case Op::Binary: {
          // As in the tree walk, arithmetic calls binary_result itself: its operator is only
          // known at run time.
          const Operand& l = stack.at(1);
          const Operand& r = stack.at(0);
          const auto op = static_cast<PairOp>(in.binary);
          if (op > PairOp::Div) __builtin_unreachable();
          if (both_plain_ints(op, l, r)) {
            stack.combine_plain(pair_result(op, l.plain_int(), r.plain_int()));
          } else {
            if (const FailureSite* site = binary_failure(in.binary, l, r)) [[unlikely]] {
              return fail_softly(failure, *site, nullptr, instruction(at));
            }
            stack.replace(2, binary_result(in.binary, l, r));
          }
          break;
        }
        case Op::Equals:
          pair_step(stack, PairOp::Equals);  // never fails
          break;
        case Op::Greater:
          if (const FailureSite* site = pair_step(stack, PairOp::Greater)) [[unlikely]] {
            return fail_softly(failure, *site, nullptr, instruction(at));
          }
          break;
        case Op::Less:
          if (const FailureSite* site = pair_step(stack, PairOp::Less)) [[unlikely]] {
            return fail_softly(failure, *site, nullptr, instruction(at));
          }
          break;
        case Op::Not: {
          const Operand& v = stack.at(0);
          if (v.is_plain_boolean()) {
            stack.replace_plain_top(Operand::boolean(!v.plain_boolean()));
          } else {
            if (const FailureSite* site = not_failure(v)) [[unlikely]] {
              return fail_softly(failure, *site, nullptr, instruction(at));
            }
            stack.replace(1, not_result(v));
          }
          break;
        }
        case Op::Call: {
          Operand argument = stack.pop();
          const Name& name = names[in.name];
          const FailureSite* site = nullptr;
          Operand result = call_checked(m, name.id, name.memo, std::move(argument), site);
          if (site) [[unlikely]] {
            return fail_softly(failure, *site, site == &kValueNotFoundSite ? &name.id : nullptr,
                               instruction(at));
          }
          stack.push(std::move(result));
          break;
        }
        case Op::AndLeft:
          if (boolean_operand(stack.at(0), text::kAndNonBoolean)) {
            stack.pop();
          } else {
            stack.replace(1, Operand::boolean(false));
            at = start + in.target - 1;
          }
          break;
        case Op::OrLeft:
          if (!boolean_operand(stack.at(0), text::kOrNonBoolean)) {
            stack.pop();
          } else {
            stack.replace(1, Operand::boolean(true));
            at = start + in.target - 1;
          }
          break;
        case Op::AndRight:
          stack.replace(1, Operand::boolean(boolean_operand(stack.at(0), text::kAndNonBoolean)));
          break;
        case Op::OrRight:
          stack.replace(1, Operand::boolean(boolean_operand(stack.at(0), text::kOrNonBoolean)));
          break;
        case Op::Branch:
          if (!boolean_operand(stack.pop(), text::kConditionNotBoolean)) at = start + in.target - 1;
          break;
        case Op::Jump:
          at = start + in.target - 1;
          break;
      }
    }
  } catch (FatalError& error) {
    note_compact_instruction(error, instruction(at));
    throw;
  }
  return stack.pop();
}

bool CompactExpr::node_path(std::uint32_t instruction,
                            std::vector<ErrorPlace::Step>& out) const noexcept {
  if (instruction >= code_size_) return false;
  const Instr* code = this->code();
  const auto decode = [&](std::uint32_t at, std::uint32_t& to, unsigned& position) {
    const std::uint16_t up = code[at].up;
    if (up == 0 || up == kUpUnknown) return up == 0;
    std::int64_t distance = up >> 2;
    if (distance >= 0x2000) distance -= 0x4000;  // 14-bit two's complement
    to = static_cast<std::uint32_t>(static_cast<std::int64_t>(at) + distance);
    position = up & 3;
    return true;
  };
  // Steps from the node up, two per level (a key, then an index or kNoStep).
  constexpr std::size_t kNoStep = static_cast<std::size_t>(-1);
  ErrorPlace::Step steps[2 * (kMaxDepth + 2)];
  std::size_t count = 0;
  std::uint32_t at = instruction;
  std::uint32_t to = 0;
  unsigned position = 0;
  if (code[at].up != 0 && code[at].up != kUpUnknown && (code[at].up & 3) == kSelf) {
    if (!decode(at, to, position) || to >= code_size_) return false;
    at = to;  // a test fails as its node
  }
  while (code[at].up != 0) {
    if (!decode(at, to, position) || to >= code_size_ || position == kSelf ||
        count + 2 > sizeof steps / sizeof steps[0]) {
      return false;
    }
    const char* key = nullptr;
    std::size_t index = position;
    switch (code[to].op) {
      case Op::Binary:
        key = "binary_op";
        index = position == 0 ? 0 : 2;
        break;
      case Op::Equals:
        key = "equals";
        break;
      case Op::Greater:
        key = "greater_than";
        break;
      case Op::Less:
        key = "less_than";
        break;
      case Op::Not:
        key = "not";
        index = kNoStep;
        break;
      case Op::Call:
        key = "call";
        index = 1;
        break;
      case Op::AndRight:
        key = "and";
        break;
      case Op::OrRight:
        key = "or";
        break;
      case Op::Jump:
        key = "cond";
        break;
      default:
        return false;
    }
    if (index != kNoStep) steps[count++] = {nullptr, index};
    steps[count++] = {key, 0};
    at = to;
  }
  try {
    while (count > 0) out.push_back(steps[--count]);
  } catch (const std::bad_alloc&) {
  }
  return true;
}

const CompactExpr* compact_form(const Statement::Let& statement) {
  const CompactSlot& slot = TreeAccess::compact(statement);
  std::uintptr_t state = slot.state.load(std::memory_order_acquire);
  if (state > CompactSlot::kUnsuitable) [[likely]] {
    return reinterpret_cast<const CompactExpr*>(state);
  }
  if (state == CompactSlot::kUnsuitable) return nullptr;
  if (state == CompactSlot::kEmpty) {
    slot.state.compare_exchange_strong(state, CompactSlot::kSeen, std::memory_order_relaxed);
    return nullptr;
  }
  CompactExpr::Owner made = CompactExpr::compile(statement);
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
  if (state > kUnsuitable) CompactExpr::Deleter{}(reinterpret_cast<CompactExpr*>(state));
  this->state.store(kEmpty, std::memory_order_relaxed);
}

}  // namespace vrel::detail
