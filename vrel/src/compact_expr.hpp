// The compact form of an expression: its nodes as a flat array of instructions in evaluation
// order, run by a loop over an operand stack instead of a walk of the tree.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "operand.hpp"
#include "vrel/fatal.hpp"
#include "vrel/machine.hpp"
#include "vrel/syntax_tree.hpp"

namespace vrel::detail {

// Where a failure found without unwinding is kept (CompactExpr::run, and the evaluator's
// statements above it): empty while none is. A pointer rather than an optional, which
// GCC zeroes whole (some 200 bytes) on every run that never fails; the error is made on the
// heap only when one happens.
using SoftFailure = std::unique_ptr<FatalError>;

// A tree built by a host is a web of small heap nodes and links to shared subtrees; walking
// it is mostly waiting for memory and mispredicted branches. The compact form lists the same
// nodes once, children before parents, with plain numbers and booleans inline and the rest
// pointing back into the tree (which the statement keeps alive and never changes).
//
// It evaluates exactly as the borrowed tree walk does: the same operations in the same order,
// each step of the run's budget counted at the same point (an instruction carries the number
// of nodes the walk would have entered since the previous one), so limits, interruptions and
// fatal errors strike where they would; a branch it does not take it jumps over, as the walk
// never enters it. Trees it cannot match so simply have no compact form:
// vector expressions (the walk charges a vector's memory before evaluating its items), trees
// deeper than kMaxDepth, and trees that hold one shared subtree more than once (their compact
// form could be far larger than the tree). Every node takes one 16-byte instruction, so the
// compact form is smaller than its tree.
class alignas(16) CompactExpr {
 public:
  static constexpr std::uint32_t kMaxDepth = 64;

  // A variable the form reads, calls or binds: its own copy of the identifier, with its own
  // memo of the cell, next to the instructions, so that running the form touches nothing of
  // the tree but literals that are not numbers or booleans.
  struct Name {
    Identifier id;
    CellMemo memo;
  };

  // Frees a form made by compile.
  struct Deleter {
    void operator()(CompactExpr* form) const noexcept;
  };
  using Owner = std::unique_ptr<CompactExpr, Deleter>;

  // The compact form of the let `statement`, or null when its expression has none.
  static Owner compile(const Statement::Let& statement);

  CompactExpr(const CompactExpr&) = delete;
  CompactExpr& operator=(const CompactExpr&) = delete;

  // Whether the tree walk of this expression would have stack enough here: otherwise the
  // caller walks the tree, which fails with the usual nesting error where it would have.
  bool fits_stack() const noexcept;

  // The expression's value, as the borrowed tree walk gives it. A fatal error that the
  // operands decide (node_results.hpp's FailureSite), a read or call of an unbound variable
  // and a call of a non-function are not thrown: `failure` is set, reported and placed at
  // its instruction, and the operand returned means nothing; an unwinding would cost
  // microseconds, where a rule that fails on bad data should cost little more than one that
  // succeeds. Every other fatal error is thrown as the tree walk throws it.
  Operand run(const Machine& m, SoftFailure& failure) const;

  // The path, in the data form's notation, from the let's expression down to the node that
  // `instruction` evaluates or tests (appended to `out`, outermost step first); false when
  // the form cannot tell (see Instr::up). Only for a failure's place.
  bool node_path(std::uint32_t instruction, std::vector<ErrorPlace::Step>& out) const noexcept;

  // The variable the let binds.
  const Name& target() const noexcept { return names()[0]; }

  // The bytes this form takes on the heap (one block), for measuring it against its tree.
  std::size_t heap_bytes() const noexcept { return block_bytes(code_size_, name_count_); }

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
    Call,
    // The short-circuit nodes jump over what they do not evaluate. AndLeft and OrLeft test
    // the left operand: when it decides the result they leave the result and jump to
    // `target`, otherwise they drop it. AndRight and OrRight check the right operand.
    // Branch drops a condition and jumps to `target` (the other branch) when it is false;
    // Jump goes to `target` (past the other branch).
    AndLeft,
    OrLeft,
    AndRight,
    OrRight,
    Branch,
    Jump
  };
  struct Instr {
    Op op;
    BinaryOperator binary;
    // The way to the node above, read only to place a failure (up_link): 0 at the top, and
    // kUpUnknown where the distance does not fit.
    std::uint16_t up;
    // Steps counted just before this instruction: the nodes the walk enters after the
    // previous instruction's node is done and before this one's is.
    std::uint32_t enters;
    union {
      std::int64_t i;
      double f;
      bool b;
      const Expr::Literal* literal;
      const SharedValue* constant;
      std::uint32_t name;    // Read, Call: the index of the name
      std::uint32_t target;  // AndLeft, OrLeft, Branch, Jump: the index of the next instruction
    };
  };
  static_assert(sizeof(Instr) == 16);
  class Builder;
  static constexpr unsigned kSelf = 3;
  static constexpr std::uint16_t kUpUnknown = 0xFFFF;
  static std::uint16_t up_link(std::uint32_t from, std::uint32_t to, unsigned position);
  static bool inline_plain(const Value& v, Instr& in) noexcept;

  CompactExpr(std::uint32_t code_size, std::uint32_t name_count, std::uint32_t depth) noexcept
      : code_size_(code_size), name_count_(name_count), depth_(depth) {}
  static std::size_t block_bytes(std::uint32_t code_size, std::uint32_t name_count) noexcept {
    return sizeof(CompactExpr) + code_size * sizeof(Instr) + name_count * sizeof(Name);
  }
  // The instructions, then the names, follow the header in the same block.
  const Instr* code() const noexcept { return reinterpret_cast<const Instr*>(this + 1); }
  const Name* names() const noexcept { return reinterpret_cast<const Name*>(code() + code_size_); }

  std::uint32_t code_size_;
  std::uint32_t name_count_;
  std::uint32_t depth_;
};
static_assert(sizeof(CompactExpr) % alignof(CompactExpr) == 0);

// The compact form kept in the let `statement`'s slot: made when the let runs a second time
// (a statement that runs once never pays for it). Null while there is none, or when the
// expression has none.
const CompactExpr* compact_form(const Statement::Let& statement);

}  // namespace vrel::detail
