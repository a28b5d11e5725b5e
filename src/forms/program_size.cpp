// The size limits of written programs: counting the nodes, literal values and text a tree
// writes out.
#include <vector>

#include "conversion/conversion.hpp"
#include "forms/program_forms.hpp"

namespace vrelpy {
namespace {

using vrel::Expr;
using vrel::Statement;

// Counts what writing the pushed trees out produces (WrittenSize), with explicit stacks
// (trees and literal values may be deeper than the native stack allows recursion), and
// stops as soon as a count passes its limit, so that a tree of 2^41 logical nodes, or a
// shared literal of a million elements used at a million places, costs no more than one
// just past the limit. A shared subtree is not a node of its own: it is written as its
// target.
class NodeCounter {
 public:
  void push(const Expr& e) { exprs_.push_back(&e); }
  void push(const Statement& s) { statements_.push_back(&s); }

  // True when the trees write out more than a limit allows.
  bool exceeds_limit() {
    std::uint64_t limit = 0;
    while (!statements_.empty() || !exprs_.empty() || !values_.empty()) {
      if (!values_.empty()) {
        const vrel::Value* v = values_.back();
        values_.pop_back();
        visit(*v);
      } else if (!statements_.empty()) {
        const Statement* s = statements_.back();
        statements_.pop_back();
        visit(*s);
      } else {
        const Expr* e = exprs_.back();
        exprs_.pop_back();
        visit(*e);
      }
      if (size_.exceeded(limit)) return true;
      count_conversion_work();
    }
    return false;
  }

  const WrittenSize& size() const noexcept { return size_; }

 private:
  void visit(const Expr& e) {
    using Kind = Expr::Kind;
    // Besides its node, a node writes out its literal value or the name it reads or calls;
    // its children are counted as they are visited.
    const Kind kind = e.kind();
    if (kind == Kind::Literal) values_.push_back(&std::get_if<Expr::Literal>(&e.node())->value);
    if (kind == Kind::Constant)
      values_.push_back(std::get_if<Expr::Constant>(&e.node())->value.get());
    if (kind == Kind::Ident) identifier(std::get_if<Expr::Ident>(&e.node())->id);
    if (kind == Kind::Call) identifier(std::get_if<Expr::Call>(&e.node())->function);
    e.each_child([this](const Expr& child) { push(child); });
    // A shared subtree is not a node of its own: it is written as its target.
    if (kind != Kind::Shared) ++size_.nodes;
  }

  void visit(const Statement& s) {
    using Kind = Statement::Kind;
    ++size_.nodes;
    switch (s.kind()) {
      case Kind::Let: {
        const auto& let = *std::get_if<Statement::Let>(&s.node());
        identifier(let.id);
        push(let.expr);
        break;
      }
      case Kind::If: {
        const auto& branch = *std::get_if<Statement::If>(&s.node());
        push(branch.condition);
        for (const Statement& t : branch.then_block) push(t);
        for (const Statement& t : branch.otherwise_block) push(t);
        break;
      }
      case Kind::Fn:
        identifier(std::get_if<Statement::Fn>(&s.node())->id);
        break;
    }
  }

  // One literal value; a vector's elements are pushed, to be counted one by one.
  void visit(const vrel::Value& v) {
    ++size_.values;
    switch (v.kind()) {
      case vrel::ValueKind::String:
        size_.text_bytes += v.as_string().size();
        break;
      case vrel::ValueKind::Vector:
        for (const vrel::SharedValue& item : v.as_vector()) values_.push_back(item.get());
        break;
      case vrel::ValueKind::Null:
      case vrel::ValueKind::Boolean:
      case vrel::ValueKind::Number:
      case vrel::ValueKind::Function:
        break;
    }
  }

  void identifier(const vrel::Identifier& id) {
    if (!id.is_u()) size_.text_bytes += id.as_s().size();
  }

  std::vector<const Expr*> exprs_;
  std::vector<const Statement*> statements_;
  std::vector<const vrel::Value*> values_;
  WrittenSize size_;
};

template <class Tree>
bool check_size(const Tree& tree) {
  NodeCounter counter;
  counter.push(tree);
  if (!counter.exceeds_limit()) return true;
  return counter.size().raise_exceeded(msg::kTooLargeToWriteFormat);
}

}  // namespace

bool check_written_size(const Expr& tree) { return check_size(tree); }
bool check_written_size(const Statement& tree) { return check_size(tree); }

}  // namespace vrelpy
