// Syntax tree: constructors of composite expressions, deep copies and stack-safe release.
#include "vrel/syntax_tree.hpp"

#include "stack_guard.hpp"

namespace vrel {
namespace {

template <class T>
void release_later_if_any(std::vector<T>& items) noexcept {
  if (!items.empty()) release_later(new std::vector<T>(std::move(items)));
}

}  // namespace

ExprBox::ExprBox(Expr child) : cell_(new Expr(std::move(child))) {}
ExprBox::ExprBox(const ExprBox& other) : cell_(other.cell_ ? new Expr(*other.cell_) : nullptr) {}
ExprBox& ExprBox::operator=(const ExprBox& other) {
  if (this != &other) *this = ExprBox(other);
  return *this;
}
ExprBox::~ExprBox() { delete cell_; }

Expr Expr::binary_op(Expr left, BinaryOperator op, Expr right) {
  return Expr(std::in_place_type<BinaryOp>, op, ExprBox(std::move(left)),
              ExprBox(std::move(right)));
}
Expr Expr::equals(Expr left, Expr right) {
  return Expr(std::in_place_type<Equals>, ExprBox(std::move(left)), ExprBox(std::move(right)));
}
Expr Expr::not_(Expr operand) { return Expr(std::in_place_type<Not>, ExprBox(std::move(operand))); }
Expr Expr::greater_than(Expr left, Expr right) {
  return Expr(std::in_place_type<GreaterThan>, ExprBox(std::move(left)), ExprBox(std::move(right)));
}
Expr Expr::less_than(Expr left, Expr right) {
  return Expr(std::in_place_type<LessThan>, ExprBox(std::move(left)), ExprBox(std::move(right)));
}
Expr Expr::call(Identifier function, Expr argument) {
  return Expr(std::in_place_type<Call>, std::move(function), ExprBox(std::move(argument)));
}
Expr Expr::and_(Expr left, Expr right) {
  return Expr(std::in_place_type<And>, ExprBox(std::move(left)), ExprBox(std::move(right)));
}
Expr Expr::or_(Expr left, Expr right) {
  return Expr(std::in_place_type<Or>, ExprBox(std::move(left)), ExprBox(std::move(right)));
}
Expr Expr::cond(Expr condition, Expr then, Expr otherwise) {
  return Expr(std::in_place_type<Cond>, ExprBox(std::move(condition)), ExprBox(std::move(then)),
              ExprBox(std::move(otherwise)));
}

// The payloads copy themselves: an ExprBox copies its child, a memo or a compact form
// starts empty, a shared subtree is shared. Each level checks the stack, as each child is
// copied by this constructor.
Expr::Expr(const Expr& other) : node_((check_stack(), other.node_)) {}

Expr& Expr::operator=(const Expr& other) {
  if (this != &other) *this = Expr(other);
  return *this;
}

// Asked of every node destroyed, so it compares instead of dispatching through a table.
// Every kind not named here has children, or may have (a vector).
bool Expr::has_children() const noexcept {
  const Kind k = kind();
  if (k == Kind::Vector) return !std::get_if<Vector>(&node_)->items.empty();
  return k != Kind::Literal && k != Kind::Ident && k != Kind::Constant;
}

Expr::~Expr() {
  // Trees may be nested far deeper than the native stack allows to recurse. Near the end
  // of the stack the children go to the flat release loop instead; each child released
  // there detaches its own children the same way, so every node is destroyed exactly once.
  if (!has_children() || !stack_low_for_release()) return;
  std::visit(
      [](auto& n) {
        using Payload = std::decay_t<decltype(n)>;
        if constexpr (detail::HasOperands<Payload>) {
          for (const ExprBox* operand : n.operands()) {
            // The payload is this node's own, writable here; operands() lists it read-only.
            if (Expr* child = const_cast<ExprBox*>(operand)->release()) release_later(child);
          }
        } else if constexpr (std::is_same_v<Payload, Vector>) {
          release_later_if_any(n.items);
        } else if constexpr (std::is_same_v<Payload, Shared>) {
          // Only the last owner destroys the subtree, possibly from deep in another tree's
          // release; hand our reference to the flat loop like any other child.
          if (n.target) release_later(new std::shared_ptr<const Expr>(std::move(n.target)));
        }
      },
      node_);
}

Statement::Block::Block(std::vector<Statement> statements) {
  if (!statements.empty()) {
    statements_ = std::make_shared<const std::vector<Statement>>(std::move(statements));
  }
}

Statement::Statement(const Statement& other) : node_(Fn{}) {
  check_stack();
  Node& node = node_;
  switch (other.kind()) {
    case Kind::Let: {
      const Let& n = *std::get_if<Let>(&other.node_);
      node.emplace<Let>(n.id, n.expr);
      break;
    }
    case Kind::If: {
      const If& n = *std::get_if<If>(&other.node_);
      node.emplace<If>(n.condition, n.then_block, n.otherwise_block);
      break;
    }
    case Kind::Fn: {
      const Fn& n = *std::get_if<Fn>(&other.node_);
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
  if (kind() != Kind::If || !stack_low_for_release()) return;
  // As for a shared subtree: only the last owner destroys a block, possibly from deep in
  // another statement's release, so each reference goes to the flat loop.
  If& n = *std::get_if<If>(&node_);
  for (Block* block : {&n.then_block, &n.otherwise_block}) {
    if (block->statements_) {
      release_later(
          new std::shared_ptr<const std::vector<Statement>>(std::move(block->statements_)));
    }
  }
}

}  // namespace vrel
