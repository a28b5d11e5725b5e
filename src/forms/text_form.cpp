// The text form's entry points: parse, unparse, Expr.from_text, to_text, and ParseError.
#include <string>
#include <string_view>
#include <vector>

#include "api/classes.hpp"
#include "forms/program_forms.hpp"
#include "forms/text_messages.hpp"
#include "forms/text_parser.hpp"
#include "forms/text_writer.hpp"
#include "runtime/errors.hpp"

namespace vrelpy {

PyObject* g_parse_error = nullptr;

namespace {

// The number of code points in UTF-8 `bytes`.
Py_ssize_t code_points(std::string_view bytes) {
  Py_ssize_t n = 0;
  for (const char c : bytes) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

// Sets `name` on `obj` to `value` (stolen); false on failure.
bool set_attribute(PyObject* obj, const char* name, PyObject* value) {
  PyRef held = PyRef::steal(value);
  return held && PyObject_SetAttrString(obj, name, held.get()) == 0;
}

// Raises ParseError for `message` at byte `pos` of `source`:
//   <message>: line L column C
//   <the line, or 160 characters of it around the column>
//   <a caret under the column>
// with the attributes msg, lineno, colno (both from 1), line and pos (in code points).
void raise_parse_error(std::string_view source, std::size_t pos, const std::string& message) {
  pos = std::min(pos, source.size());
  const std::size_t start = pos == 0 ? 0 : source.rfind('\n', pos - 1);
  const std::size_t line_start = start == std::string_view::npos || pos == 0 ? 0 : start + 1;
  std::size_t line_end = source.find('\n', pos);
  if (line_end == std::string_view::npos) line_end = source.size();
  std::string_view line = source.substr(line_start, line_end - line_start);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  Py_ssize_t lineno = 1;
  for (std::size_t i = 0; i < line_start; ++i) lineno += source[i] == '\n';
  const Py_ssize_t column = code_points(source.substr(line_start, pos - line_start));
  const Py_ssize_t offset = code_points(source.substr(0, pos));

  PyRef line_text = PyRef::steal(
      PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "replace"));
  if (!line_text) return;
  // What the message shows of the line: all of it, or a window around the column.
  constexpr Py_ssize_t kHalf = 80;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(line_text.get());
  Py_ssize_t from = 0, to = length;
  if (length > 2 * kHalf) {
    from = std::max<Py_ssize_t>(0, column - kHalf);
    to = std::min(length, column + kHalf);
  }
  PyRef shown = PyRef::steal(PyUnicode_Substring(line_text.get(), from, to));
  if (!shown) return;
  // The caret lines up under tabs as the line does.
  std::string caret = from > 0 ? "   " : "";
  for (Py_ssize_t i = from; i < std::min(column, length); ++i) {
    caret += PyUnicode_READ_CHAR(line_text.get(), i) == '\t' ? '\t' : ' ';
  }
  caret += '^';
  PyRef text = PyRef::steal(PyUnicode_FromFormat(
      "%s: line %zd column %zd\n%s%U%s\n%s", message.c_str(), lineno, column + 1,
      from > 0 ? "..." : "", shown.get(), to < length ? "..." : "", caret.c_str()));
  if (!text) return;
  PyRef error = PyRef::steal(PyObject_CallOneArg(g_parse_error, text.get()));
  if (!error) return;
  if (!set_attribute(error.get(), "msg", PyUnicode_FromString(message.c_str())) ||
      !set_attribute(error.get(), "lineno", PyLong_FromSsize_t(lineno)) ||
      !set_attribute(error.get(), "colno", PyLong_FromSsize_t(column + 1)) ||
      !set_attribute(error.get(), "line", line_text.release()) ||
      !set_attribute(error.get(), "pos", PyLong_FromSsize_t(offset))) {
    return;
  }
  PyErr_SetObject(g_parse_error, error.get());
}

// The UTF-8 form of the str `text`. A str with a lone surrogate has none: ParseError at
// the first one.
bool source_of(PyObject* text, std::string_view& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data) {
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
  PyErr_Clear();
  // Show the text up to the surrogate, whose place is what the error points at.
  Py_ssize_t at = 0;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  while (at < length) {
    const Py_UCS4 c = PyUnicode_READ_CHAR(text, at);
    if (c >= 0xD800 && c <= 0xDFFF) break;
    ++at;
  }
  PyRef head = PyRef::steal(PyUnicode_Substring(text, 0, at));
  if (!head) return false;
  Py_ssize_t head_size = 0;
  if (!PyUnicode_AsUTF8AndSize(head.get(), &head_size)) return false;
  PyRef tail = PyRef::steal(PyUnicode_Substring(text, at + 1, length));
  if (!tail) return false;
  PyRef shown = PyRef::steal(PyUnicode_FromFormat("%U?%U", head.get(), tail.get()));
  if (!shown) return false;
  Py_ssize_t shown_size = 0;
  const char* shown_data = PyUnicode_AsUTF8AndSize(shown.get(), &shown_size);
  if (!shown_data) {
    // Another lone surrogate further on: show only the text before the first.
    PyErr_Clear();
    shown = std::move(head);
    shown_data = PyUnicode_AsUTF8AndSize(shown.get(), &shown_size);
    if (!shown_data) return false;
  }
  raise_parse_error(std::string_view(shown_data, static_cast<std::size_t>(shown_size)),
                    static_cast<std::size_t>(head_size), msg::kLoneSurrogate);
  return false;
}

void raise_failure(std::string_view source, const text::ParseFailure& failure) {
  if (failure.python_error) return;  // already pending
  raise_parse_error(source, failure.pos, failure.message);
}

PyObject* text_result(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

PyObject* parse(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"text", "functions", nullptr};
    PyObject* text = nullptr;
    PyObject* functions = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|$O:parse", const_cast<char**>(keywords),
                                     &text, &functions) ||
        !functions_argument(functions)) {
      return nullptr;
    }
    std::string_view source;
    if (!source_of(text, source)) return nullptr;
    std::vector<vrel::Statement> program;
    text::Parser parser(source, functions);
    if (!parser.program(program)) {
      raise_failure(source, parser.failure());
      return nullptr;
    }
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(program.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < program.size(); ++i) {
      PyObject* item = wrap_statement(std::move(program[i]));
      if (!item) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

PyObject* unparse(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"program", nullptr};
    PyObject* program = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:unparse", const_cast<char**>(keywords),
                                     &program)) {
      return nullptr;
    }
    if (PyUnicode_Check(program) || !PySequence_Check(program)) {
      PyErr_Format(PyExc_TypeError, msg::kProgramNotSequenceFormat, Py_TYPE(program)->tp_name);
      return nullptr;
    }
    // The statements are held while they are written: writing a fn statement asks its
    // function for its name, which runs Python code.
    PyRef items = PyRef::steal(PySequence_Tuple(program));
    if (!items) return nullptr;
    std::string out;
    text::Writer writer(out);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
      PyObject* item = PyTuple_GET_ITEM(items.get(), i);
      if (!check_instance(item, g_statement_type, msg::kTargetStatement)) return nullptr;
      if (!writer.statement(statement_of(item))) return nullptr;
      out += '\n';
    }
    return text_result(out);
  });
}

}  // namespace

PyObject* expr_to_text(PyObject* self, PyObject*) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!check_instance(self, g_expr_type, "Expr")) return nullptr;
    std::string out;
    if (!text::Writer(out).expr(reinterpret_cast<PyExpr*>(self)->expr)) return nullptr;
    return text_result(out);
  });
}

PyObject* statement_to_text(PyObject* self, PyObject*) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!check_instance(self, g_statement_type, "Statement")) return nullptr;
    std::string out;
    if (!text::Writer(out).statement(statement_of(self))) return nullptr;
    return text_result(out);
  });
}

PyObject* expr_from_text(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"text", nullptr};
    PyObject* text = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U:from_text", const_cast<char**>(keywords),
                                     &text)) {
      return nullptr;
    }
    std::string_view source;
    if (!source_of(text, source)) return nullptr;
    vrel::Expr tree = vrel::Expr(vrel::Expr::Vector{});
    text::Parser parser(source, nullptr);
    if (!parser.expression(tree)) {
      raise_failure(source, parser.failure());
      return nullptr;
    }
    return wrap_expr(std::move(tree));
  });
}

PyObject* create_parse_error() {
  if (!g_parse_error) {
    g_parse_error = PyErr_NewExceptionWithDoc(msg::kParseErrorName, msg::kParseErrorDoc,
                                              PyExc_ValueError, nullptr);
  }
  return g_parse_error;
}

PyMethodDef g_text_functions[] = {
    {"parse", VRELPY_CFUNCTION(parse), METH_VARARGS | METH_KEYWORDS, msg::kParseDoc},
    {"unparse", VRELPY_CFUNCTION(unparse), METH_VARARGS | METH_KEYWORDS, msg::kUnparseDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vrelpy
