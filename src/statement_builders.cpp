// The class `Statement` and its three static builders.
#include <new>
#include <optional>
#include <vector>

#include "builder_support.hpp"
#include "program_forms.hpp"
#include "py_function.hpp"

namespace vrelpy {
namespace {

using vrel::Statement;

std::optional<std::vector<Statement>> block_param(PyObject* obj, const char* name) {
  std::vector<Statement> block;
  if (!extract_tree_sequence(obj, g_statement_type, "Statement", block)) {
    prefix_argument_error(name);
    return std::nullopt;
  }
  return block;
}

constexpr const char* kLet[] = {"ident", "pxpr"};
constexpr const char* kIf[] = {"pxpr", "then", "otherwise"};
constexpr const char* kFn[] = {"ident", "item"};

PyObject* statement_let(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) {
  static constexpr MethodSignature kSig = signature("Statement.let()", kLet);
  return run_builder<2>(kSig, args, nargsf, kwnames, [](PyObject** p) -> PyObject* {
    auto id = identifier_param(p[0], "ident");
    if (!id) return nullptr;
    auto expr = expr_param(p[1], "pxpr");
    if (!expr) return nullptr;
    return wrap_statement(Statement::Let{std::move(*id), std::move(*expr)});
  });
}

PyObject* statement_if(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) {
  static constexpr MethodSignature kSig = signature("Statement.if_()", kIf);
  return run_builder<3>(kSig, args, nargsf, kwnames, [](PyObject** p) -> PyObject* {
    auto condition = expr_param(p[0], "pxpr");
    if (!condition) return nullptr;
    auto then_block = block_param(p[1], "then");
    if (!then_block) return nullptr;
    auto otherwise_block = block_param(p[2], "otherwise");
    if (!otherwise_block) return nullptr;
    return wrap_statement(Statement::If{std::move(*condition), std::move(*then_block),
                                        std::move(*otherwise_block)});
  });
}

PyObject* statement_fn(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) {
  static constexpr MethodSignature kSig = signature("Statement.fn()", kFn);
  return run_builder<2>(kSig, args, nargsf, kwnames, [](PyObject** p) -> PyObject* {
    auto id = identifier_param(p[0], "ident");
    if (!id) return nullptr;
    // Exactly the function type (def and lambda): no subtypes, no other callables.
    if (!Py_IS_TYPE(p[1], &PyFunction_Type)) {
      raise_mismatch(p[1], "PyFunction");
      prefix_argument_error("item");
      return nullptr;
    }
    auto function = std::make_unique<PyVrelFn>(PyRef::borrow(p[1]));
    return wrap_statement(Statement::Fn{std::move(*id), std::move(function)});
  });
}

constexpr int kStaticFastcall = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
#define VRELPY_METHOD(name, fn, doc) \
  {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), kStaticFastcall, doc}

PyMethodDef g_statement_methods[] = {
    VRELPY_METHOD("let", statement_let, "let(ident, pxpr)\n--\n\n"),
    VRELPY_METHOD("if_", statement_if, "if_(pxpr, then, otherwise)\n--\n\n"),
    VRELPY_METHOD("fn", statement_fn, "fn(ident, item)\n--\n\n"),
    VRELPY_PROGRAM_FORM_METHODS(statement, "data, functions=None"),
};
#undef VRELPY_METHOD

void statement_dealloc(PyObject* obj) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  auto* self = reinterpret_cast<PyStatement*>(obj);
  if (self->built) self->statement.~Statement();
  type->tp_free(obj);
  Py_DECREF(type);
}

PyType_Slot g_statement_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(statement_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(statement_repr)},
    {Py_tp_methods, g_statement_methods},
    {0, nullptr},
};

PyType_Spec g_statement_spec = {"builtins.Statement", sizeof(PyStatement), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                                g_statement_slots};

}  // namespace

PyTypeObject* create_statement_type() {
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_statement_spec));
}

}  // namespace vrelpy
