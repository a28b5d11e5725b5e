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

#include <optional>
#include <type_traits>

#include "compact_expr.hpp"
#include "error_place.hpp"
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

// eval of the child `index` of a node written {key: [...]} in the data form: a fatal error
// leaving it records that step of its place (error_place.hpp). The handler is the only cost,
// paid when an error passes.
template <bool Consume>
[[gnu::always_inline]] inline Operand eval_child(const Machine& m, Ref<Consume, Expr> e,
                                                 const char* key, std::size_t index) {
  try {
    return eval<Consume>(m, e);
  } catch (FatalError& error) {
    detail::add_child_step(error, key, index);
    throw;
  }
}

// A comparison of its two operands (children 0 and 1 of a node written {key: [...]}),
// evaluated left to right, `op` known where it is inlined. (Arithmetic, whose operator is
// only known at run time, calls binary_result itself: a general_result dispatching on a
// run-time operator widens eval's frame, which every level of nesting pays.)
template <bool Consume>
[[gnu::always_inline]] inline Operand eval_pair(const Machine& m, PairOp op, const char* key,
                                                Ref<Consume, ExprBox> left,
                                                Ref<Consume, ExprBox> right) {
  Operand l = eval_child<Consume>(m, child<Consume>(left), key, 0);
  Operand r = eval_child<Consume>(m, child<Consume>(right), key, 1);
  if (both_plain_ints(op, l, r)) return pair_result(op, l.plain_int(), r.plain_int());
  return general_result(op, l, r);
}

template <bool Consume>
[[gnu::noinline]] SharedValue eval_vector(const Machine& m, Ref<Consume, Expr::Vector> v) {
  charge_vector(v.items.size());
  Value::Vector items;
  items.reserve(v.items.size());
  for (auto& item : v.items) {
    items.push_back(
        eval_child<Consume>(m, item, "vector", static_cast<std::size_t>(&item - v.items.data()))
            .share());
  }
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
      Operand l = eval_child<Consume>(m, child<Consume>(n.left), "binary_op", 0);
      Operand r = eval_child<Consume>(m, child<Consume>(n.right), "binary_op", 2);
      const auto op = static_cast<PairOp>(n.op);  // arithmetic
      if (both_plain_ints(op, l, r)) return pair_result(op, l.plain_int(), r.plain_int());
      return binary_result(n.op, l, r);
    }
    case Expr::Kind::Equals: {
      auto& n = *std::get_if<Expr::Equals>(&node);
      return eval_pair<Consume>(m, PairOp::Equals, "equals", n.left, n.right);
    }
    case Expr::Kind::Not: {
      Operand v = eval_child<Consume>(m, child<Consume>(std::get_if<Expr::Not>(&node)->operand),
                                      "not", detail::kNoIndex);
      if (v.is_plain_boolean()) return Operand::boolean(!v.plain_boolean());
      return not_result(v);
    }
    case Expr::Kind::GreaterThan: {
      auto& n = *std::get_if<Expr::GreaterThan>(&node);
      return eval_pair<Consume>(m, PairOp::Greater, "greater_than", n.left, n.right);
    }
    case Expr::Kind::LessThan: {
      auto& n = *std::get_if<Expr::LessThan>(&node);
      return eval_pair<Consume>(m, PairOp::Less, "less_than", n.left, n.right);
    }
    case Expr::Kind::Call: {
      auto& n = *std::get_if<Expr::Call>(&node);
      return call_function(m, n.function, detail::TreeAccess::memo(n),
                           eval_child<Consume>(m, child<Consume>(n.argument), "call", 1));
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
      if (!boolean_operand(eval_child<Consume>(m, child<Consume>(n.left), "and", 0),
                           text::kAndNonBoolean)) {
        return Operand::boolean(false);
      }
      return Operand::boolean(boolean_operand(
          eval_child<Consume>(m, child<Consume>(n.right), "and", 1), text::kAndNonBoolean));
    }
    case Expr::Kind::Or: {
      auto& n = *std::get_if<Expr::Or>(&node);
      if (boolean_operand(eval_child<Consume>(m, child<Consume>(n.left), "or", 0),
                          text::kOrNonBoolean)) {
        return Operand::boolean(true);
      }
      return Operand::boolean(boolean_operand(
          eval_child<Consume>(m, child<Consume>(n.right), "or", 1), text::kOrNonBoolean));
    }
    case Expr::Kind::Cond: {
      auto& n = *std::get_if<Expr::Cond>(&node);
      const bool chosen =
          boolean_operand(eval_child<Consume>(m, child<Consume>(n.condition), "cond", 0),
                          text::kConditionNotBoolean);
      return eval_child<Consume>(m, child<Consume>(chosen ? n.then : n.otherwise), "cond",
                                 chosen ? 1 : 2);
    }
  }
  __builtin_unreachable();  // every kind returns above
}

// Binds `id`; the previous value is released here, once the store holds no lock any more
// (releasing a value may run any code). A consumed identifier is moved into the store, a borrowed
// one copied. The value is taken by reference: a caller holding it in a local (the compact
// form's result, checked for failure first) hands it over without a move and a destruction.
void bind(const Machine& m, Identifier& id, Operand&& value, const detail::CellMemo* memo) {
  SharedValue previous = store_of(m).insert(std::move(id), std::move(value), memo);
}
void bind(const Machine& m, const Identifier& id, Operand&& value, const detail::CellMemo* memo) {
  SharedValue previous = store_of(m).insert(id, std::move(value), memo);
}

// A fatal error that the compact form found without unwinding (see compact_expr.hpp): set
// by the failing statement, which then returns false, as does every statement and block
// enclosing it, each adding its step of the place on the way out.
using RunFailure = detail::SoftFailure;

template <bool Consume, class Statements>
bool run_block(const Machine& m, Statements& program, RunFailure& failure);

// The blocks are shared by every copy of the statement: they are read, never consumed.
template <bool Consume>
[[gnu::noinline]] bool run_if(const Machine& m, Ref<Consume, Statement::If> s,
                              RunFailure& failure) {
  bool chosen = false;
  if (!eval_child<Consume>(m, s.condition, "if", 0).get_boolean(chosen)) {
    detail::raise_condition_error(text::kConditionNotBoolean, std::source_location::current());
  }
  const char* block = chosen ? "then" : "otherwise";
  try {
    if (run_block<false>(m, chosen ? s.then_block : s.otherwise_block, failure)) return true;
  } catch (FatalError& error) {
    detail::add_block_step(error, block);
    throw;
  }
  detail::add_block_step(*failure, block);
  return false;
}

template <bool Consume>
bool execute_node(const Machine& m, Ref<Consume, Statement> statement, RunFailure& failure) {
  switch (statement.kind()) {
    case Statement::Kind::Let: {
      auto& s = *std::get_if<Statement::Let>(&payload<Consume, Statement>(statement));
      if constexpr (!Consume) {
        const detail::CompactExpr* compact = detail::compact_form(s);
        if (compact && compact->fits_stack()) {
          const detail::CompactExpr::Name& target = compact->target();
          Operand value = compact->run(m, failure);
          if (failure) [[unlikely]] {
            detail::settle_statement(statement, *failure);
            return false;
          }
          bind(m, target.id, std::move(value), &target.memo);
          return true;
        }
      }
      bind(m, s.id, eval_child<Consume>(m, s.expr, "let", 1), &detail::TreeAccess::memo(s));
      return true;
    }
    case Statement::Kind::If:
      return run_if<Consume>(
          m, *std::get_if<Statement::If>(&payload<Consume, Statement>(statement)), failure);
    case Statement::Kind::Fn: {
      auto& s = *std::get_if<Statement::Fn>(&payload<Consume, Statement>(statement));
      if constexpr (Consume) {
        bind(m, s.id, SharedValue::make(Value::function(std::move(s.function))), nullptr);
      } else {
        bind(m, s.id, SharedValue::make(Value::function(s.function->clone_box())), nullptr);
      }
      return true;
    }
  }
  return true;
}

template <bool Consume>
[[gnu::always_inline]] inline bool execute(const Machine& m, Ref<Consume, Statement> statement,
                                           RunFailure& failure) {
  count_step();
  try {
    return execute_node<Consume>(m, statement, failure);
  } catch (FatalError& error) {
    detail::settle_statement(statement, error);
    throw;
  }
}

template <bool Consume, class Statements>
bool run_block(const Machine& m, Statements& program, RunFailure& failure) {
  check_stack();
  for (auto& statement : program) {
    const auto index = [&] { return static_cast<std::size_t>(&statement - &*program.begin()); };
    try {
      if (execute<Consume>(m, statement, failure)) continue;
    } catch (FatalError& error) {
      detail::add_statement_step(error, index());
      throw;
    }
    detail::add_statement_step(*failure, index());
    return false;
  }
  return true;
}

}  // namespace

void deduce(const Machine& machine, std::vector<Statement> program) {
  RunScope budget(machine.limits());
  RunFailure failure;
  try {
    if (run_block<true>(machine, program, failure)) return;
  } catch (FatalError& error) {
    detail::finish_place(error);
    throw;
  }
  detail::finish_place(*failure);
  throw std::move(*failure);
}

std::optional<FatalError> run_borrowed(const Machine& machine,
                                       std::span<const Statement* const> program) {
  RunScope budget(machine.limits());
  RunFailure failure;
  for (const Statement* const& statement : program) {
    const auto index = [&] { return static_cast<std::size_t>(&statement - program.data()); };
    try {
      if (execute<false>(machine, *statement, failure)) continue;
    } catch (FatalError& error) {
      detail::add_statement_step(error, index());
      detail::finish_place(error);
      return std::move(error);
    }
    detail::add_statement_step(*failure, index());
    detail::finish_place(*failure);
    return std::move(*failure);
  }
  return std::nullopt;
}

void deduce_borrowed(const Machine& machine, std::span<const Statement* const> program) {
  if (std::optional<FatalError> failure = run_borrowed(machine, program)) {
    throw std::move(*failure);
  }
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
