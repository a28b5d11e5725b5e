// Working out where a fatal error happened while it unwinds through the evaluator.
#include "error_place.hpp"

#include <algorithm>
#include <new>

#include "compact_expr.hpp"

namespace vrel::detail {
namespace {

using Step = ErrorPlace::Step;

// Adding a step needs memory; should there be none, the place stays shorter than it should
// be rather than the error being lost.
void push(std::vector<Step>& path, Step step) noexcept {
  try {
    if (path.capacity() == 0) path.reserve(16);
    path.push_back(step);
  } catch (const std::bad_alloc&) {
  }
}

// The node a chain of links to shared subtrees leads to.
const Expr* through_links(const Expr* e) noexcept {
  while (e->kind() == Expr::Kind::Shared) e = std::get_if<Expr::Shared>(&e->node())->target.get();
  return e;
}

// The child of `e` that the step pair (key, index) names, or null.
const Expr* child_at(const Expr& e, std::string_view key, std::size_t index) noexcept {
  const auto pick = [&](const char* name, const ExprBox& l, const ExprBox& r,
                        std::size_t right) -> const Expr* {
    if (key != name) return nullptr;
    if (index == 0) return l.get();
    return index == right ? r.get() : nullptr;
  };
  switch (e.kind()) {
    case Expr::Kind::BinaryOp: {
      const auto& n = *std::get_if<Expr::BinaryOp>(&e.node());
      return pick("binary_op", n.left, n.right, 2);
    }
    case Expr::Kind::Equals: {
      const auto& n = *std::get_if<Expr::Equals>(&e.node());
      return pick("equals", n.left, n.right, 1);
    }
    case Expr::Kind::GreaterThan: {
      const auto& n = *std::get_if<Expr::GreaterThan>(&e.node());
      return pick("greater_than", n.left, n.right, 1);
    }
    case Expr::Kind::LessThan: {
      const auto& n = *std::get_if<Expr::LessThan>(&e.node());
      return pick("less_than", n.left, n.right, 1);
    }
    case Expr::Kind::Not:
      return key == "not" ? std::get_if<Expr::Not>(&e.node())->operand.get() : nullptr;
    case Expr::Kind::Call:
      return key == "call" && index == 1 ? std::get_if<Expr::Call>(&e.node())->argument.get()
                                         : nullptr;
    case Expr::Kind::And: {
      const auto& n = *std::get_if<Expr::And>(&e.node());
      return pick("and", n.left, n.right, 1);
    }
    case Expr::Kind::Or: {
      const auto& n = *std::get_if<Expr::Or>(&e.node());
      return pick("or", n.left, n.right, 1);
    }
    case Expr::Kind::Cond: {
      const auto& n = *std::get_if<Expr::Cond>(&e.node());
      if (key != "cond") return nullptr;
      return index == 0   ? n.condition.get()
             : index == 1 ? n.then.get()
             : index == 2 ? n.otherwise.get()
                          : nullptr;
    }
    case Expr::Kind::Vector: {
      const auto& items = std::get_if<Expr::Vector>(&e.node())->items;
      return key == "vector" && index < items.size() ? &items[index] : nullptr;
    }
    default:
      return nullptr;
  }
}

// The node that `path` (reading order, from the statement) leads to, or null.
const Expr* node_at(const Statement& statement, const std::vector<Step>& path) noexcept {
  if (path.size() < 2 || !path[0].key) return nullptr;
  const Expr* e = nullptr;
  const std::string_view head = path[0].key;
  if (statement.kind() == Statement::Kind::Let && head == "let" && path[1].index == 1) {
    e = &std::get_if<Statement::Let>(&statement.node())->expr;
  } else if (statement.kind() == Statement::Kind::If && head == "if" && path[1].index == 0) {
    e = &std::get_if<Statement::If>(&statement.node())->condition;
  } else {
    return nullptr;
  }
  for (std::size_t i = 2; e && i < path.size(); ++i) {
    e = through_links(e);
    if (!path[i].key) return nullptr;
    const bool whole = i + 1 >= path.size() || path[i + 1].key;  // {"not": E}
    e = child_at(*e, path[i].key, whole ? kNoIndex : path[i + 1].index);
    if (!whole) ++i;
  }
  return e ? through_links(e) : nullptr;
}

}  // namespace

void add_child_step(FatalError& error, const char* key, std::size_t index) noexcept {
  ErrorPlace& place = error.place();
  if (place.settled) return;
  if (index != kNoIndex) push(place.node, Step{nullptr, index});
  push(place.node, Step{key, 0});
}

void add_statement_step(FatalError& error, std::size_t index) noexcept {
  push(error.place().statement, Step{nullptr, index});
}

void add_block_step(FatalError& error, const char* block) noexcept {
  push(error.place().statement, Step{block, 0});
}

void note_compact_instruction(FatalError& error, std::uint32_t instruction) noexcept {
  ErrorPlace& place = error.place();
  if (!place.settled) place.compact_instruction = instruction;
}

void settle_statement(const Statement& statement, FatalError& error) noexcept {
  ErrorPlace& place = error.place();
  if (place.settled) return;
  place.settled = true;
  std::reverse(place.node.begin(), place.node.end());
  if (place.compact_instruction != UINT32_MAX && statement.kind() == Statement::Kind::Let) {
    std::vector<Step> inner;
    const auto& let = *std::get_if<Statement::Let>(&statement.node());
    // A form too large for its links to tell leaves the place at the whole expression.
    const CompactExpr* form = compact_form(let);
    if (!form || !form->node_path(place.compact_instruction, inner)) inner.clear();
    place.node.clear();
    push(place.node, Step{"let", 0});
    push(place.node, Step{nullptr, 1});
    for (const Step& step : inner) push(place.node, step);
  }
  try {
    const Expr* at = place.node.empty() ? nullptr : node_at(statement, place.node);
    if (at && at->kind() == Expr::Kind::Ident) {
      place.role = ErrorPlace::Role::Reading;
      place.variable = std::get_if<Expr::Ident>(&at->node())->id;
    } else if (at && at->kind() == Expr::Kind::Call) {
      place.role = ErrorPlace::Role::Calling;
      place.variable = std::get_if<Expr::Call>(&at->node())->function;
    } else if (statement.kind() == Statement::Kind::Let) {
      place.role = ErrorPlace::Role::Binding;
      place.variable = std::get_if<Statement::Let>(&statement.node())->id;
    } else if (statement.kind() == Statement::Kind::Fn) {
      place.role = ErrorPlace::Role::Binding;
      place.variable = std::get_if<Statement::Fn>(&statement.node())->id;
    }
  } catch (const std::bad_alloc&) {  // copying the identifier
    place.role = ErrorPlace::Role::None;
  }
}

void raise_condition_error(const char* message, std::source_location where) {
  report_fatal(message, where);
  FatalError error(message);
  ErrorPlace& place = error.place();
  place.settled = true;
  push(place.node, Step{"if", 0});
  push(place.node, Step{nullptr, 0});
  throw error;
}

void finish_place(FatalError& error) noexcept {
  ErrorPlace& place = error.place();
  place.in_run = true;
  place.settled = true;
  std::reverse(place.statement.begin(), place.statement.end());
}

}  // namespace vrel::detail
