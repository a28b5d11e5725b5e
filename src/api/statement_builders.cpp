// The class `Statement` and its three static builders.
#include <memory>
#include <vector>

#include "api/builder_support.hpp"
#include "conversion/py_function.hpp"
#include "forms/program_forms.hpp"

namespace vrelpy {
namespace {

using vrel::Statement;

// Parameter `name` as a block of statements; false with the prefixed error pending.
bool block_param(PyObject* obj, const char* name, std::vector<Statement>& out) {
  return extract_tree_sequence(obj, g_statement_type, msg::kTargetStatement, out) ||
         prefix_argument_error(name);
}

constexpr const char* kLet[] = {"ident", "pxpr"};
constexpr const char* kIf[] = {"pxpr", "then", "otherwise"};
constexpr const char* kFn[] = {"ident", "item"};

PyObject* statement_let(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr MethodSignature kSig = signature(msg::kStatementLet, kLet);
  return run_builder<2>(kSig, args, nargsf, kwnames, [](PyObject** p) -> PyObject* {
    vrel::Identifier id;
    if (!identifier_param(p[0], "ident", id)) return nullptr;
    PyObject* expr = expr_param(p[1], "pxpr");
    if (!expr) return nullptr;
    return wrap_statement(Statement::Let{std::move(id), tree_from<vrel::Expr>(expr)});
  });
}

PyObject* statement_if(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr MethodSignature kSig = signature(msg::kStatementIf, kIf);
  return run_builder<3>(kSig, args, nargsf, kwnames, [](PyObject** p) -> PyObject* {
    PyObject* condition = expr_param(p[0], "pxpr");
    if (!condition) return nullptr;
    std::vector<Statement> then_block;
    if (!block_param(p[1], "then", then_block)) return nullptr;
    std::vector<Statement> otherwise_block;
    if (!block_param(p[2], "otherwise", otherwise_block)) return nullptr;
    return wrap_statement(Statement::If{tree_from<vrel::Expr>(condition), std::move(then_block),
                                        std::move(otherwise_block)});
  });
}

PyObject* statement_fn(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr MethodSignature kSig = signature(msg::kStatementFn, kFn);
  return run_builder<2>(kSig, args, nargsf, kwnames, [](PyObject** p) -> PyObject* {
    vrel::Identifier id;
    if (!identifier_param(p[0], "ident", id)) return nullptr;
    // Exactly the function type (def and lambda): no subtypes, no other callables.
    if (!Py_IS_TYPE(p[1], &PyFunction_Type)) {
      raise_mismatch(p[1], msg::kTargetFunction);
      prefix_argument_error("item");
      return nullptr;
    }
    auto function = std::make_unique<PyVrelFn>(PyRef::borrow(p[1]));
    return wrap_statement(Statement::Fn{std::move(id), std::move(function)});
  });
}

constexpr int kStaticFastcall = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
#define VRELPY_METHOD(name, fn, doc) \
  { name, VRELPY_CFUNCTION(fn), kStaticFastcall, doc }

PyMethodDef g_statement_methods[] = {
    VRELPY_METHOD("let", statement_let, msg::kStatementLetDoc),
    VRELPY_METHOD("if_", statement_if, msg::kStatementIfDoc),
    VRELPY_METHOD("fn", statement_fn, msg::kStatementFnDoc),
    VRELPY_PROGRAM_FORM_METHODS(statement, msg::kStatementFromDataDoc),
};
#undef VRELPY_METHOD

PyType_Slot g_statement_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<&PyStatement::statement>)},
    {Py_tp_repr, reinterpret_cast<void*>(statement_repr)},
    {Py_tp_methods, g_statement_methods},
    {0, nullptr},
};

PyType_Spec g_statement_spec = {msg::kStatementTypeName, sizeof(PyStatement), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_statement_slots};

}  // namespace

PyTypeObject* create_statement_type() { return type_from_spec(g_statement_spec); }

}  // namespace vrelpy
