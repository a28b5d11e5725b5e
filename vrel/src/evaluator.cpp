// The evaluator: executes statements and evaluates expressions against a machine.
#include "vrel/evaluator.hpp"

#include "operators.hpp"
#include "stack_guard.hpp"
#include "variable_store.hpp"
#include "vrel/fatal.hpp"

namespace vrel {
namespace {

// eval() recurses once per level of nesting, so its frame is kept small: everything that
// needs more locals than the two operand handles lives in out-of-line helpers.
SharedValue eval(const Machine& m, Expr& e);

[[gnu::noinline]] SharedValue binary_result(BinaryOperator op, const SharedValue& l,
                                            const SharedValue& r) {
  return SharedValue::make(binary_operation(op, *l, *r));
}

[[gnu::noinline]] SharedValue boolean_result(bool b) { return SharedValue::make(Value::boolean(b)); }

[[gnu::noinline]] SharedValue literal_result(Expr::Literal& literal) {
  return SharedValue::make(std::move(literal.value));
}

[[gnu::noinline]] SharedValue equals_result(const SharedValue& l, const SharedValue& r) {
  return boolean_result(Value::eq(*l, *r));
}

[[gnu::noinline]] SharedValue greater_result(const SharedValue& l, const SharedValue& r) {
  return boolean_result(greater_than(*l, *r));
}

[[gnu::noinline]] SharedValue less_result(const SharedValue& l, const SharedValue& r) {
  return boolean_result(less_than(*l, *r));
}

[[gnu::noinline]] SharedValue not_result(const SharedValue& v) {
  return boolean_result(logical_not(*v));
}

[[gnu::noinline]] SharedValue eval_vector(const Machine& m, Expr::Vector& v) {
  Value::Vector items;
  items.reserve(v.items.size());
  for (Expr& item : v.items) items.push_back(eval(m, item));
  return SharedValue::make(Value::vector(std::move(items)));
}

// The argument is evaluated before the callee is looked up, so its effects happen even when
// the lookup fails. No store lock is held while the function runs; `callee` keeps the
// function object alive even if its variable is rebound meanwhile.
[[gnu::noinline]] SharedValue call_function(const Machine& m, const Identifier& name,
                                            SharedValue argument) {
  SharedValue callee = m.get(name);
  if (callee->kind() != ValueKind::Function) {
    raise_fatal("called `Option::unwrap()` on a `None` value");
  }
  return SharedValue::make(callee->as_function().run(std::move(argument)));
}

SharedValue eval(const Machine& m, Expr& e) {
  check_stack();
  switch (e.node.index()) {
    case 0:
      return literal_result(*std::get_if<Expr::Literal>(&e.node));
    case 1:
      return m.get(std::get_if<Expr::Ident>(&e.node)->id);
    case 2: {
      auto& n = *std::get_if<Expr::BinaryOp>(&e.node);
      SharedValue l = eval(m, *n.left);
      SharedValue r = eval(m, *n.right);
      return binary_result(n.op, l, r);
    }
    case 3: {
      auto& n = *std::get_if<Expr::Equals>(&e.node);
      SharedValue l = eval(m, *n.left);
      SharedValue r = eval(m, *n.right);
      return equals_result(l, r);
    }
    case 4: {
      SharedValue v = eval(m, *std::get_if<Expr::Not>(&e.node)->operand);
      return not_result(v);
    }
    case 5: {
      auto& n = *std::get_if<Expr::GreaterThan>(&e.node);
      SharedValue l = eval(m, *n.left);
      SharedValue r = eval(m, *n.right);
      return greater_result(l, r);
    }
    case 6: {
      auto& n = *std::get_if<Expr::LessThan>(&e.node);
      SharedValue l = eval(m, *n.left);
      SharedValue r = eval(m, *n.right);
      return less_result(l, r);
    }
    case 7: {
      auto& n = *std::get_if<Expr::Call>(&e.node);
      return call_function(m, n.function, eval(m, *n.argument));
    }
    default:
      return eval_vector(m, *std::get_if<Expr::Vector>(&e.node));
  }
}

void bind(const Machine& m, Identifier& id, SharedValue value) {
  // The previous value is released here, after insert has given the shard lock back.
  SharedValue previous = m.store().insert(std::move(id), std::move(value));
}

void run_block(const Machine& m, std::vector<Statement>& program);

[[gnu::noinline]] void run_if(const Machine& m, Statement::If& s) {
  SharedValue condition = eval(m, s.condition);
  if (condition->kind() != ValueKind::Boolean) {
    raise_fatal("Expected deduced condition to be a bool, got other type");
  }
  const bool chosen = condition->as_boolean();
  run_block(m, chosen ? s.then_block : s.otherwise_block);
  condition = SharedValue();
  // The block not taken is destroyed unexecuted.
  std::vector<Statement> skipped = std::move(chosen ? s.otherwise_block : s.then_block);
}

void run_block(const Machine& m, std::vector<Statement>& program) {
  check_stack();
  for (Statement& statement : program) {
    switch (statement.node.index()) {
      case 0: {
        auto& s = *std::get_if<Statement::Let>(&statement.node);
        bind(m, s.id, eval(m, s.expr));
        break;
      }
      case 1:
        run_if(m, *std::get_if<Statement::If>(&statement.node));
        break;
      default: {
        auto& s = *std::get_if<Statement::Fn>(&statement.node);
        bind(m, s.id, SharedValue::make(Value::function(std::move(s.function))));
        break;
      }
    }
  }
}

}  // namespace

void deduce(const Machine& machine, std::vector<Statement> program) {
  run_block(machine, program);
}

SharedValue deduce_expr(const Machine& machine, Expr expression) {
  return eval(machine, expression);
}

}  // namespace vrel
