// The compact form of an expression: its nodes as a flat array of instructions in evaluation
// order, run by a loop over an operand stack instead of a walk of the tree.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "operand.hpp"
#include "vrel/machine.hpp"
#include "vrel/syntax_tree.hpp"

namespace vrel::detail {

// A tree built by a host is a web of small heap nodes and links to shared subtrees; walking
// it is mostly waiting for memory and mispredicted branches. The compact form lists the same
// nodes once, children before parents, with plain numbers and booleans inline and the rest
// pointing back into the tree (which the statement keeps alive and never changes).
//
// It evaluates exactly as the borrowed tree walk does: the same operations in the same order,
// each step of the run's budget counted at the same point (an instruction carries the number
// of nodes the walk would have entered since the previous one), so limits, interruptions and
// fatal errors strike where they would. Trees it cannot match so simply have no compact form:
// vector expressions (the walk charges a vector's memory before evaluating its items), trees
// deeper than kMaxDepth, and trees that hold one shared subtree more than once (their compact
// form could be far larger than the tree). Every node takes one 16-byte instruction, so the
// compact form is smaller than its tree.
class CompactExpr {
 public:
  static constexpr std::uint32_t kMaxDepth = 64;

  // The compact form of `root`, or null when it has none.
  static std::unique_ptr<CompactExpr> compile(const Expr& root);

  // Whether the tree walk of this expression would have stack enough here: otherwise the
  // caller walks the tree, which fails with the usual nesting error where it would have.
  bool fits_stack() const noexcept;

  // The expression's value, as the borrowed tree walk gives it.
  Operand run(const Machine& m) const;

  // The bytes this form takes on the heap, for measuring it against its tree.
  std::size_t heap_bytes() const noexcept;

 private:
  enum class Op : std::uint8_t {
    Int,
    Float,
    Boolean,
    Literal,
    Constant,
    Read,
    Binary,
    Equals,
    Not,
    Greater,
    Less,
    Call
  };
  struct Instr {
    Op op;
    BinaryOperator binary;
    // Steps counted just before this instruction: the nodes the walk enters after the
    // previous instruction's node is done and before this one's is.
    std::uint32_t enters;
    union {
      std::int64_t i;
      double f;
      bool b;
      const Expr::Literal* literal;
      const SharedValue* constant;
      const Expr::Ident* ident;
      const Expr::Call* call;
    };
  };
  static_assert(sizeof(Instr) == 16);
  static bool inline_plain(const Value& v, Instr& in) noexcept;

  std::vector<Instr> code_;
  std::uint32_t depth_ = 0;
};

// The compact form kept in a let's slot for `expr`, the let's expression: made when the let
// runs a second time (a statement that runs once never pays for it). Null while there is
// none, or when the expression has none.
const CompactExpr* compact_form(const CompactSlot& slot, const Expr& expr);

}  // namespace vrel::detail
