// The written forms of programs: the repr, the data form and the pickles of `Expr` and
// `Statement` objects, and the size limit they share.
#pragma once

#include <cstdint>

#include "forms/text_messages.hpp"
#include "support/messages.hpp"
#include "support/py_helpers.hpp"
#include "support/py_ref.hpp"
#include "vrel/syntax_tree.hpp"

namespace vrelpy {

// The size limits of one program's written forms: the most that the repr, the data form or
// a pickle writes, and the most that from_data reads. A shared subtree is written out in
// full at every place that uses it, so a program of a few dozen objects can stand for more
// than memory holds; past a limit the writers raise ValueError instead of running out of
// memory, and from_data refuses data whose shared parts would do the same. Writers and
// reader count alike, so whatever a writer accepts the reader accepts:
//  - nodes: expressions (a shared subtree counts as its target) and statements;
//  - literal values: every value of a literal, a vector and each of its elements alike;
//  - bytes of text: the UTF-8 bytes of literal texts and of text identifiers.
// A node takes a few hundred bytes as data, a literal value a few dozen, so the first two
// limits allow a few hundred megabytes each, and the third as much of text.
inline constexpr std::uint64_t kMaxWrittenNodes = 1'000'000;
inline constexpr std::uint64_t kMaxWrittenValues = 4'000'000;
inline constexpr std::uint64_t kMaxWrittenTextBytes = std::uint64_t{1} << 28;

// What writing or reading a program produces so far, against the limits above.
struct WrittenSize {
  std::uint64_t nodes = 0;
  std::uint64_t values = 0;
  std::uint64_t text_bytes = 0;

  // Past which limit the counts are ("nodes", "literal values", "bytes of text"), with the
  // limit in `limit`; null while within all three.
  const char* exceeded(std::uint64_t& limit) const noexcept {
    const char* what = nullptr;
    if (nodes > kMaxWrittenNodes) {
      what = "nodes";
      limit = kMaxWrittenNodes;
    } else if (values > kMaxWrittenValues) {
      what = "literal values";
      limit = kMaxWrittenValues;
    } else if (text_bytes > kMaxWrittenTextBytes) {
      what = "bytes of text";
      limit = kMaxWrittenTextBytes;
    }
    return what;
  }
  // Raises the ValueError of the limit passed, with `format` (kTooLargeToWriteFormat or
  // kTooLargeToReadFormat); always returns false.
  bool raise_exceeded(const char* format) const {
    std::uint64_t limit = 0;
    const char* what = exceeded(limit);
    PyErr_Format(PyExc_ValueError, format, static_cast<unsigned long long>(limit), what);
    return false;
  }
};

// The text an arithmetic operator is written as, in the data form and in reprs: "+" "-" "*" "/".
inline const char* operator_text(vrel::BinaryOperator op) noexcept {
  switch (op) {
    case vrel::BinaryOperator::Add:
      return "+";
    case vrel::BinaryOperator::Sub:
      return "-";
    case vrel::BinaryOperator::Mul:
      return "*";
    case vrel::BinaryOperator::Div:
      return "/";
  }
  return "?";
}

// True when writing `tree` stays within the limits of WrittenSize; otherwise ValueError is
// pending and the result is false. Iterative: any depth is fine.
bool check_written_size(const vrel::Expr& tree);
bool check_written_size(const vrel::Statement& tree);

// The data form of a tree as new Python objects; null with an exception pending. With a
// dict `functions`, each fn statement's function is entered there under the name written
// for it (two different functions under one name are a ValueError).
PyRef expr_to_python_data(const vrel::Expr& tree);
PyRef statement_to_python_data(const vrel::Statement& tree, PyObject* functions);

// The writers and the reader count their work as conversions do (count_conversion_work): a
// long one handles signals, and an interruption is thrown as there.

// Reads a tree from untrusted data into `out`, which is written only on success; false
// with ValueError, TypeError or RecursionError pending. `functions` (borrowed, may be null
// for none) maps the names of fn statements to plain Python functions.
bool expr_from_python_data(PyObject* data, vrel::Expr& out);
bool statement_from_python_data(PyObject* data, PyObject* functions, vrel::Statement& out);

// The `functions` argument of from_data, parse and the rule sets' readers: None becomes null
// (none); anything else must be a mapping, as dict.update tells one (it has keys), else
// TypeError is pending and the result is false.
bool functions_argument(PyObject*& functions);

// Entry points of the classes (slots and methods).
PyObject* expr_repr(PyObject* self);
PyObject* statement_repr(PyObject* self);
PyObject* expr_to_data(PyObject* self, PyObject* unused);
PyObject* statement_to_data(PyObject* self, PyObject* unused);
// Static methods and, under other names, the module functions that pickles call.
PyObject* expr_from_data(PyObject* unused, PyObject* args, PyObject* kwargs);
PyObject* statement_from_data(PyObject* unused, PyObject* args, PyObject* kwargs);
PyObject* expr_reduce(PyObject* self, PyObject* unused);
PyObject* statement_reduce(PyObject* self, PyObject* unused);
// __copy__ and __deepcopy__ of the immutable classes: the object itself.
PyObject* immutable_copy(PyObject* self, PyObject* unused) noexcept;
PyObject* immutable_deepcopy(PyObject* self, PyObject* memo) noexcept;

// The text form (text_form.cpp): to_text of both classes, Expr.from_text.
PyObject* expr_to_text(PyObject* self, PyObject* unused);
PyObject* statement_to_text(PyObject* self, PyObject* unused);
PyObject* expr_from_text(PyObject* unused, PyObject* args, PyObject* kwargs);
#define VRELPY_TEXT_FORM_METHODS_expr                                                             \
  {"to_text", VRELPY_CFUNCTION(expr_to_text), METH_NOARGS, msg::kToTextDoc},                      \
      {"from_text", VRELPY_CFUNCTION(expr_from_text), METH_VARARGS | METH_KEYWORDS | METH_STATIC, \
       msg::kExprFromTextDoc},
#define VRELPY_TEXT_FORM_METHODS_statement \
  {"to_text", VRELPY_CFUNCTION(statement_to_text), METH_NOARGS, msg::kToTextDoc},

// The module functions parse and unparse, and the exception type ParseError (created once
// by create_parse_error; null with an exception pending on failure).
extern PyMethodDef g_text_functions[];
extern PyObject* g_parse_error;
PyObject* create_parse_error();

// The method-table entries of the written forms of class `kind` (expr or statement),
// closing the table: to_data, from_data, the text form's, __reduce__, __copy__ and
// __deepcopy__.
#define VRELPY_PROGRAM_FORM_METHODS(kind, from_data_doc)                                          \
  {"to_data", VRELPY_CFUNCTION(kind##_to_data), METH_NOARGS, msg::kToDataDoc},                    \
      {"from_data", VRELPY_CFUNCTION(kind##_from_data),                                           \
       METH_VARARGS | METH_KEYWORDS | METH_STATIC, from_data_doc},                                \
      VRELPY_TEXT_FORM_METHODS_##kind{"__reduce__", VRELPY_CFUNCTION(kind##_reduce), METH_NOARGS, \
                                      msg::kProgramReduceDoc},                                    \
      {"__copy__", VRELPY_CFUNCTION(immutable_copy), METH_NOARGS, msg::kCopyDoc},                 \
      {"__deepcopy__", VRELPY_CFUNCTION(immutable_deepcopy), METH_O, msg::kDeepCopyDoc}, {        \
    nullptr, nullptr, 0, nullptr                                                                  \
  }

// The module functions `_expr_from_data` and `_statement_from_data` that pickles name as
// their rebuilders (the classes' own names do not lead back to this module).
extern PyMethodDef g_rebuild_functions[];

}  // namespace vrelpy
