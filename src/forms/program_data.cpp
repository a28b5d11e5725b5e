// The data form of programs: writing trees as nested dicts and lists (to_data) and
// reading them back from untrusted data (from_data), version 2 of the schema (version 1
// without the and, or and cond nodes).
#include <string>
#include <type_traits>
#include <vector>

#include "api/classes.hpp"
#include "conversion/conversion.hpp"
#include "conversion/py_function.hpp"
#include "forms/program_forms.hpp"
#include "runtime/errors.hpp"
#include "runtime/recursion_guard.hpp"
#include "support/messages.hpp"
#include "vrel/vector_builder.hpp"

namespace vrelpy {
namespace {

using vrel::Expr;
using vrel::Identifier;
using vrel::Statement;

// ---- writing -----------------------------------------------------------------------------

// A new list of what each `make` returns, made in order. The first failure stops the rest
// from being made (no API call runs with an exception pending) and gives null.
template <class... Make>
PyRef list_from(Make&&... make) {
  PyRef list = PyRef::steal(PyList_New(sizeof...(Make)));
  if (!list) return PyRef();
  Py_ssize_t i = 0;
  const bool made = ([&] {
    PyRef item = make();
    if (!item) return false;
    PyList_SET_ITEM(list.get(), i++, item.release());
    return true;
  }() && ...);
  // A list left partly filled holds nulls in its last places, which its release skips.
  return made ? std::move(list) : PyRef();
}

// {key: payload}; null when the payload is null.
PyRef node(const char* key, PyRef payload) {
  if (!payload) return PyRef();
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || PyDict_SetItemString(dict.get(), key, payload.get()) < 0) return PyRef();
  return dict;
}

// Writes trees as data. Recursive, one guard per level: a tree too deep for the
// interpreter's recursion limit is a RecursionError (the data could not be written by json
// or pickle anyway). Every member returns null with an exception pending on failure.
class DataWriter {
 public:
  explicit DataWriter(PyObject* functions) noexcept : functions_(functions) {}

  // A shared subtree is written as its target, without a level of its own.
  PyRef expr(const Expr& tree) {
    const Expr* e = &tree;
    while (const auto* shared = std::get_if<Expr::Shared>(&e->node())) e = shared->target.get();
    RecursionGuard guard(kWhere);
    if (!guard) return PyRef();
    count_conversion_work();
    return std::visit([this](const auto& n) { return write(n); }, e->node());
  }

  PyRef statement(const Statement& s) {
    RecursionGuard guard(kWhere);
    if (!guard) return PyRef();
    count_conversion_work();
    return std::visit([this](const auto& n) { return write(n); }, s.node());
  }

 private:
  static constexpr const char* kWhere = msg::kWritingData;

  // A literal's value is written as exactly what `get` would return for it.
  PyRef write(const Expr::Literal& n) { return node("literal", value_to_python(n.value)); }
  PyRef write(const Expr::Constant& n) { return node("literal", value_to_python(*n.value)); }
  PyRef write(const Expr::Ident& n) { return node("ident", identifier_to_python(n.id)); }
  PyRef write(const Expr::BinaryOp& n) {
    return node("binary_op",
                list_from([&] { return expr(*n.left); },
                          [&] { return PyRef::steal(PyUnicode_FromString(operator_text(n.op))); },
                          [&] { return expr(*n.right); }));
  }
  PyRef write(const Expr::Equals& n) { return pair("equals", n); }
  PyRef write(const Expr::GreaterThan& n) { return pair("greater_than", n); }
  PyRef write(const Expr::LessThan& n) { return pair("less_than", n); }
  PyRef write(const Expr::Not& n) { return node("not", expr(*n.operand)); }
  PyRef write(const Expr::And& n) { return pair("and", n); }
  PyRef write(const Expr::Or& n) { return pair("or", n); }
  PyRef write(const Expr::Cond& n) {
    return node("cond", list_from([&] { return expr(*n.condition); }, [&] { return expr(*n.then); },
                                  [&] { return expr(*n.otherwise); }));
  }
  PyRef write(const Expr::Call& n) {
    return node("call", list_from([&] { return identifier_to_python(n.function); },
                                  [&] { return expr(*n.argument); }));
  }
  PyRef write(const Expr::Vector& n) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n.items.size())));
    if (!list) return PyRef();
    for (std::size_t i = 0; i < n.items.size(); ++i) {
      PyRef item = expr(n.items[i]);
      if (!item) return PyRef();
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return node("vector", std::move(list));
  }
  PyRef write(const Expr::Shared& n) { return expr(*n.target); }

  PyRef write(const Statement::Let& n) {
    return node(
        "let", list_from([&] { return identifier_to_python(n.id); }, [&] { return expr(n.expr); }));
  }
  PyRef write(const Statement::If& n) {
    return node("if",
                list_from([&] { return expr(n.condition); }, [&] { return block(n.then_block); },
                          [&] { return block(n.otherwise_block); }));
  }
  PyRef write(const Statement::Fn& n) {
    const auto* fn = dynamic_cast<const PyVrelFn*>(n.function.get());
    if (!fn) {
      PyErr_SetString(PyExc_TypeError, msg::kForeignFunction);
      return PyRef();
    }
    PyRef name = PyRef::steal(PyObject_GetAttrString(fn->function(), "__qualname__"));
    if (!name) return PyRef();
    if (!PyUnicode_Check(name.get())) {
      PyErr_SetString(PyExc_TypeError, msg::kQualnameNotStr);
      return PyRef();
    }
    if (functions_ && !enter_function(name.get(), fn->function())) return PyRef();
    return node("fn", list_from([&] { return identifier_to_python(n.id); },
                                [&] { return std::move(name); }));
  }

  template <class Pair>
  PyRef pair(const char* key, const Pair& n) {
    return node(key, list_from([&] { return expr(*n.left); }, [&] { return expr(*n.right); }));
  }

  PyRef block(const Statement::Block& statements) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(statements.size())));
    if (!list) return PyRef();
    for (std::size_t i = 0; i < statements.size(); ++i) {
      PyRef item = statement(statements[i]);
      if (!item) return PyRef();
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
  }

  // One name, one function: data that names two functions alike could not say which
  // one each fn statement means.
  bool enter_function(PyObject* name, PyObject* function) {
    PyObject* known = nullptr;
    const int found = PyDict_GetItemRef(functions_, name, &known);
    if (found < 0) return false;
    PyRef held = PyRef::steal(known);
    if (found == 0) return PyDict_SetItem(functions_, name, function) == 0;
    if (held.get() == function) return true;
    PyErr_Format(PyExc_ValueError, msg::kSameNameFunctionsFormat, name);
    return false;
  }

  PyObject* functions_;  // borrowed dict, or null
};

// ---- reading -------------------------------------------------------------------------------

// The reader takes the built-in types it accepts, subclasses included, by their storage:
// what it checked is what it reads, and no method of a subclass runs (a str subclass's
// __index__ or __repr__, a list subclass's __iter__).

// The repr of a None, bool, int, float or str (or subclass) as its built-in type writes it.
std::string plain_repr(PyObject* obj) {
  PyTypeObject* base = PyUnicode_Check(obj) ? &PyUnicode_Type
                       : PyFloat_Check(obj) ? &PyFloat_Type
                       : PyLong_Check(obj)
                           ? Py_TYPE(obj) == &PyBool_Type ? &PyBool_Type : &PyLong_Type
                           : Py_TYPE(obj);
  std::string out;
  PyRef text = PyRef::steal(base->tp_repr(obj));
  if (text && utf8_text(text.get(), out)) return out;
  PyErr_Clear();
  return "an unprintable value";
}

// A short description of an untrusted object for error messages. Containers are described
// by their size, never printed: the repr of shared or self-containing data could take
// forever or be enormous.
std::string describe(PyObject* obj) {
  if (PyDict_Check(obj)) {
    const Py_ssize_t n = PyDict_GET_SIZE(obj);
    return n == 0 ? "an empty dict"
                  : "a dict with " + std::to_string(n) + (n == 1 ? " key" : " keys");
  }
  if (PyList_Check(obj)) {
    const Py_ssize_t n = PyList_GET_SIZE(obj);
    return n == 0 ? "an empty list"
                  : "a list of " + std::to_string(n) + (n == 1 ? " item" : " items");
  }
  if (PyUnicode_Check(obj) && PyUnicode_GET_LENGTH(obj) > 60) {
    PyRef head = PyRef::steal(PyUnicode_Substring(obj, 0, 60));
    if (!head) {
      PyErr_Clear();
      return "a long str";
    }
    return repr_or(head.get(), "a long str") + "...";
  }
  if (obj == Py_None || PyBool_Check(obj) || PyLong_Check(obj) || PyFloat_Check(obj) ||
      PyUnicode_Check(obj)) {
    return plain_repr(obj);
  }
  return "an object of type '" + type_qualname(obj) + "'";
}

using msg::kExpectedExpr;
using msg::kExpectedIdent;
using msg::kExpectedStatement;
using msg::kExpectedValue;
using msg::kExprKinds;
using msg::kStatementKinds;

// What a read writes over: the reader hands its results back through out-parameters, and
// trees have no empty state of their own. Neither allocates.
Expr unread_expr() noexcept { return Expr::Vector{}; }
Statement unread_statement() noexcept { return Statement::Let{Identifier(), unread_expr()}; }

// Reads trees from untrusted data. Every node is checked before anything is built from
// it; a failure leaves an exception whose message starts with the path to the bad spot
// ("at [1]['if'][0]: ..."), and the parts built so far are dropped. Recursive, one guard
// per level, so data nested deeper than the interpreter's limit, or a list containing
// itself, is a RecursionError; and what it builds is counted as the writers count it
// (WrittenSize), so that data sharing its parts (a list holding the same dict twice, many
// levels over, or one long str in many places) cannot make the reader build more than the
// writers would write.
class DataReader {
 public:
  explicit DataReader(PyObject* functions) noexcept : functions_(functions) {}

  // The readers write `out` only when they succeed; on failure they return false with the
  // exception pending.
  bool expr(PyObject* data, Expr& out) {
    RecursionGuard guard(kWhere);
    if (!guard || !count_node()) return false;
    PyRef key, payload;
    if (!entry(data, kExpectedExpr, key, payload)) return false;
    Step step(this, key.get());
    PyObject* p = payload.get();
    if (is(key, "literal")) return literal(p, out);
    if (is(key, "ident")) {
      Identifier id;
      if (!identifier(p, id)) return false;
      out = Expr(Expr::Ident{std::move(id)});
      return true;
    }
    if (is(key, "binary_op")) return binary_op(p, out);
    if (is(key, "equals")) return pair<Expr::equals>(p, out);
    if (is(key, "greater_than")) return pair<Expr::greater_than>(p, out);
    if (is(key, "less_than")) return pair<Expr::less_than>(p, out);
    if (is(key, "not")) {
      Expr operand = unread_expr();
      if (!expr(p, operand)) return false;
      out = Expr::not_(std::move(operand));
      return true;
    }
    if (is(key, "call")) return call(p, out);
    if (is(key, "vector")) return vector(p, out);
    if (is(key, "and")) return pair<Expr::and_>(p, out);
    if (is(key, "or")) return pair<Expr::or_>(p, out);
    if (is(key, "cond")) return cond(p, out);
    step.pop();
    return unknown(key.get(), "expression", kExprKinds);
  }

  bool statement(PyObject* data, Statement& out) {
    RecursionGuard guard(kWhere);
    if (!guard || !count_node()) return false;
    PyRef key, payload;
    if (!entry(data, kExpectedStatement, key, payload)) return false;
    Step step(this, key.get());
    PyObject* p = payload.get();
    if (is(key, "let")) return let(p, out);
    if (is(key, "if")) return branch(p, out);
    if (is(key, "fn")) return fn(p, out);
    step.pop();
    return unknown(key.get(), "statement", kStatementKinds);
  }

 private:
  static constexpr const char* kWhere = msg::kReadingData;

  // One step of the path: a dict key (a str object) or a list index.
  struct PathStep {
    PyObject* key;  // borrowed from the data, which the reader holds; null for an index
    Py_ssize_t index;
  };

  // Pushes a step for the lifetime of the scope (or until pop()).
  class Step {
   public:
    Step(DataReader* reader, PyObject* key) : reader_(reader) {
      reader_->path_.push_back(PathStep{key, 0});
    }
    Step(DataReader* reader, Py_ssize_t index) : reader_(reader) {
      reader_->path_.push_back(PathStep{nullptr, index});
    }
    ~Step() { pop(); }
    void pop() noexcept {
      if (reader_) reader_->path_.pop_back();
      reader_ = nullptr;
    }
    Step(const Step&) = delete;
    Step& operator=(const Step&) = delete;

   private:
    DataReader* reader_;
  };

  // "[0]['if'][1]"; the middle of a very deep path is left out.
  std::string path_text() const {
    if (path_.empty()) return "top level";
    constexpr std::size_t kHead = 8, kTail = 16;
    std::string text;
    for (std::size_t i = 0; i < path_.size(); ++i) {
      if (i == kHead && path_.size() > kHead + kTail + 1) {
        text += "...";
        i = path_.size() - kTail - 1;
        continue;
      }
      const PathStep& step = path_[i];
      text += '[';
      text += step.key ? plain_repr(step.key) : std::to_string(step.index);
      text += ']';
    }
    return text;
  }

  // Raises `type` with "at <path>: <message>"; always returns false.
  bool fail(PyObject* type, const std::string& message) {
    const std::string text = "at " + path_text() + ": " + message;
    PyErr_SetString(type, text.c_str());
    return false;
  }
  bool expected(PyObject* type, const char* what, PyObject* got) {
    return fail(type, std::string("expected ") + what + ", got " + describe(got));
  }

  // Counts what the data makes the reader build, as the writers count what they write, and
  // the work of it (long reads handle signals and see the deadlines of runs under way). The
  // limits are a property of the whole data, so their error names no path.
  bool count(std::uint64_t WrittenSize::*what, std::uint64_t n) {
    size_.*what += n;
    count_conversion_work();
    std::uint64_t limit = 0;
    if (!size_.exceeded(limit)) return true;
    return size_.raise_exceeded(msg::kTooLargeToReadFormat);
  }
  bool count_node() { return count(&WrittenSize::nodes, 1); }

  static bool is(const PyRef& key, const char* name) {
    return PyUnicode_EqualToUTF8(key.get(), name) == 1;
  }

  // The only key of a node and its payload, both held.
  bool entry(PyObject* data, const char* what, PyRef& key, PyRef& payload) {
    if (!PyDict_Check(data)) {
      expected(PyExc_TypeError, what, data);
      return false;
    }
    if (PyDict_GET_SIZE(data) != 1) {
      expected(PyExc_ValueError, what, data);
      return false;
    }
    Py_ssize_t pos = 0;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    if (!PyDict_Next(data, &pos, &k, &v)) {
      expected(PyExc_ValueError, what, data);
      return false;
    }
    key = PyRef::borrow(k);
    payload = PyRef::borrow(v);
    if (!PyUnicode_Check(k)) {
      fail(PyExc_ValueError,
           std::string("expected ") + what + " whose key is a str, got the key " + describe(k));
      return false;
    }
    return true;
  }

  bool unknown(PyObject* key, const char* kind, const char* kinds) {
    return fail(PyExc_ValueError, std::string("unknown ") + kind + " " + describe(key) +
                                      " (expected one of: " + kinds + ")");
  }

  // The `n` items of an argument list, held.
  bool items(PyObject* payload, Py_ssize_t n, PyRef* out) {
    if (!PyList_Check(payload) || PyList_GET_SIZE(payload) != n) {
      const std::string what = "a list of " + std::to_string(n) + " items";
      expected(PyList_Check(payload) ? PyExc_ValueError : PyExc_TypeError, what.c_str(), payload);
      return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = PyRef::borrow(PyList_GET_ITEM(payload, i));
    return true;
  }

  bool expr_at(PyObject* data, Py_ssize_t index, Expr& out) {
    Step step(this, index);
    return expr(data, out);
  }

  bool identifier(PyObject* data, Identifier& out) {
    if (PyLong_Check(data) && !PyBool_Check(data)) {
      const unsigned long long v = PyLong_AsUnsignedLongLong(data);
      if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return expected(PyExc_ValueError, kExpectedIdent, data);
      }
      out = Identifier::u(v);
      return true;
    }
    if (!PyUnicode_Check(data)) return expected(PyExc_TypeError, kExpectedIdent, data);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(data, &size);
    if (!utf8) {
      PyErr_Clear();
      return expected(PyExc_ValueError, kExpectedIdent, data);
    }
    if (!count(&WrittenSize::text_bytes, static_cast<std::uint64_t>(size))) return false;
    out = Identifier::s(std::string(utf8, static_cast<std::size_t>(size)));
    return true;
  }

  bool identifier_at(PyObject* data, Py_ssize_t index, Identifier& out) {
    Step step(this, index);
    return identifier(data, out);
  }

  // A literal's payload as a value, built as Expr.literal would build it from the same plain
  // data, element by element. The only Python code that can run meanwhile is a signal
  // handler at a work check, which may change a list: its length is read again for every
  // element, and each element is held while it is read.
  bool plain_value(PyObject* data, vrel::Value& out) {
    RecursionGuard guard(kWhere);
    if (!guard || !count(&WrittenSize::values, 1)) return false;
    if (data == Py_None) {
      out = vrel::Value::null();
      return true;
    }
    if (PyBool_Check(data)) {
      out = vrel::Value::boolean(data == Py_True);
      return true;
    }
    if (PyFloat_Check(data)) {
      out = vrel::Value::floating(PyFloat_AS_DOUBLE(data));
      return true;
    }
    if (PyLong_Check(data)) {
      int overflow = 0;
      const long long v = PyLong_AsLongLongAndOverflow(data, &overflow);
      if (!overflow) {
        out = vrel::Value::integer(v);
        return true;
      }
      const double d = PyLong_AsDouble(data);
      if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return fail(PyExc_ValueError, "expected a value, got an int too large for a float");
      }
      out = vrel::Value::floating(d);
      return true;
    }
    if (PyUnicode_Check(data)) {
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(data, &size);
      if (!utf8) {
        PyErr_Clear();
        return fail(PyExc_ValueError, "expected a value, got a str without a UTF-8 form");
      }
      if (!count(&WrittenSize::text_bytes, static_cast<std::uint64_t>(size))) return false;
      out = vrel::Value::string(std::string(utf8, static_cast<std::size_t>(size)));
      return true;
    }
    if (!PyList_Check(data)) return expected(PyExc_TypeError, kExpectedValue, data);
    // Refused before any cell is allocated when the elements alone pass the limit.
    const Py_ssize_t n = PyList_GET_SIZE(data);
    if (size_.values + static_cast<std::uint64_t>(n) > kMaxWrittenValues) {
      return count(&WrittenSize::values, static_cast<std::uint64_t>(n));
    }
    vrel::VectorBuilder items(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data); ++i) {
      Step step(this, i);
      PyRef element = PyRef::borrow(PyList_GET_ITEM(data, i));
      vrel::Value item;
      if (!plain_value(element.get(), item)) return false;
      items.push(std::move(item));
    }
    out = items.finish();
    return true;
  }

  bool literal(PyObject* data, Expr& out) {
    vrel::Value value;
    if (!plain_value(data, value)) return false;
    // Held as Expr.literal holds it.
    out = Expr(Expr::Constant{vrel::SharedValue::make(std::move(value))});
    return true;
  }

  bool binary_op(PyObject* payload, Expr& out) {
    PyRef args[3];
    if (!items(payload, 3, args)) return false;
    Expr left = unread_expr();
    if (!expr_at(args[0].get(), 0, left)) return false;
    vrel::BinaryOperator op{};
    {
      Step step(this, Py_ssize_t{1});
      if (!operator_of(args[1].get(), op)) return false;
    }
    Expr right = unread_expr();
    if (!expr_at(args[2].get(), 2, right)) return false;
    out = Expr::binary_op(std::move(left), op, std::move(right));
    return true;
  }

  bool operator_of(PyObject* data, vrel::BinaryOperator& out) {
    constexpr const char* kWhat = msg::kExpectedOperator;
    if (!PyUnicode_Check(data)) return expected(PyExc_TypeError, kWhat, data);
    if (PyUnicode_EqualToUTF8(data, "+")) {
      out = vrel::BinaryOperator::Add;
      return true;
    }
    if (PyUnicode_EqualToUTF8(data, "-")) {
      out = vrel::BinaryOperator::Sub;
      return true;
    }
    if (PyUnicode_EqualToUTF8(data, "*")) {
      out = vrel::BinaryOperator::Mul;
      return true;
    }
    if (PyUnicode_EqualToUTF8(data, "/")) {
      out = vrel::BinaryOperator::Div;
      return true;
    }
    return expected(PyExc_ValueError, kWhat, data);
  }

  template <Expr (*Make)(Expr, Expr)>
  bool pair(PyObject* payload, Expr& out) {
    PyRef args[2];
    if (!items(payload, 2, args)) return false;
    Expr left = unread_expr();
    if (!expr_at(args[0].get(), 0, left)) return false;
    Expr right = unread_expr();
    if (!expr_at(args[1].get(), 1, right)) return false;
    out = Make(std::move(left), std::move(right));
    return true;
  }

  bool cond(PyObject* payload, Expr& out) {
    PyRef args[3];
    if (!items(payload, 3, args)) return false;
    Expr condition = unread_expr();
    if (!expr_at(args[0].get(), 0, condition)) return false;
    Expr then = unread_expr();
    if (!expr_at(args[1].get(), 1, then)) return false;
    Expr otherwise = unread_expr();
    if (!expr_at(args[2].get(), 2, otherwise)) return false;
    out = Expr::cond(std::move(condition), std::move(then), std::move(otherwise));
    return true;
  }

  bool call(PyObject* payload, Expr& out) {
    PyRef args[2];
    if (!items(payload, 2, args)) return false;
    Identifier id;
    if (!identifier_at(args[0].get(), 0, id)) return false;
    Expr argument = unread_expr();
    if (!expr_at(args[1].get(), 1, argument)) return false;
    out = Expr::call(std::move(id), std::move(argument));
    return true;
  }

  // A list read item by item with each item held, re-reading its length every time:
  // reading a fn statement may run Python code (the functions mapping) that changes it.
  template <class Read>
  bool each_item(PyObject* list, Read&& read) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
      PyRef item = PyRef::borrow(PyList_GET_ITEM(list, i));
      Step step(this, i);
      if (!read(item.get())) return false;
    }
    return true;
  }

  bool vector(PyObject* payload, Expr& out) {
    if (!PyList_Check(payload)) {
      return expected(PyExc_TypeError, "a list of expressions", payload);
    }
    std::vector<Expr> items;
    items.reserve(static_cast<std::size_t>(PyList_GET_SIZE(payload)));
    const bool ok = each_item(payload, [&](PyObject* item) {
      Expr e = unread_expr();
      if (!expr(item, e)) return false;
      items.push_back(std::move(e));
      return true;
    });
    if (!ok) return false;
    out = Expr(Expr::Vector{std::move(items)});
    return true;
  }

  bool let(PyObject* payload, Statement& out) {
    PyRef args[2];
    if (!items(payload, 2, args)) return false;
    Identifier id;
    if (!identifier_at(args[0].get(), 0, id)) return false;
    Expr value = unread_expr();
    if (!expr_at(args[1].get(), 1, value)) return false;
    out = Statement(Statement::Let{std::move(id), std::move(value)});
    return true;
  }

  bool block(PyObject* data, Py_ssize_t index, std::vector<Statement>& out) {
    Step step(this, index);
    if (!PyList_Check(data)) return expected(PyExc_TypeError, "a list of statements", data);
    std::vector<Statement> block;
    block.reserve(static_cast<std::size_t>(PyList_GET_SIZE(data)));
    const bool ok = each_item(data, [&](PyObject* item) {
      Statement s = unread_statement();
      if (!statement(item, s)) return false;
      block.push_back(std::move(s));
      return true;
    });
    if (!ok) return false;
    out = std::move(block);
    return true;
  }

  bool branch(PyObject* payload, Statement& out) {
    PyRef args[3];
    if (!items(payload, 3, args)) return false;
    Expr condition = unread_expr();
    if (!expr_at(args[0].get(), 0, condition)) return false;
    std::vector<Statement> then_block;
    if (!block(args[1].get(), 1, then_block)) return false;
    std::vector<Statement> otherwise_block;
    if (!block(args[2].get(), 2, otherwise_block)) return false;
    out = Statement(
        Statement::If{std::move(condition), std::move(then_block), std::move(otherwise_block)});
    return true;
  }

  // The function is looked up in `functions` and nowhere else: data never makes the
  // reader import or evaluate anything.
  bool fn(PyObject* payload, Statement& out) {
    PyRef args[2];
    if (!items(payload, 2, args)) return false;
    Identifier id;
    if (!identifier_at(args[0].get(), 0, id)) return false;
    Step step(this, Py_ssize_t{1});
    PyObject* name = args[1].get();
    if (!PyUnicode_Check(name)) return expected(PyExc_TypeError, "a function name (a str)", name);
    if (!functions_) {
      return fail(PyExc_ValueError,
                  "the function " + repr_or(name, "?") + " is not in functions (none given)");
    }
    PyObject* found = nullptr;
    const int r = PyMapping_GetOptionalItem(functions_, name, &found);
    if (r < 0) return false;
    PyRef function = PyRef::steal(found);
    if (r == 0) {
      return fail(PyExc_ValueError, "the function " + repr_or(name, "?") + " is not in functions");
    }
    if (!Py_IS_TYPE(function.get(), &PyFunction_Type)) {
      return fail(PyExc_TypeError, "functions[" + repr_or(name, "?") +
                                       "] must be a plain Python function, got " +
                                       describe(function.get()));
    }
    out = Statement(Statement::Fn{std::move(id), std::make_unique<PyVrelFn>(std::move(function))});
    return true;
  }

  PyObject* functions_;  // borrowed, or null
  std::vector<PathStep> path_;
  WrittenSize size_;
};

// The argument parsing of the from_data methods and their module-function twins.
bool parse_from_data(PyObject* args, PyObject* kwargs, bool with_functions, PyObject*& data,
                     PyObject*& functions) {
  static const char* expr_keywords[] = {"data", nullptr};
  static const char* statement_keywords[] = {"data", "functions", nullptr};
  functions = Py_None;
  const bool parsed =
      with_functions
          ? PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:from_data",
                                        const_cast<char**>(statement_keywords), &data, &functions)
          : PyArg_ParseTupleAndKeywords(args, kwargs, "O:from_data",
                                        const_cast<char**>(expr_keywords), &data);
  return parsed && functions_argument(functions);
}

}  // namespace

bool functions_argument(PyObject*& functions) {
  if (functions == Py_None) {
    functions = nullptr;
    return true;
  }
  // A mapping as dict.update tells one: it has keys (a list has __getitem__ too).
  const int is_mapping = PyObject_HasAttrStringWithError(functions, "keys");
  if (is_mapping < 0) return false;
  if (!is_mapping) {
    PyErr_Format(PyExc_TypeError, msg::kFunctionsNotMappingFormat, Py_TYPE(functions)->tp_name);
    return false;
  }
  return true;
}

PyRef expr_to_python_data(const Expr& tree) {
  if (!check_written_size(tree)) return PyRef();
  return DataWriter(nullptr).expr(tree);
}

PyRef statement_to_python_data(const Statement& tree, PyObject* functions) {
  if (!check_written_size(tree)) return PyRef();
  return DataWriter(functions).statement(tree);
}

bool expr_from_python_data(PyObject* data, Expr& out) {
  return DataReader(nullptr).expr(data, out);
}

bool statement_from_python_data(PyObject* data, PyObject* functions, Statement& out) {
  return DataReader(functions).statement(data, out);
}

PyObject* expr_to_data(PyObject* self, PyObject*) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!check_instance(self, g_expr_type, "Expr")) return nullptr;
    return expr_to_python_data(reinterpret_cast<PyExpr*>(self)->expr).release();
  });
}

PyObject* statement_to_data(PyObject* self, PyObject*) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!check_instance(self, g_statement_type, "Statement")) return nullptr;
    return statement_to_python_data(statement_of(self), nullptr).release();
  });
}

PyObject* expr_from_data(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* data = nullptr;
    PyObject* functions = nullptr;
    if (!parse_from_data(args, kwargs, false, data, functions)) return nullptr;
    Expr tree = unread_expr();
    if (!expr_from_python_data(data, tree)) return nullptr;
    return wrap_expr(std::move(tree));
  });
}

PyObject* statement_from_data(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* data = nullptr;
    PyObject* functions = nullptr;
    if (!parse_from_data(args, kwargs, true, data, functions)) return nullptr;
    Statement tree = unread_statement();
    if (!statement_from_python_data(data, functions, tree)) return nullptr;
    return wrap_statement(std::move(tree));
  });
}

}  // namespace vrelpy
