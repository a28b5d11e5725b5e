// The repr of `Expr` and `Statement` objects: the builder calls that make them.
#include <cmath>
#include <string>
#include <type_traits>

#include "api/classes.hpp"
#include "conversion/conversion.hpp"
#include "conversion/py_function.hpp"
#include "forms/program_forms.hpp"
#include "runtime/errors.hpp"
#include "runtime/recursion_guard.hpp"
#include "support/messages.hpp"

namespace vrelpy {
namespace {

using vrel::Expr;
using vrel::Statement;

constexpr const char* kWhere = msg::kWritingRepr;

// Writes the text that rebuilds a tree when evaluated with Expr and Statement in scope.
// Every member returns false with an exception pending on failure. Recursive, one guard
// per level: a tree too deep for the interpreter's limit is a RecursionError.
class ReprWriter {
 public:
  std::string text;

  // A shared subtree is written as its target, without a level of its own.
  bool expr(const Expr& tree) {
    const Expr* e = &tree;
    while (const auto* shared = std::get_if<Expr::Shared>(&e->node())) e = shared->target.get();
    RecursionGuard guard(kWhere);
    if (!guard) return false;
    count_conversion_work();
    return std::visit([this](const auto& n) { return node(n); }, e->node());
  }

  bool statement(const Statement& s) {
    RecursionGuard guard(kWhere);
    if (!guard) return false;
    count_conversion_work();
    return std::visit([this](const auto& n) { return node(n); }, s.node());
  }

 private:
  bool node(const Expr::Literal& n) { return call("Expr.literal(", n.value); }
  bool node(const Expr::Constant& n) { return call("Expr.literal(", *n.value); }
  bool node(const Expr::Ident& n) {
    text += "Expr.ident(";
    if (!identifier(n.id)) return false;
    text += ')';
    return true;
  }
  bool node(const Expr::BinaryOp& n) {
    text += "Expr.binary_op(";
    if (!expr(*n.left)) return false;
    text += ", ";
    text += '\'';
    text += operator_text(n.op);
    text += '\'';
    text += ", ";
    if (!expr(*n.right)) return false;
    text += ')';
    return true;
  }
  bool node(const Expr::Equals& n) { return pair("Expr.equals(", n); }
  bool node(const Expr::GreaterThan& n) { return pair("Expr.greater_than(", n); }
  bool node(const Expr::LessThan& n) { return pair("Expr.less_than(", n); }
  bool node(const Expr::And& n) { return pair("Expr.and_(", n); }
  bool node(const Expr::Or& n) { return pair("Expr.or_(", n); }
  bool node(const Expr::Cond& n) {
    text += "Expr.cond(";
    if (!expr(*n.condition)) return false;
    text += ", ";
    if (!expr(*n.then)) return false;
    text += ", ";
    if (!expr(*n.otherwise)) return false;
    text += ')';
    return true;
  }
  bool node(const Expr::Not& n) {
    text += "Expr.not_(";
    if (!expr(*n.operand)) return false;
    text += ')';
    return true;
  }
  bool node(const Expr::Call& n) {
    text += "Expr.call(";
    if (!identifier(n.function)) return false;
    text += ", ";
    if (!expr(*n.argument)) return false;
    text += ')';
    return true;
  }
  bool node(const Expr::Vector& n) {
    text += "Expr.vector([";
    for (std::size_t i = 0; i < n.items.size(); ++i) {
      if (i) text += ", ";
      if (!expr(n.items[i])) return false;
    }
    text += "])";
    return true;
  }
  bool node(const Expr::Shared& n) { return expr(*n.target); }

  bool node(const Statement::Let& n) {
    text += "Statement.let(";
    if (!identifier(n.id)) return false;
    text += ", ";
    if (!expr(n.expr)) return false;
    text += ')';
    return true;
  }
  bool node(const Statement::If& n) {
    text += "Statement.if_(";
    if (!expr(n.condition)) return false;
    text += ", ";
    if (!block(n.then_block)) return false;
    text += ", ";
    if (!block(n.otherwise_block)) return false;
    text += ')';
    return true;
  }
  bool node(const Statement::Fn& n) {
    text += "Statement.fn(";
    if (!identifier(n.id)) return false;
    text += ", ";
    const auto* fn = dynamic_cast<const PyVrelFn*>(n.function.get());
    if (fn) {
      if (!python_repr(fn->function())) return false;
    } else {
      text += "<a function not made by Statement.fn>";
    }
    text += ')';
    return true;
  }

  template <class Pair>
  bool pair(const char* head, const Pair& n) {
    text += head;
    if (!expr(*n.left)) return false;
    text += ", ";
    if (!expr(*n.right)) return false;
    text += ')';
    return true;
  }

  bool call(const char* head, const vrel::Value& v) {
    text += head;
    if (!value(v)) return false;
    text += ')';
    return true;
  }

  bool block(const Statement::Block& statements) {
    text += '[';
    for (std::size_t i = 0; i < statements.size(); ++i) {
      if (i) text += ", ";
      if (!statement(statements[i])) return false;
    }
    text += ']';
    return true;
  }

  bool identifier(const vrel::Identifier& id) {
    if (id.is_u()) {
      text += std::to_string(id.as_u());
      return true;
    }
    return text_repr(id.as_s());
  }

  // The repr of the Python value `get` would return: tuples came in as vectors and go out
  // as lists, ints beyond 64 bits were stored as floats. Non-finite floats are written as
  // calls, since their reprs (nan, inf) do not evaluate.
  bool value(const vrel::Value& v) {
    switch (v.kind()) {
      case vrel::ValueKind::Null:
        text += "None";
        return true;
      case vrel::ValueKind::Boolean:
        text += v.as_boolean() ? "True" : "False";
        return true;
      case vrel::ValueKind::String:
        return text_repr(v.as_string());
      case vrel::ValueKind::Number:
        return number(v.as_number());
      case vrel::ValueKind::Vector: {
        RecursionGuard guard(kWhere);
        if (!guard) return false;
        text += '[';
        const vrel::Value::Vector& items = v.as_vector();
        count_conversion_work(static_cast<std::int64_t>(items.size()) + 1);
        for (std::size_t i = 0; i < items.size(); ++i) {
          if (i) text += ", ";
          if (!value(*items[i])) return false;
        }
        text += ']';
        return true;
      }
      case vrel::ValueKind::Function:
        break;
    }
    // What get would raise for it; builders never put a function into a literal.
    PyErr_SetString(PyExc_TypeError, "Cannot convert a Rust trait to Python");
    return false;
  }

  bool number(vrel::Number n) {
    if (n.is_int()) {
      text += std::to_string(n.as_int());
      return true;
    }
    const double d = n.as_float();
    if (std::isnan(d)) {
      text += "float('nan')";
      return true;
    }
    if (std::isinf(d)) {
      text += d > 0 ? "float('inf')" : "float('-inf')";
      return true;
    }
    // The float's own repr: the shortest text that reads back as the same double.
    char* digits = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!digits) return false;
    text += digits;
    PyMem_Free(digits);
    return true;
  }

  bool text_repr(const std::string& utf8) {
    PyRef str = PyRef::steal(
        PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace"));
    return str && python_repr(str.get());
  }

  bool python_repr(PyObject* obj) {
    PyRef r = PyRef::steal(PyObject_Repr(obj));
    if (!r) return false;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(r.get(), &size);
    if (!data) return false;
    text.append(data, static_cast<std::size_t>(size));
    return true;
  }
};

template <class Tree>
PyObject* repr_of(const Tree& tree) {
  if (!check_written_size(tree)) return nullptr;
  ReprWriter writer;
  bool ok;
  if constexpr (std::is_same_v<Tree, Expr>) {
    ok = writer.expr(tree);
  } else {
    ok = writer.statement(tree);
  }
  if (!ok) return nullptr;
  return PyUnicode_DecodeUTF8(writer.text.data(), static_cast<Py_ssize_t>(writer.text.size()),
                              "replace");
}

}  // namespace

PyObject* expr_repr(PyObject* self) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!check_instance(self, g_expr_type, "Expr")) return nullptr;
    return repr_of(reinterpret_cast<PyExpr*>(self)->expr);
  });
}

PyObject* statement_repr(PyObject* self) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!check_instance(self, g_statement_type, "Statement")) return nullptr;
    return repr_of(reinterpret_cast<PyStatement*>(self)->statement);
  });
}

}  // namespace vrelpy
