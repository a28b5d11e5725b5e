// Syntax tree: constructors of composite expressions, deep copies and stack-safe release.
#include "vrel/syntax_tree.hpp"

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

template <class T>
void release_operands_later(T& n) noexcept {
  release_later_if_any(n.left);
  release_later_if_any(n.right);
}

// Precondition: `node` holds a T.
template <class T>
const T& alternative(const Expr::Node& node) noexcept {
  return *std::get_if<T>(&node);
}

template <class T>
void copy_operands(Expr::Node& to, const Expr::Node& from) {
  const T& n = alternative<T>(from);
  to.emplace<T>(clone(n.left), clone(n.right));
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
  return Expr(Node(std::in_place_type<GreaterThan>, box(std::move(left)), box(std::move(right))));
}
Expr Expr::less_than(Expr left, Expr right) {
  return Expr(Node(std::in_place_type<LessThan>, box(std::move(left)), box(std::move(right))));
}
Expr Expr::call(Identifier function, Expr argument) {
  return Expr(Node(std::in_place_type<Call>, std::move(function), box(std::move(argument))));
}

Expr Expr::and_(Expr left, Expr right) {
  return Expr(Node(std::in_place_type<And>, box(std::move(left)), box(std::move(right))));
}
Expr Expr::or_(Expr left, Expr right) {
  return Expr(Node(std::in_place_type<Or>, box(std::move(left)), box(std::move(right))));
}
Expr Expr::cond(Expr condition, Expr then, Expr otherwise) {
  return Expr(Node(std::in_place_type<Cond>, box(std::move(condition)), box(std::move(then)),
                   box(std::move(otherwise))));
}

Expr::Expr(const Expr& other) : node_(Literal{}) {
  check_stack();
  Node& node = node_;
  const Node& from = other.node_;
  switch (other.kind()) {
    case Kind::Literal:
      node.emplace<Literal>(alternative<Literal>(from));
      break;
    case Kind::Ident:
      node.emplace<Ident>(alternative<Ident>(from));
      break;
    case Kind::BinaryOp: {
      const BinaryOp& n = alternative<BinaryOp>(from);
      node.emplace<BinaryOp>(n.op, clone(n.left), clone(n.right));
      break;
    }
    case Kind::Equals:
      copy_operands<Equals>(node, from);
      break;
    case Kind::Not:
      node.emplace<Not>(clone(alternative<Not>(from).operand));
      break;
    case Kind::GreaterThan:
      copy_operands<GreaterThan>(node, from);
      break;
    case Kind::LessThan:
      copy_operands<LessThan>(node, from);
      break;
    case Kind::Call: {
      const Call& n = alternative<Call>(from);
      node.emplace<Call>(n.function, clone(n.argument));
      break;
    }
    case Kind::Vector:
      node.emplace<Vector>(alternative<Vector>(from).items);
      break;
    case Kind::Shared:
      node.emplace<Shared>(alternative<Shared>(from));
      break;
    case Kind::Constant:
      node.emplace<Constant>(alternative<Constant>(from));
      break;
    case Kind::And:
      copy_operands<And>(node, from);
      break;
    case Kind::Or:
      copy_operands<Or>(node, from);
      break;
    case Kind::Cond: {
      const Cond& n = alternative<Cond>(from);
      node.emplace<Cond>(clone(n.condition), clone(n.then), clone(n.otherwise));
      break;
    }
  }
}

Expr& Expr::operator=(const Expr& other) {
  if (this != &other) *this = Expr(other);
  return *this;
}

// Asked of every node destroyed, so it compares instead of dispatching through a table.
// A kind not named here counts as having children: it then reaches the switch in the
// destructor, which names every kind.
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
  Node& node = node_;
  switch (kind()) {
    case Kind::Literal:
    case Kind::Ident:
    case Kind::Constant:
      return;
    case Kind::BinaryOp:
      release_operands_later(*std::get_if<BinaryOp>(&node));
      return;
    case Kind::Equals:
      release_operands_later(*std::get_if<Equals>(&node));
      return;
    case Kind::Not:
      release_later_if_any(std::get_if<Not>(&node)->operand);
      return;
    case Kind::GreaterThan:
      release_operands_later(*std::get_if<GreaterThan>(&node));
      return;
    case Kind::LessThan:
      release_operands_later(*std::get_if<LessThan>(&node));
      return;
    case Kind::Call:
      release_later_if_any(std::get_if<Call>(&node)->argument);
      return;
    case Kind::Vector:
      release_later_if_any(std::get_if<Vector>(&node)->items);
      return;
    case Kind::Shared: {
      // Only the last owner destroys the subtree, possibly from deep in another tree's
      // release; hand our reference to the flat loop like any other child.
      std::shared_ptr<const Expr>& target = std::get_if<Shared>(&node)->target;
      if (target) release_later(new std::shared_ptr<const Expr>(std::move(target)));
      return;
    }
    case Kind::And:
      release_operands_later(*std::get_if<And>(&node));
      return;
    case Kind::Or:
      release_operands_later(*std::get_if<Or>(&node));
      return;
    case Kind::Cond: {
      Cond& n = *std::get_if<Cond>(&node);
      release_later_if_any(n.condition);
      release_later_if_any(n.then);
      release_later_if_any(n.otherwise);
      return;
    }
  }
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
