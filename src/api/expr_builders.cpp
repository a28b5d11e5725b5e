// The class `Expr` and its static builders.
#include <vector>

#include "api/builder_support.hpp"
#include "forms/program_forms.hpp"

namespace vrelpy {
namespace {

using vrel::Expr;

#define VRELPY_BUILDER(fn_name) \
  PyObject* fn_name(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames)

constexpr const char* kValue[] = {"value"};
constexpr const char* kId[] = {"id"};
constexpr const char* kAOB[] = {"a", "o", "b"};
constexpr const char* kAB[] = {"a", "b"};
constexpr const char* kItem[] = {"item"};
constexpr const char* kIdentArgs[] = {"ident", "args"};
constexpr const char* kItems[] = {"items"};
constexpr const char* kCondArgs[] = {"condition", "then", "otherwise"};

VRELPY_BUILDER(expr_literal) {
  static constexpr MethodSignature kSig = signature(msg::kExprLiteral, kValue);
  return run_builder<1>(kSig, args, nargsf, kwnames, [](PyObject** p) -> PyObject* {
    vrel::Value value;
    if (!extract_value(p[0], value)) {
      prefix_argument_error("value");
      return nullptr;
    }
    // Held as a shared constant: evaluating it hands out the same immutable value instead
    // of copying it (no Python program can tell the two apart).
    // Made right in the new object, as wrap_expr keeps a constant (see wrap_expr).
    return new_instance<&PyExpr::expr>(g_expr_type,
                                       Expr::Constant{vrel::SharedValue::make(std::move(value))});
  });
}

VRELPY_BUILDER(expr_ident) {
  static constexpr MethodSignature kSig = signature(msg::kExprIdent, kId);
  return run_builder<1>(kSig, args, nargsf, kwnames, [](PyObject** p) -> PyObject* {
    vrel::Identifier id;
    if (!identifier_param(p[0], "id", id)) return nullptr;
    return new_instance<&PyExpr::expr>(g_expr_type, Expr::Ident{std::move(id)});
  });
}

// "+", "-", "*" or "/" as exactly one byte; false with a ValueError pending otherwise.
bool operator_of(const char* text, Py_ssize_t size, vrel::BinaryOperator& out) {
  if (size == 1) {
    switch (text[0]) {
      case '+':
        out = vrel::BinaryOperator::Add;
        return true;
      case '-':
        out = vrel::BinaryOperator::Sub;
        return true;
      case '*':
        out = vrel::BinaryOperator::Mul;
        return true;
      case '/':
        out = vrel::BinaryOperator::Div;
        return true;
    }
  }
  PyErr_SetString(PyExc_ValueError, msg::kBinaryOperator);
  return false;
}

VRELPY_BUILDER(expr_binary_op) {
  static constexpr MethodSignature kSig = signature(msg::kExprBinaryOp, kAOB);
  return run_builder<3>(kSig, args, nargsf, kwnames, [](PyObject** p) -> PyObject* {
    PyObject* a = expr_param(p[0], "a");
    if (!a) return nullptr;
    if (!PyUnicode_Check(p[1])) {
      raise_mismatch(p[1], msg::kTargetString);
      prefix_argument_error("o");
      return nullptr;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(p[1], &size);
    if (!text) {
      resume_if_panic();
      prefix_argument_error("o");
      return nullptr;
    }
    PyObject* b = expr_param(p[2], "b");
    if (!b) return nullptr;
    // Mapped only after every parameter converted: a bad `b` is reported first.
    vrel::BinaryOperator op;
    if (!operator_of(text, size, op)) return nullptr;
    return wrap_expr(Expr::binary_op(tree_from<Expr>(a), op, tree_from<Expr>(b)));
  });
}

template <Expr (*Make)(Expr, Expr)>
PyObject* build_pair(PyObject** p) {
  PyObject* a = expr_param(p[0], "a");
  if (!a) return nullptr;
  PyObject* b = expr_param(p[1], "b");
  if (!b) return nullptr;
  return wrap_expr(Make(tree_from<Expr>(a), tree_from<Expr>(b)));
}

VRELPY_BUILDER(expr_equals) {
  static constexpr MethodSignature kSig = signature(msg::kExprEquals, kAB);
  return run_builder<2>(kSig, args, nargsf, kwnames, build_pair<Expr::equals>);
}

VRELPY_BUILDER(expr_not) {
  static constexpr MethodSignature kSig = signature(msg::kExprNot, kItem);
  return run_builder<1>(kSig, args, nargsf, kwnames, [](PyObject** p) -> PyObject* {
    PyObject* item = expr_param(p[0], "item");
    if (!item) return nullptr;
    return wrap_expr(Expr::not_(tree_from<Expr>(item)));
  });
}

VRELPY_BUILDER(expr_greater_than) {
  static constexpr MethodSignature kSig = signature(msg::kExprGreaterThan, kAB);
  return run_builder<2>(kSig, args, nargsf, kwnames, build_pair<Expr::greater_than>);
}

VRELPY_BUILDER(expr_less_than) {
  static constexpr MethodSignature kSig = signature(msg::kExprLessThan, kAB);
  return run_builder<2>(kSig, args, nargsf, kwnames, build_pair<Expr::less_than>);
}

VRELPY_BUILDER(expr_call) {
  static constexpr MethodSignature kSig = signature(msg::kExprCall, kIdentArgs);
  return run_builder<2>(kSig, args, nargsf, kwnames, [](PyObject** p) -> PyObject* {
    vrel::Identifier id;
    if (!identifier_param(p[0], "ident", id)) return nullptr;
    PyObject* argument = expr_param(p[1], "args");
    if (!argument) return nullptr;
    return wrap_expr(Expr::call(std::move(id), tree_from<Expr>(argument)));
  });
}

VRELPY_BUILDER(expr_vector) {
  static constexpr MethodSignature kSig = signature(msg::kExprVector, kItems);
  return run_builder<1>(kSig, args, nargsf, kwnames, [](PyObject** p) -> PyObject* {
    std::vector<Expr> items;
    if (!extract_tree_sequence(p[0], g_expr_type, msg::kTargetExpr, items)) {
      prefix_argument_error("items");
      return nullptr;
    }
    return wrap_expr(Expr(Expr::Vector{std::move(items)}));
  });
}

VRELPY_BUILDER(expr_and) {
  static constexpr MethodSignature kSig = signature(msg::kExprAnd, kAB);
  return run_builder<2>(kSig, args, nargsf, kwnames, build_pair<Expr::and_>);
}

VRELPY_BUILDER(expr_or) {
  static constexpr MethodSignature kSig = signature(msg::kExprOr, kAB);
  return run_builder<2>(kSig, args, nargsf, kwnames, build_pair<Expr::or_>);
}

VRELPY_BUILDER(expr_cond) {
  static constexpr MethodSignature kSig = signature(msg::kExprCond, kCondArgs);
  return run_builder<3>(kSig, args, nargsf, kwnames, [](PyObject** p) -> PyObject* {
    PyObject* condition = expr_param(p[0], "condition");
    if (!condition) return nullptr;
    PyObject* then = expr_param(p[1], "then");
    if (!then) return nullptr;
    PyObject* otherwise = expr_param(p[2], "otherwise");
    if (!otherwise) return nullptr;
    return wrap_expr(
        Expr::cond(tree_from<Expr>(condition), tree_from<Expr>(then), tree_from<Expr>(otherwise)));
  });
}

#undef VRELPY_BUILDER

constexpr int kStaticFastcall = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
#define VRELPY_METHOD(name, fn, doc) \
  { name, VRELPY_CFUNCTION(fn), kStaticFastcall, doc }

PyMethodDef g_expr_methods[] = {
    VRELPY_METHOD("literal", expr_literal, msg::kExprLiteralDoc),
    VRELPY_METHOD("ident", expr_ident, msg::kExprIdentDoc),
    VRELPY_METHOD("binary_op", expr_binary_op, msg::kExprBinaryOpDoc),
    VRELPY_METHOD("equals", expr_equals, msg::kExprEqualsDoc),
    VRELPY_METHOD("not_", expr_not, msg::kExprNotDoc),
    VRELPY_METHOD("greater_than", expr_greater_than, msg::kExprGreaterThanDoc),
    VRELPY_METHOD("less_than", expr_less_than, msg::kExprLessThanDoc),
    VRELPY_METHOD("call", expr_call, msg::kExprCallDoc),
    VRELPY_METHOD("vector", expr_vector, msg::kExprVectorDoc),
    VRELPY_METHOD("and_", expr_and, msg::kExprAndDoc),
    VRELPY_METHOD("or_", expr_or, msg::kExprOrDoc),
    VRELPY_METHOD("cond", expr_cond, msg::kExprCondDoc),
    VRELPY_PROGRAM_FORM_METHODS(expr, msg::kExprFromDataDoc),
};
#undef VRELPY_METHOD

PyType_Slot g_expr_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<&PyExpr::expr>)},
    {Py_tp_repr, reinterpret_cast<void*>(expr_repr)},
    {Py_tp_methods, g_expr_methods},
    {0, nullptr},
};

PyType_Spec g_expr_spec = {msg::kExprTypeName, sizeof(PyExpr), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_expr_slots};

}  // namespace

PyTypeObject* create_expr_type() { return type_from_spec(g_expr_spec); }

PyObject* wrap_expr(vrel::Expr expr) {
  // Every tree that uses the object copies its expression: a name, a link or a shared
  // constant is kept as it is, anything else goes behind a link, so that copying it costs
  // no more than that.
  using Kind = vrel::Expr::Kind;
  const Kind kind = expr.kind();
  if (kind != Kind::Ident && kind != Kind::Shared && kind != Kind::Constant) {
    // The link is made right in the new object: each move or destruction of a whole node
    // passes through the standard library's function table for its many kinds.
    return new_instance<&PyExpr::expr>(
        g_expr_type, vrel::Expr::Shared{std::make_shared<const vrel::Expr>(std::move(expr))});
  }
  return new_instance<&PyExpr::expr>(g_expr_type, std::move(expr));
}

}  // namespace vrelpy
