// The writer of the text form: programs and expressions as readable UTF-8 text.
#pragma once

#include <cstdint>
#include <string>

#include "support/py_ref.hpp"
#include "vrel/syntax_tree.hpp"

namespace vrelpy::text {

// Appends the text of trees to `out`: precedence-aware parentheses, one statement per line,
// blocks indented by four spaces a level (up to 32 levels; deeper blocks stay at that
// indentation, since braces, not indentation, delimit them). A shared subtree is written in
// full wherever it is used, and more than kMaxWrittenNodes nodes in all is a ValueError, as
// for the data form. Recursive, one guard per level: too deep a tree is a RecursionError.
// Every member returns false with an exception pending on failure.
class Writer {
 public:
  explicit Writer(std::string& out) noexcept : out_(out) {}

  bool expr(const vrel::Expr& tree);
  // The statement's lines, without a line break after the last.
  bool statement(const vrel::Statement& s) { return statement(s, 0); }

 private:
  enum Precedence : int { kCond = 1, kOr, kAnd, kNot, kCmp, kSum, kProduct, kAtom };

  bool expr(const vrel::Expr& tree, int need);
  bool statement(const vrel::Statement& s, int depth);
  bool if_statement(const vrel::Statement::If& n, int depth);
  bool block(const vrel::Statement::Block& b, int depth);
  bool value(const vrel::Value& v);
  bool count();
  void indent(int depth);
  void identifier(const vrel::Identifier& id);

  std::string& out_;
  std::uint64_t nodes_ = 0;
};

// Appends the text of a float: Python's repr for finite values and infinities (1.0, -0.0,
// 1e+16, inf, -inf); nan and -nan for the two quiet NaNs arithmetic makes, and nan(0x...)
// with all 64 bits for any other NaN.
void write_float(std::string& out, double x);

}  // namespace vrelpy::text
