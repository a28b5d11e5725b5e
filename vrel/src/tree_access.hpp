// The core's own write access to the payloads of the trees it owns.
#pragma once

#include "vrel/syntax_tree.hpp"

namespace vrel::detail {

// Hosts read nodes through Expr::node() and Statement::node(), which are read-only. Only the
// consuming evaluation, which owns the whole tree and destroys it afterwards, moves literal
// values and function objects out of it.
struct TreeAccess {
  static Expr::Node& node(Expr& e) noexcept { return e.node_; }
  static const Expr::Node& node(const Expr& e) noexcept { return e.node_; }
  static Statement::Node& node(Statement& s) noexcept { return s.node_; }
  static const Statement::Node& node(const Statement& s) noexcept { return s.node_; }
};

}  // namespace vrel::detail
