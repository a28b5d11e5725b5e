// The core's own access to the trees: writable payloads and the caches of the nodes.
#pragma once

#include "vrel/syntax_tree.hpp"

namespace vrel::detail {

// Hosts read nodes through Expr::node() and Statement::node(), read-only down to the leaves,
// and never see what the core remembers about a node. Only the core reaches these: the
// consuming evaluation, which owns its whole tree and destroys it afterwards, moves literal
// values and function objects out of it; the evaluator and the store keep their memories of
// variables in the nodes that name them, the compact form of a let in the let.
struct TreeAccess {
  static Expr::Node& node(Expr& e) noexcept { return e.node_; }
  static const Expr::Node& node(const Expr& e) noexcept { return e.node_; }
  static Statement::Node& node(Statement& s) noexcept { return s.node_; }
  static const Statement::Node& node(const Statement& s) noexcept { return s.node_; }
  // The child in `box`, writable where the tree is.
  static Expr& child(ExprBox& box) noexcept { return *box.cell_; }
  static const Expr& child(const ExprBox& box) noexcept { return *box.cell_; }

  static const CellMemo& memo(const Expr::Ident& n) noexcept { return n.memo_; }
  static const CellMemo& memo(const Expr::Call& n) noexcept { return n.memo_; }
  static const CellMemo& memo(const Statement::Let& n) noexcept { return n.memo_; }
  static const CompactSlot& compact(const Statement::Let& n) noexcept { return n.compact_; }
};

}  // namespace vrel::detail
