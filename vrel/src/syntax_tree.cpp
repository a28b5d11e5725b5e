// Syntax tree: constructors of composite expressions, deep copies and stack-safe release.
#include "vrel/syntax_tree.hpp"

#include <type_traits>

#include "stack_guard.hpp"

namespace vrel {
namespace {

ExprBox box(Expr e) { return ExprBox(new Expr(std::move(e))); }
ExprBox clone(const ExprBox& e) { return ExprBox(new Expr(*e)); }

template <class T>
void release_later_if_any(std::vector<T>& items) noexcept {
  if (!items.empty()) release_later(new std::vector<T>(std::move(items)));
}

void release_later_if_any(ExprBox& child) noexcept {
  if (child) release_later(child.release());
}

}  // namespace

void detail::ExprDeleter::operator()(Expr* e) const noexcept { delete e; }

Expr Expr::binary_op(Expr left, BinaryOperator op, Expr right) {
  return Expr(Node(std::in_place_type<BinaryOp>, op, box(std::move(left)), box(std::move(right))));
}
Expr Expr::equals(Expr left, Expr right) {
  return Expr(Node(std::in_place_type<Equals>, box(std::move(left)), box(std::move(right))));
}
Expr Expr::not_(Expr operand) {
  return Expr(Node(std::in_place_type<Not>, box(std::move(operand))));
}
Expr Expr::greater_than(Expr left, Expr right) {
  return Expr(
      Node(std::in_place_type<GreaterThan>, box(std::move(left)), box(std::move(right))));
}
Expr Expr::less_than(Expr left, Expr right) {
  return Expr(Node(std::in_place_type<LessThan>, box(std::move(left)), box(std::move(right))));
}
Expr Expr::call(Identifier function, Expr argument) {
  return Expr(Node(std::in_place_type<Call>, std::move(function), box(std::move(argument))));
}

Expr::Expr(const Expr& other) : node(Literal{}) {
  check_stack();
  std::visit(
      [this](const auto& n) {
        using T = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<T, Literal> || std::is_same_v<T, Ident> ||
                      std::is_same_v<T, Shared> || std::is_same_v<T, Constant>) {
          node.emplace<T>(n);
        } else if constexpr (std::is_same_v<T, BinaryOp>) {
          node.emplace<T>(n.op, clone(n.left), clone(n.right));
        } else if constexpr (std::is_same_v<T, Not>) {
          node.emplace<T>(clone(n.operand));
        } else if constexpr (std::is_same_v<T, Call>) {
          node.emplace<T>(n.function, clone(n.argument));
        } else if constexpr (std::is_same_v<T, Vector>) {
          node.emplace<T>(n.items);
        } else {
          node.emplace<T>(clone(n.left), clone(n.right));
        }
      },
      other.node);
}

Expr& Expr::operator=(const Expr& other) {
  if (this != &other) *this = Expr(other);
  return *this;
}

bool Expr::has_children() const noexcept {
  const std::size_t i = node.index();
  return i >= 2 && i != 10 && (i != 8 || !std::get_if<Vector>(&node)->items.empty());
}

Expr::~Expr() {
  // Trees may be nested far deeper than the native stack allows to recurse. Near the end
  // of the stack the children go to the flat release loop instead; each child released
  // there detaches its own children the same way, so every node is destroyed exactly once.
  if (!has_children() || !stack_low_for_release()) return;
  std::visit(
      [](auto& n) {
        using T = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<T, Literal> || std::is_same_v<T, Ident> ||
                      std::is_same_v<T, Constant>) {
        } else if constexpr (std::is_same_v<T, Not>) {
          release_later_if_any(n.operand);
        } else if constexpr (std::is_same_v<T, Call>) {
          release_later_if_any(n.argument);
        } else if constexpr (std::is_same_v<T, Vector>) {
          release_later_if_any(n.items);
        } else if constexpr (std::is_same_v<T, Shared>) {
          // Only the last owner destroys the subtree, possibly from deep in another tree's
          // release; hand our reference to the flat loop like any other child.
          if (n.target) release_later(new std::shared_ptr<const Expr>(std::move(n.target)));
        } else {
          release_later_if_any(n.left);
          release_later_if_any(n.right);
        }
      },
      node);
}

Statement::Statement(const Statement& other) : node(Fn{}) {
  check_stack();
  switch (other.node.index()) {
    case 0: {
      const Let& n = *std::get_if<Let>(&other.node);
      node.emplace<Let>(n.id, n.expr);
      break;
    }
    case 1: {
      const If& n = *std::get_if<If>(&other.node);
      node.emplace<If>(n.condition, n.then_block, n.otherwise_block);
      break;
    }
    default: {
      const Fn& n = *std::get_if<Fn>(&other.node);
      node.emplace<Fn>(n.id, n.function->clone_box());
      break;
    }
  }
}

Statement& Statement::operator=(const Statement& other) {
  if (this != &other) *this = Statement(other);
  return *this;
}

Statement::~Statement() {
  if (node.index() != 1 || !stack_low_for_release()) return;
  If& n = *std::get_if<If>(&node);
  release_later_if_any(n.then_block);
  release_later_if_any(n.otherwise_block);
}

}  // namespace vrel
