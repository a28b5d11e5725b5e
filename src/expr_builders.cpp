// The class `Expr` and its nine static builders.
#include <new>
#include <optional>
#include <vector>

#include "builder_support.hpp"
#include "program_forms.hpp"

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

VRELPY_BUILDER(expr_literal) {
  static constexpr MethodSignature kSig = signature("Expr.literal()", kValue);
  return run_builder<1>(kSig, args, nargsf, kwnames, [](PyObject** p) -> PyObject* {
    vrel::Value value;
    if (!extract_value(p[0], value)) {
      prefix_argument_error("value");
      return nullptr;
    }
    // Held as a shared constant: evaluating it hands out the same immutable value instead
    // of copying it (no Python program can tell the two apart).
    return wrap_expr(Expr(Expr::Constant{vrel::SharedValue::make(std::move(value))}));
  });
}

VRELPY_BUILDER(expr_ident) {
  static constexpr MethodSignature kSig = signature("Expr.ident()", kId);
  return run_builder<1>(kSig, args, nargsf, kwnames, [](PyObject** p) -> PyObject* {
    auto id = identifier_param(p[0], "id");
    if (!id) return nullptr;
    return wrap_expr(Expr(Expr::Ident{std::move(*id)}));
  });
}

// "+", "-", "*" or "/" as exactly one byte; anything else is a ValueError.
std::optional<vrel::BinaryOperator> operator_of(const char* text, Py_ssize_t size) {
  if (size == 1) {
    switch (text[0]) {
      case '+':
        return vrel::BinaryOperator::Add;
      case '-':
        return vrel::BinaryOperator::Sub;
      case '*':
        return vrel::BinaryOperator::Mul;
      case '/':
        return vrel::BinaryOperator::Div;
    }
  }
  PyErr_SetString(PyExc_ValueError, "Expected one of: +, -, *, /");
  return std::nullopt;
}

VRELPY_BUILDER(expr_binary_op) {
  static constexpr MethodSignature kSig = signature("Expr.binary_op()", kAOB);
  return run_builder<3>(kSig, args, nargsf, kwnames, [](PyObject** p) -> PyObject* {
    auto a = expr_param(p[0], "a");
    if (!a) return nullptr;
    if (!PyUnicode_Check(p[1])) {
      raise_mismatch(p[1], "PyString");
      prefix_argument_error("o");
      return nullptr;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(p[1], &size);
    if (!text) {
      restore_taken_exception(take_exception());
      prefix_argument_error("o");
      return nullptr;
    }
    auto b = expr_param(p[2], "b");
    if (!b) return nullptr;
    // Mapped only after every parameter converted: a bad `b` is reported first.
    auto op = operator_of(text, size);
    if (!op) return nullptr;
    return wrap_expr(Expr::binary_op(std::move(*a), *op, std::move(*b)));
  });
}

template <Expr (*Make)(Expr, Expr)>
PyObject* build_pair(PyObject** p) {
  auto a = expr_param(p[0], "a");
  if (!a) return nullptr;
  auto b = expr_param(p[1], "b");
  if (!b) return nullptr;
  return wrap_expr(Make(std::move(*a), std::move(*b)));
}

VRELPY_BUILDER(expr_equals) {
  static constexpr MethodSignature kSig = signature("Expr.equals()", kAB);
  return run_builder<2>(kSig, args, nargsf, kwnames, build_pair<Expr::equals>);
}

VRELPY_BUILDER(expr_not) {
  static constexpr MethodSignature kSig = signature("Expr.not_()", kItem);
  return run_builder<1>(kSig, args, nargsf, kwnames, [](PyObject** p) -> PyObject* {
    auto item = expr_param(p[0], "item");
    if (!item) return nullptr;
    return wrap_expr(Expr::not_(std::move(*item)));
  });
}

VRELPY_BUILDER(expr_greater_than) {
  static constexpr MethodSignature kSig = signature("Expr.greater_than()", kAB);
  return run_builder<2>(kSig, args, nargsf, kwnames, build_pair<Expr::greater_than>);
}

VRELPY_BUILDER(expr_less_than) {
  static constexpr MethodSignature kSig = signature("Expr.less_than()", kAB);
  return run_builder<2>(kSig, args, nargsf, kwnames, build_pair<Expr::less_than>);
}

VRELPY_BUILDER(expr_call) {
  static constexpr MethodSignature kSig = signature("Expr.call()", kIdentArgs);
  return run_builder<2>(kSig, args, nargsf, kwnames, [](PyObject** p) -> PyObject* {
    auto id = identifier_param(p[0], "ident");
    if (!id) return nullptr;
    auto argument = expr_param(p[1], "args");
    if (!argument) return nullptr;
    return wrap_expr(Expr::call(std::move(*id), std::move(*argument)));
  });
}

VRELPY_BUILDER(expr_vector) {
  static constexpr MethodSignature kSig = signature("Expr.vector()", kItems);
  return run_builder<1>(kSig, args, nargsf, kwnames, [](PyObject** p) -> PyObject* {
    std::vector<Expr> items;
    if (!extract_tree_sequence(p[0], g_expr_type, "Expr", items)) {
      prefix_argument_error("items");
      return nullptr;
    }
    return wrap_expr(Expr(Expr::Vector{std::move(items)}));
  });
}

#undef VRELPY_BUILDER

constexpr int kStaticFastcall = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
#define VRELPY_METHOD(name, fn, doc) \
  {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), kStaticFastcall, doc}

PyMethodDef g_expr_methods[] = {
    VRELPY_METHOD("literal", expr_literal, "literal(value)\n--\n\n"),
    VRELPY_METHOD("ident", expr_ident, "ident(id)\n--\n\n"),
    VRELPY_METHOD("binary_op", expr_binary_op, "binary_op(a, o, b)\n--\n\n"),
    VRELPY_METHOD("equals", expr_equals, "equals(a, b)\n--\n\n"),
    VRELPY_METHOD("not_", expr_not, "not_(item)\n--\n\n"),
    VRELPY_METHOD("greater_than", expr_greater_than, "greater_than(a, b)\n--\n\n"),
    VRELPY_METHOD("less_than", expr_less_than, "less_than(a, b)\n--\n\n"),
    VRELPY_METHOD("call", expr_call, "call(ident, args)\n--\n\n"),
    VRELPY_METHOD("vector", expr_vector, "vector(items)\n--\n\n"),
    VRELPY_PROGRAM_FORM_METHODS(expr, "data"),
};
#undef VRELPY_METHOD

void expr_dealloc(PyObject* obj) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  auto* self = reinterpret_cast<PyExpr*>(obj);
  if (self->built) self->expr.~Expr();
  type->tp_free(obj);
  Py_DECREF(type);
}

PyType_Slot g_expr_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(expr_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(expr_repr)},
    {Py_tp_methods, g_expr_methods},
    {0, nullptr},
};

PyType_Spec g_expr_spec = {"builtins.Expr", sizeof(PyExpr), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_expr_slots};

}  // namespace

PyTypeObject* create_expr_type() {
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_expr_spec));
}

PyObject* wrap_expr(vrel::Expr expr) {
  using Kind = vrel::Expr::Kind;
  switch (expr.kind()) {
    case Kind::Ident:
    case Kind::Shared:
    case Kind::Constant:
      break;
    case Kind::Literal:
    case Kind::BinaryOp:
    case Kind::Equals:
    case Kind::Not:
    case Kind::GreaterThan:
    case Kind::LessThan:
    case Kind::Call:
    case Kind::Vector:
      expr = vrel::Expr(vrel::Expr::Shared{std::make_shared<const vrel::Expr>(std::move(expr))});
      break;
  }
  PyObject* obj = g_expr_type->tp_alloc(g_expr_type, 0);
  if (!obj) return nullptr;
  auto* self = reinterpret_cast<PyExpr*>(obj);
  new (&self->expr) vrel::Expr(std::move(expr));
  self->built = true;
  return obj;
}

}  // namespace vrelpy
