// The syntax tree of vrel programs: expressions, binary operators and statements.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "vrel/detail/cell_memo.hpp"
#include "vrel/detail/compact_slot.hpp"
#include "vrel/detail/variant_kind.hpp"
#include "vrel/value.hpp"

namespace vrel {

enum class BinaryOperator : std::uint8_t { Add = 0, Sub = 1, Mul = 2, Div = 3 };

class Expr;
namespace detail {
// The core's own access to what hosts cannot reach: the payloads as writable (for the
// consuming evaluation, which owns its tree) and the caches of the nodes.
struct TreeAccess;
}  // namespace detail

// An owned child expression in its own heap cell. Copying it copies the child (deeply, as
// Expr copies); it hands the child out read-only.
class ExprBox {
 public:
  ExprBox() noexcept = default;
  explicit ExprBox(Expr child);
  ExprBox(const ExprBox& other);
  ExprBox(ExprBox&& other) noexcept : cell_(std::exchange(other.cell_, nullptr)) {}
  ExprBox& operator=(const ExprBox& other);
  ExprBox& operator=(ExprBox&& other) noexcept {
    std::swap(cell_, other.cell_);
    return *this;
  }
  ~ExprBox();

  const Expr& operator*() const noexcept { return *cell_; }
  const Expr* operator->() const noexcept { return cell_; }
  const Expr* get() const noexcept { return cell_; }
  explicit operator bool() const noexcept { return cell_ != nullptr; }

 private:
  friend class Expr;
  friend struct detail::TreeAccess;
  Expr* release() noexcept { return std::exchange(cell_, nullptr); }
  Expr* cell_ = nullptr;
};

// An expression node. A node owns its children exclusively, except a Shared node, whose
// read-only subtree has several owners. Copying is deep (a literal's value by the value
// copy rules) down to Shared nodes, which are copied by reference. Copying, evaluating and
// destroying trees of any depth never overflows the native stack: too deep a copy is the
// fatal error "Maximum nesting depth exceeded", destruction of any depth is safe.
//
// A node is immutable once built: hosts read its payload through node(), which is
// read-only down to the leaves, and replace a whole tree rather than change one in place.
// What the core remembers about a node (the cell a variable was found in, the compact form
// of a let) is private to the core and starts empty in every copy, so it can only describe
// the node it sits in. Assigning over a node the host owns (an Expr or Statement variable)
// destroys the old node, memories included.
//
// Adding a kind of node: its payload (its child expressions as ExprBox members, listed by
// operands() in evaluation order), its alternative in Node and Kind, a constructor, its case
// in the evaluator (and in the compact form, or none there), and its written forms in the
// host. Copying, releasing and walking the children (each_child) need nothing more.
class Expr {
 public:
  struct Literal {
    Value value;
  };
  class Ident {
   public:
    Ident(Identifier name) noexcept : id(std::move(name)) {}  // NOLINT(google-explicit-constructor)
    Identifier id;

   private:
    friend struct detail::TreeAccess;
    detail::CellMemo memo_{};  // where `id` lives in the machine last read
  };
  struct BinaryOp {
    BinaryOperator op;
    ExprBox left, right;
    auto operands() const noexcept { return std::array{&left, &right}; }
  };
  struct Equals {
    ExprBox left, right;
    auto operands() const noexcept { return std::array{&left, &right}; }
  };
  struct Not {
    ExprBox operand;
    auto operands() const noexcept { return std::array{&operand}; }
  };
  struct GreaterThan {
    ExprBox left, right;
    auto operands() const noexcept { return std::array{&left, &right}; }
  };
  struct LessThan {
    ExprBox left, right;
    auto operands() const noexcept { return std::array{&left, &right}; }
  };
  class Call {
   public:
    Call(Identifier callee, ExprBox arg) noexcept
        : function(std::move(callee)), argument(std::move(arg)) {}
    Identifier function;
    ExprBox argument;
    auto operands() const noexcept { return std::array{&argument}; }

   private:
    friend struct detail::TreeAccess;
    detail::CellMemo memo_{};  // where `function` lives in the machine last read
  };
  struct Vector {
    std::vector<Expr> items;
  };
  // A read-only subtree that several trees share. Copying shares it (no deep copy) and
  // evaluation reads it without consuming it, copying literal values as it goes. Hosts use
  // it to build large trees without copying subtrees; a shared subtree must not hold a
  // function value (copying would have to clone it).
  struct Shared {
    std::shared_ptr<const Expr> target;
  };
  // A literal whose value is already behind a shared handle: every evaluation yields that
  // same immutable value instead of a copy, so evaluating it costs one reference count,
  // whatever the size of the value. Hosts use it for literals that are evaluated many times.
  struct Constant {
    SharedValue value;
  };
  // `left and right`, `left or right`: both operands are booleans; the right one is
  // evaluated only when the left one does not decide the result.
  struct And {
    ExprBox left, right;
    auto operands() const noexcept { return std::array{&left, &right}; }
  };
  struct Or {
    ExprBox left, right;
    auto operands() const noexcept { return std::array{&left, &right}; }
  };
  // `then` when the boolean `condition` holds, otherwise `otherwise`; only the chosen branch
  // is evaluated.
  struct Cond {
    ExprBox condition, then, otherwise;
    auto operands() const noexcept { return std::array{&condition, &then, &otherwise}; }
  };
  using Node = std::variant<Literal, Ident, BinaryOp, Equals, Not, GreaterThan, LessThan, Call,
                            Vector, Shared, Constant, And, Or, Cond>;
  // The alternative a node holds, in the order of Node (checked below the class).
  enum class Kind : std::uint8_t {
    Literal,
    Ident,
    BinaryOp,
    Equals,
    Not,
    GreaterThan,
    LessThan,
    Call,
    Vector,
    Shared,
    Constant,
    And,
    Or,
    Cond
  };
  Kind kind() const noexcept { return static_cast<Kind>(node_.index()); }
  // The node's payload, read-only.
  const Node& node() const noexcept { return node_; }

  // Calls visit(const Expr&) on each child of the node in evaluation order: the operands,
  // the items of a vector, the target of a link to a shared subtree.
  template <class Visit>
  void each_child(Visit&& visit) const;

  Expr(Literal n) noexcept : node_(std::move(n)) {}
  Expr(Ident n) noexcept : node_(std::move(n)) {}
  Expr(Vector n) noexcept : node_(std::move(n)) {}
  Expr(Shared n) noexcept : node_(std::move(n)) {}
  Expr(Constant n) noexcept : node_(std::move(n)) {}

  // Constructors of the composite expressions: the operands are moved into new heap cells.
  static Expr binary_op(Expr left, BinaryOperator op, Expr right);
  static Expr equals(Expr left, Expr right);
  static Expr not_(Expr operand);
  static Expr greater_than(Expr left, Expr right);
  static Expr less_than(Expr left, Expr right);
  static Expr call(Identifier function, Expr argument);
  static Expr and_(Expr left, Expr right);
  static Expr or_(Expr left, Expr right);
  static Expr cond(Expr condition, Expr then, Expr otherwise);

  Expr(const Expr& other);
  Expr(Expr&& other) noexcept = default;
  Expr& operator=(const Expr& other);
  Expr& operator=(Expr&& other) noexcept = default;
  ~Expr();

 private:
  friend struct detail::TreeAccess;
  explicit Expr(Node n) noexcept : node_(std::move(n)) {}
  // Builds the payload in place. With more than eleven kinds, the standard library moves and
  // destroys a node through a table of functions, not an inlined switch: going through a
  // temporary Node would pay two such calls per node built.
  template <class T, class... Args>
  explicit Expr(std::in_place_type_t<T> kind, Args&&... args)
      : node_(kind, std::forward<Args>(args)...) {}
  bool has_children() const noexcept;

  Node node_;
};

namespace detail {
template <class Payload>
concept HasOperands = requires(const Payload& n) {
  n.operands();
};
}  // namespace detail

template <class Visit>
void Expr::each_child(Visit&& visit) const {
  std::visit(
      [&](const auto& n) {
        using Payload = std::decay_t<decltype(n)>;
        if constexpr (detail::HasOperands<Payload>) {
          for (const ExprBox* operand : n.operands()) visit(**operand);
        } else if constexpr (std::is_same_v<Payload, Vector>) {
          for (const Expr& item : n.items) visit(item);
        } else if constexpr (std::is_same_v<Payload, Shared>) {
          visit(*n.target);
        }
      },
      node_);
}

// One step of a program.
class Statement {
 public:
  // The statements of one branch of an `if`: an immutable sequence that every copy of the
  // statement shares, so that copying an `if`, and so building an `if` around others, costs
  // the same whatever is nested inside. Evaluation only reads it (a consuming evaluation
  // too), so several threads may run it at once.
  class Block {
   public:
    Block() noexcept = default;
    // Takes the statements; an empty sequence allocates nothing.
    Block(std::vector<Statement> statements);  // NOLINT(google-explicit-constructor)

    const Statement* begin() const noexcept;
    const Statement* end() const noexcept;
    std::size_t size() const noexcept { return statements_ ? statements_->size() : 0; }
    bool empty() const noexcept { return size() == 0; }
    const Statement& operator[](std::size_t i) const noexcept;

   private:
    friend class Statement;
    std::shared_ptr<const std::vector<Statement>> statements_;
  };

  class Let {
   public:
    Let(Identifier target, Expr value) noexcept : id(std::move(target)), expr(std::move(value)) {}
    Identifier id;
    Expr expr;

   private:
    friend struct detail::TreeAccess;
    detail::CellMemo memo_{};        // where `id` lives in the machine last bound
    detail::CompactSlot compact_{};  // the compact form of `expr`, once it has run again
  };
  struct If {
    Expr condition;
    Block then_block;
    Block otherwise_block;
  };
  struct Fn {
    Identifier id;
    FunctionBox function;  // never empty
  };
  using Node = std::variant<Let, If, Fn>;
  // The alternative a statement holds, in the order of Node (checked below the class).
  enum class Kind : std::uint8_t { Let, If, Fn };
  Kind kind() const noexcept { return static_cast<Kind>(node_.index()); }
  // The statement's payload, read-only as an expression's is.
  const Node& node() const noexcept { return node_; }

  Statement(Let n) noexcept : node_(std::move(n)) {}
  Statement(If n) noexcept : node_(std::move(n)) {}
  Statement(Fn n) noexcept : node_(std::move(n)) {}

  // Copy: expressions as Expr copies them, a function object duplicated through clone_box,
  // the blocks of an `if` shared.
  Statement(const Statement& other);
  Statement(Statement&& other) noexcept = default;
  Statement& operator=(const Statement& other);
  Statement& operator=(Statement&& other) noexcept = default;
  ~Statement();

 private:
  friend struct detail::TreeAccess;
  Node node_;
};

inline const Statement* Statement::Block::begin() const noexcept {
  return statements_ ? statements_->data() : nullptr;
}
inline const Statement* Statement::Block::end() const noexcept {
  return statements_ ? statements_->data() + statements_->size() : nullptr;
}
inline const Statement& Statement::Block::operator[](std::size_t i) const noexcept {
  return (*statements_)[i];
}

static_assert(detail::kind_names<Expr::Node, Expr::Kind::Literal, Expr::Literal>);
static_assert(detail::kind_names<Expr::Node, Expr::Kind::Ident, Expr::Ident>);
static_assert(detail::kind_names<Expr::Node, Expr::Kind::BinaryOp, Expr::BinaryOp>);
static_assert(detail::kind_names<Expr::Node, Expr::Kind::Equals, Expr::Equals>);
static_assert(detail::kind_names<Expr::Node, Expr::Kind::Not, Expr::Not>);
static_assert(detail::kind_names<Expr::Node, Expr::Kind::GreaterThan, Expr::GreaterThan>);
static_assert(detail::kind_names<Expr::Node, Expr::Kind::LessThan, Expr::LessThan>);
static_assert(detail::kind_names<Expr::Node, Expr::Kind::Call, Expr::Call>);
static_assert(detail::kind_names<Expr::Node, Expr::Kind::Vector, Expr::Vector>);
static_assert(detail::kind_names<Expr::Node, Expr::Kind::Shared, Expr::Shared>);
static_assert(detail::kind_names<Expr::Node, Expr::Kind::Constant, Expr::Constant>);
static_assert(detail::kind_names<Expr::Node, Expr::Kind::And, Expr::And>);
static_assert(detail::kind_names<Expr::Node, Expr::Kind::Or, Expr::Or>);
static_assert(detail::kind_names<Expr::Node, Expr::Kind::Cond, Expr::Cond>);
static_assert(std::variant_size_v<Expr::Node> == std::size_t(Expr::Kind::Cond) + 1);

static_assert(detail::kind_names<Statement::Node, Statement::Kind::Let, Statement::Let>);
static_assert(detail::kind_names<Statement::Node, Statement::Kind::If, Statement::If>);
static_assert(detail::kind_names<Statement::Node, Statement::Kind::Fn, Statement::Fn>);
static_assert(std::variant_size_v<Statement::Node> == std::size_t(Statement::Kind::Fn) + 1);

}  // namespace vrel
