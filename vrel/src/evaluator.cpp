// The evaluator: executes statements and evaluates expressions against a machine.
//
// Two modes share one implementation. Consuming evaluation (Consume = true) owns the tree
// and moves literal values and function objects out of it. Borrowing evaluation reads the
// tree and leaves it intact, copying literal values and cloning function objects instead;
// a Shared subtree is always evaluated this way, since other trees own it too.
//
// Every statement executed and every node evaluated counts one step of the run's budget
// (run_budget.hpp); the links to shared subtrees are not nodes of their own.
#include "vrel/evaluator.hpp"

#include <type_traits>

#include "compact_expr.hpp"
#include "messages.hpp"
#include "node_results.hpp"
#include "operand.hpp"
#include "operators.hpp"
#include "run_budget.hpp"
#include "stack_guard.hpp"
#include "tree_access.hpp"
#include "variable_store.hpp"
#include "vrel/fatal.hpp"

namespace vrel {
namespace {

template <bool Consume, class T>
using Ref = std::conditional_t<Consume, T&, const T&>;

// The payload of a node: writable when the evaluation consumes the tree, which it owns.
template <bool Consume, class Tree>
Ref<Consume, typename Tree::Node> payload(Ref<Consume, Tree> tree) noexcept {
  return detail::TreeAccess::node(tree);
}

// A child of a node: writable when the evaluation consumes the tree.
template <bool Consume>
Ref<Consume, Expr> child(Ref<Consume, ExprBox> box) noexcept {
  return detail::TreeAccess::child(box);
}

// eval() recurses once per level of nesting, so its frame is kept small: everything that
// needs more locals than the two operands lives in out-of-line helpers.
template <bool Consume>
Operand eval(const Machine& m, Ref<Consume, Expr> e);

// A comparison of its two operands, evaluated left to right, `op` known where it is inlined.
// (Arithmetic, whose operator is only known at run time, calls binary_result itself: a
// general_result dispatching on a run-time operator widens eval's frame, which every level
// of nesting pays.)
template <bool Consume>
[[gnu::always_inline]] inline Operand eval_pair(const Machine& m, PairOp op,
                                                Ref<Consume, ExprBox> left,
                                                Ref<Consume, ExprBox> right) {
  Operand l = eval<Consume>(m, child<Consume>(left));
  Operand r = eval<Consume>(m, child<Consume>(right));
  if (both_plain_ints(op, l, r)) return pair_result(op, l.plain_int(), r.plain_int());
  return general_result(op, l, r);
}

template <bool Consume>
[[gnu::noinline]] SharedValue eval_vector(const Machine& m, Ref<Consume, Expr::Vector> v) {
  charge_vector(v.items.size());
  Value::Vector items;
  items.reserve(v.items.size());
  for (auto& item : v.items) items.push_back(eval<Consume>(m, item).share());
  return SharedValue::make(Value::vector(std::move(items)));
}

// Operations on plain ints and booleans are done inline; node_results.hpp takes every other
// case.
template <bool Consume>
Operand eval(const Machine& m, Ref<Consume, Expr> e) {
  check_stack();
  // Borrowed trees are read through chains of shared subtrees without a call per link.
  Ref<Consume, Expr> x = [&]() -> Ref<Consume, Expr> {
    if constexpr (Consume) {
      return e;
    } else {
      const Expr* target = &e;
      while (target->kind() == Expr::Kind::Shared) {
        target = std::get_if<Expr::Shared>(&target->node())->target.get();
      }
      return *target;
    }
  }();
  // A link to a shared subtree is no node of its own: the subtree counts its own nodes.
  if (!Consume || x.kind() != Expr::Kind::Shared) count_step();
  auto& node = payload<Consume, Expr>(x);
  switch (x.kind()) {
    case Expr::Kind::Literal:
      return literal_result(*std::get_if<Expr::Literal>(&node));
    case Expr::Kind::Ident: {
      const Expr::Ident& n = *std::get_if<Expr::Ident>(&node);
      return store_of(m).read(n.id, &detail::TreeAccess::memo(n));
    }
    case Expr::Kind::BinaryOp: {
      auto& n = *std::get_if<Expr::BinaryOp>(&node);
      Operand l = eval<Consume>(m, child<Consume>(n.left));
      Operand r = eval<Consume>(m, child<Consume>(n.right));
      const auto op = static_cast<PairOp>(n.op);  // arithmetic
      if (both_plain_ints(op, l, r)) return pair_result(op, l.plain_int(), r.plain_int());
      return binary_result(n.op, l, r);
    }
    case Expr::Kind::Equals: {
      auto& n = *std::get_if<Expr::Equals>(&node);
      return eval_pair<Consume>(m, PairOp::Equals, n.left, n.right);
    }
    case Expr::Kind::Not: {
      Operand v = eval<Consume>(m, child<Consume>(std::get_if<Expr::Not>(&node)->operand));
      if (v.is_plain_boolean()) return Operand::boolean(!v.plain_boolean());
      return not_result(v);
    }
    case Expr::Kind::GreaterThan: {
      auto& n = *std::get_if<Expr::GreaterThan>(&node);
      return eval_pair<Consume>(m, PairOp::Greater, n.left, n.right);
    }
    case Expr::Kind::LessThan: {
      auto& n = *std::get_if<Expr::LessThan>(&node);
      return eval_pair<Consume>(m, PairOp::Less, n.left, n.right);
    }
    case Expr::Kind::Call: {
      auto& n = *std::get_if<Expr::Call>(&node);
      return call_function(m, n.function, detail::TreeAccess::memo(n),
                           eval<Consume>(m, child<Consume>(n.argument)));
    }
    case Expr::Kind::Vector:
      return eval_vector<Consume>(m, *std::get_if<Expr::Vector>(&node));
    case Expr::Kind::Shared:
      // Other trees own the subtree too: it is read, never consumed. (A borrowed tree has
      // already followed the chain above and does not get here.)
      return eval<false>(m, *std::get_if<Expr::Shared>(&node)->target);
    case Expr::Kind::Constant:
      if constexpr (Consume) {
        return std::move(std::get_if<Expr::Constant>(&node)->value);
      } else {
        return Operand::borrow(std::get_if<Expr::Constant>(&node)->value);
      }
    // Each operand is released before the next one is evaluated.
    case Expr::Kind::And: {
      auto& n = *std::get_if<Expr::And>(&node);
      if (!boolean_operand(eval<Consume>(m, child<Consume>(n.left)), text::kAndNonBoolean)) {
        return Operand::boolean(false);
      }
      return Operand::boolean(
          boolean_operand(eval<Consume>(m, child<Consume>(n.right)), text::kAndNonBoolean));
    }
    case Expr::Kind::Or: {
      auto& n = *std::get_if<Expr::Or>(&node);
      if (boolean_operand(eval<Consume>(m, child<Consume>(n.left)), text::kOrNonBoolean)) {
        return Operand::boolean(true);
      }
      return Operand::boolean(
          boolean_operand(eval<Consume>(m, child<Consume>(n.right)), text::kOrNonBoolean));
    }
    case Expr::Kind::Cond: {
      auto& n = *std::get_if<Expr::Cond>(&node);
      const bool chosen = boolean_operand(eval<Consume>(m, child<Consume>(n.condition)),
                                          text::kConditionNotBoolean);
      return eval<Consume>(m, child<Consume>(chosen ? n.then : n.otherwise));
    }
  }
  __builtin_unreachable();  // every kind returns above
}

// Binds `id`; the previous value is released here, after insert has given the shard lock
// back. A consumed identifier is moved into the store, a borrowed one copied.
void bind(const Machine& m, Identifier& id, Operand value, const detail::CellMemo* memo) {
  SharedValue previous = store_of(m).insert(std::move(id), std::move(value), memo);
}
void bind(const Machine& m, const Identifier& id, Operand value, const detail::CellMemo* memo) {
  SharedValue previous = store_of(m).insert(id, std::move(value), memo);
}

template <bool Consume, class Statements>
void run_block(const Machine& m, Statements& program);

// The blocks are shared by every copy of the statement: they are read, never consumed.
template <bool Consume>
[[gnu::noinline]] void run_if(const Machine& m, Ref<Consume, Statement::If> s) {
  const bool chosen = boolean_operand(eval<Consume>(m, s.condition), text::kConditionNotBoolean);
  run_block<false>(m, chosen ? s.then_block : s.otherwise_block);
}

template <bool Consume>
void execute(const Machine& m, Ref<Consume, Statement> statement) {
  count_step();
  switch (statement.kind()) {
    case Statement::Kind::Let: {
      auto& s = *std::get_if<Statement::Let>(&payload<Consume, Statement>(statement));
      if constexpr (!Consume) {
        const detail::CompactExpr* compact = detail::compact_form(s);
        if (compact && compact->fits_stack()) {
          const detail::CompactExpr::Name& target = compact->target();
          bind(m, target.id, compact->run(m), &target.memo);
          break;
        }
      }
      bind(m, s.id, eval<Consume>(m, s.expr), &detail::TreeAccess::memo(s));
      break;
    }
    case Statement::Kind::If:
      run_if<Consume>(m, *std::get_if<Statement::If>(&payload<Consume, Statement>(statement)));
      break;
    case Statement::Kind::Fn: {
      auto& s = *std::get_if<Statement::Fn>(&payload<Consume, Statement>(statement));
      if constexpr (Consume) {
        bind(m, s.id, SharedValue::make(Value::function(std::move(s.function))), nullptr);
      } else {
        bind(m, s.id, SharedValue::make(Value::function(s.function->clone_box())), nullptr);
      }
      break;
    }
  }
}

template <bool Consume, class Statements>
void run_block(const Machine& m, Statements& program) {
  check_stack();
  for (auto& statement : program) execute<Consume>(m, statement);
}

}  // namespace

void deduce(const Machine& machine, std::vector<Statement> program) {
  RunScope budget(machine.limits());
  run_block<true>(machine, program);
}

void deduce_borrowed(const Machine& machine, std::span<const Statement* const> program) {
  RunScope budget(machine.limits());
  for (const Statement* statement : program) execute<false>(machine, *statement);
}

SharedValue deduce_expr(const Machine& machine, Expr expression) {
  RunScope budget(machine.limits());
  // Inside a tree a number or boolean variable is read as a plain copy; a read that is the
  // whole expression hands back the stored value itself, whatever its kind (one step, as
  // eval counts it).
  const Expr* top = &expression;
  while (top->kind() == Expr::Kind::Shared) {
    top = std::get_if<Expr::Shared>(&top->node())->target.get();
  }
  if (top->kind() == Expr::Kind::Ident) {
    count_step();
    const Expr::Ident& n = *std::get_if<Expr::Ident>(&top->node());
    return store_of(machine).get(n.id, &detail::TreeAccess::memo(n));
  }
  return eval<true>(machine, expression).share();
}

}  // namespace vrel
