// The size limit of written programs: counting the nodes a tree writes out.
#include <vector>

#include "forms/program_forms.hpp"

namespace vrelpy {
namespace {

using vrel::Expr;
using vrel::Statement;

// Counts the nodes that writing the pushed trees out produces, with an explicit stack
// (trees may be deeper than the native stack allows recursion), and stops as soon as the
// count passes the limit, so that a tree of 2^41 logical nodes costs no more than one just
// past the limit. A shared subtree is not a node of its own: it is written as its target.
class NodeCounter {
 public:
  void push(const Expr& e) { exprs_.push_back(&e); }
  void push(const Statement& s) { statements_.push_back(&s); }

  // True when the trees write out more than kMaxWrittenNodes nodes.
  bool exceeds_limit() {
    while (!statements_.empty() || !exprs_.empty()) {
      if (!statements_.empty()) {
        const Statement* s = statements_.back();
        statements_.pop_back();
        visit(*s);
      } else {
        const Expr* e = exprs_.back();
        exprs_.pop_back();
        visit(*e);
      }
      if (count_ > kMaxWrittenNodes) return true;
    }
    return false;
  }

 private:
  void visit(const Expr& e) {
    e.each_child([this](const Expr& child) { push(child); });
    if (e.kind() != Expr::Kind::Shared) ++count_;
  }

  void visit(const Statement& s) {
    using Kind = Statement::Kind;
    ++count_;
    switch (s.kind()) {
      case Kind::Let:
        push(std::get_if<Statement::Let>(&s.node())->expr);
        break;
      case Kind::If: {
        const auto& branch = *std::get_if<Statement::If>(&s.node());
        push(branch.condition);
        for (const Statement& t : branch.then_block) push(t);
        for (const Statement& t : branch.otherwise_block) push(t);
        break;
      }
      case Kind::Fn:
        break;
    }
  }

  std::vector<const Expr*> exprs_;
  std::vector<const Statement*> statements_;
  std::uint64_t count_ = 0;
};

template <class Tree>
bool check_size(const Tree& tree) {
  NodeCounter counter;
  counter.push(tree);
  if (!counter.exceeds_limit()) return true;
  PyErr_Format(PyExc_ValueError, msg::kTooLargeToWriteFormat,
               static_cast<unsigned long long>(kMaxWrittenNodes));
  return false;
}

}  // namespace

bool check_written_size(const Expr& tree) { return check_size(tree); }
bool check_written_size(const Statement& tree) { return check_size(tree); }

}  // namespace vrelpy
