// The writer of the text form: trees as text that the parser reads back to the same trees.
#include "forms/text_writer.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdio>

#include "conversion/py_function.hpp"
#include "forms/program_forms.hpp"
#include "forms/text_lexer.hpp"
#include "forms/text_messages.hpp"
#include "runtime/recursion_guard.hpp"

namespace vrelpy::text {

using vrel::Expr;
using vrel::Statement;

namespace {

const Expr& target_of(const Expr& tree) {
  const Expr* e = &tree;
  while (const auto* shared = std::get_if<Expr::Shared>(&e->node())) e = shared->target.get();
  return *e;
}

bool is_literal(const Expr& e) {
  const Expr::Kind kind = target_of(e).kind();
  return kind == Expr::Kind::Literal || kind == Expr::Kind::Constant;
}

}  // namespace

void write_float(std::string& out, double x) {
  const auto bits = std::bit_cast<std::uint64_t>(x);
  if (x != x) {
    if (bits == 0x7ff8000000000000u) {
      out += "nan";
    } else if (bits == 0xfff8000000000000u) {
      out += "-nan";
    } else {
      char text[32];
      std::snprintf(text, sizeof text, "nan(0x%016llx)", static_cast<unsigned long long>(bits));
      out += text;
    }
    return;
  }
  if (x == __builtin_inf() || x == -__builtin_inf()) {
    out += x > 0 ? "inf" : "-inf";
    return;
  }
  // The shortest digits that read back to x, laid out as Python's repr lays them out:
  // plain decimal for exponents from -4 to 15, scientific otherwise.
  char sci[40];
  const auto result = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
  const std::string_view text(sci, static_cast<std::size_t>(result.ptr - sci));
  const std::size_t e = text.find('e');
  int exponent = 0;
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(),
                  exponent);
  if (exponent < -4 || exponent >= 16) {
    out += text;
    return;
  }
  std::string digits;
  bool negative = false;
  for (std::size_t i = 0; i < e; ++i) {
    if (text[i] == '-') {
      negative = true;
    } else if (text[i] != '.') {
      digits += text[i];
    }
  }
  if (negative) out += '-';
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
    return;
  }
  const auto whole = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= whole) {
    out += digits;
    out.append(whole - digits.size(), '0');
    out += ".0";
    return;
  }
  out.append(digits, 0, whole);
  out += '.';
  out.append(digits, whole);
}

bool Writer::count() {
  if (++nodes_ <= kMaxWrittenNodes) return true;
  // Raised where every other size limit is raised, so that the message gets both of the
  // format's arguments (the limit and what it counts).
  WrittenSize size;
  size.nodes = nodes_;
  return size.raise_exceeded(msg::kTooLargeToWriteFormat);
}

void Writer::indent(int depth) {
  out_.append(static_cast<std::size_t>(std::min(depth, 32)) * 4, ' ');
}

void Writer::identifier(const vrel::Identifier& id) {
  if (id.is_u()) {
    char text[24];
    const auto r = std::to_chars(text, text + sizeof text, id.as_u());
    out_ += '$';
    out_.append(text, r.ptr);
    return;
  }
  if (is_plain_name(id.as_s())) {
    out_ += id.as_s();
    return;
  }
  out_ += '$';
  vrel::write_quoted(out_, id.as_s());
}

bool Writer::value(const vrel::Value& v) {
  using vrel::ValueKind;
  switch (v.kind()) {
    case ValueKind::Null:
      out_ += "null";
      return true;
    case ValueKind::Boolean:
      out_ += v.as_boolean() ? "true" : "false";
      return true;
    case ValueKind::String:
      vrel::write_quoted(out_, v.as_string());
      return true;
    case ValueKind::Number: {
      const vrel::Number n = v.as_number();
      if (n.is_float()) {
        write_float(out_, n.as_float());
        return true;
      }
      char text[24];
      const auto r = std::to_chars(text, text + sizeof text, n.as_int());
      out_.append(text, r.ptr);
      return true;
    }
    case ValueKind::Vector: {
      RecursionGuard guard(msg::kWritingText);
      if (!guard) return false;
      out_ += '[';
      bool first = true;
      for (const vrel::SharedValue& item : v.as_vector()) {
        if (!first) out_ += ", ";
        first = false;
        if (!value(*item)) return false;
      }
      out_ += ']';
      return true;
    }
    case ValueKind::Function:
      PyErr_SetString(PyExc_TypeError, msg::kFunctionLiteralText);
      return false;
  }
  return true;
}

bool Writer::expr(const Expr& tree) { return expr(tree, kCond); }

bool Writer::expr(const Expr& tree, int need) {
  const Expr& e = target_of(tree);
  RecursionGuard guard(msg::kWritingText);
  if (!guard || !count()) return false;
  using Kind = Expr::Kind;
  // not (a == b), not (a < b) and not (a > b) are written as a != b, a >= b and a <= b.
  const Expr* negated = nullptr;
  if (const auto* n = std::get_if<Expr::Not>(&e.node())) {
    const Expr& inner = target_of(*n->operand);
    const Kind k = inner.kind();
    if (k == Kind::Equals || k == Kind::LessThan || k == Kind::GreaterThan) negated = &inner;
  }
  int own = kAtom;
  switch (e.kind()) {
    case Kind::BinaryOp: {
      const auto op = std::get_if<Expr::BinaryOp>(&e.node())->op;
      own = op == vrel::BinaryOperator::Add || op == vrel::BinaryOperator::Sub ? kSum : kProduct;
      break;
    }
    case Kind::Equals:
    case Kind::LessThan:
    case Kind::GreaterThan:
      own = kCmp;
      break;
    case Kind::Not:
      own = negated ? kCmp : kNot;
      break;
    case Kind::And:
      own = kAnd;
      break;
    case Kind::Or:
      own = kOr;
      break;
    case Kind::Cond:
      own = kCond;
      break;
    default:
      break;
  }
  const bool parens = own < need;
  if (parens) out_ += '(';
  const auto comparison = [&](const Expr& cmp, const char* op) {
    const auto pair = [&](const auto& n) {
      return expr(*n.left, kSum) && (out_ += op, true) && expr(*n.right, kSum);
    };
    switch (cmp.kind()) {
      case Kind::Equals:
        return pair(*std::get_if<Expr::Equals>(&cmp.node()));
      case Kind::LessThan:
        return pair(*std::get_if<Expr::LessThan>(&cmp.node()));
      default:
        return pair(*std::get_if<Expr::GreaterThan>(&cmp.node()));
    }
  };
  bool ok = true;
  switch (e.kind()) {
    case Kind::Literal:
      ok = value(std::get_if<Expr::Literal>(&e.node())->value);
      break;
    case Kind::Constant:
      ok = value(*std::get_if<Expr::Constant>(&e.node())->value);
      break;
    case Kind::Ident:
      identifier(std::get_if<Expr::Ident>(&e.node())->id);
      break;
    case Kind::BinaryOp: {
      const auto& n = *std::get_if<Expr::BinaryOp>(&e.node());
      ok = expr(*n.left, own);
      out_ += ' ';
      out_ += operator_text(n.op);
      out_ += ' ';
      ok = ok && expr(*n.right, own + 1);
      break;
    }
    case Kind::Equals:
      ok = comparison(e, " == ");
      break;
    case Kind::LessThan:
      ok = comparison(e, " < ");
      break;
    case Kind::GreaterThan:
      ok = comparison(e, " > ");
      break;
    case Kind::Not:
      if (negated) {
        ok = count() && comparison(*negated, negated->kind() == Kind::Equals     ? " != "
                                             : negated->kind() == Kind::LessThan ? " >= "
                                                                                 : " <= ");
      } else {
        out_ += "not ";
        ok = expr(*std::get_if<Expr::Not>(&e.node())->operand, kNot);
      }
      break;
    case Kind::Call: {
      const auto& n = *std::get_if<Expr::Call>(&e.node());
      identifier(n.function);
      out_ += '(';
      ok = expr(*n.argument, kCond);
      out_ += ')';
      break;
    }
    case Kind::Vector: {
      const auto& items = std::get_if<Expr::Vector>(&e.node())->items;
      // [...] of literals only would read back as one literal: such a vector expression
      // (the empty one too) is written vector[...].
      const bool literals = std::all_of(items.begin(), items.end(), is_literal);
      out_ += literals ? "vector[" : "[";
      for (std::size_t i = 0; ok && i < items.size(); ++i) {
        if (i) out_ += ", ";
        ok = expr(items[i], kCond);
      }
      out_ += ']';
      break;
    }
    case Kind::And: {
      // Left-associative: a and b and c is (a and b) and c.
      const auto& n = *std::get_if<Expr::And>(&e.node());
      ok = expr(*n.left, kAnd) && (out_ += " and ", true) && expr(*n.right, kNot);
      break;
    }
    case Kind::Or: {
      const auto& n = *std::get_if<Expr::Or>(&e.node());
      ok = expr(*n.left, kOr) && (out_ += " or ", true) && expr(*n.right, kAnd);
      break;
    }
    case Kind::Cond: {
      // then if condition else otherwise; right-associative in its otherwise part.
      const auto& n = *std::get_if<Expr::Cond>(&e.node());
      ok = expr(*n.then, kOr) && (out_ += " if ", true) && expr(*n.condition, kOr) &&
           (out_ += " else ", true) && expr(*n.otherwise, kCond);
      break;
    }
    case Kind::Shared:  // seen through above
      break;
  }
  if (parens) out_ += ')';
  return ok;
}

bool Writer::block(const Statement::Block& b, int depth) {
  out_ += '{';
  if (b.empty()) {
    out_ += '}';
    return true;
  }
  out_ += '\n';
  for (const Statement& s : b) {
    if (!statement(s, depth + 1)) return false;
    out_ += '\n';
  }
  indent(depth);
  out_ += '}';
  return true;
}

bool Writer::if_statement(const Statement::If& n, int depth) {
  out_ += "if ";
  if (!expr(n.condition, kCond)) return false;
  out_ += ' ';
  if (!block(n.then_block, depth)) return false;
  if (n.otherwise_block.empty()) return true;
  out_ += " else ";
  // An otherwise block of one if statement is written as else if.
  if (n.otherwise_block.size() == 1) {
    if (const auto* inner = std::get_if<Statement::If>(&n.otherwise_block[0].node())) {
      RecursionGuard guard(msg::kWritingText);
      if (!guard || !count()) return false;
      return if_statement(*inner, depth);
    }
  }
  return block(n.otherwise_block, depth);
}

bool Writer::statement(const Statement& s, int depth) {
  RecursionGuard guard(msg::kWritingText);
  if (!guard || !count()) return false;
  indent(depth);
  if (const auto* let = std::get_if<Statement::Let>(&s.node())) {
    identifier(let->id);
    out_ += " = ";
    return expr(let->expr, kCond);
  }
  if (const auto* branch = std::get_if<Statement::If>(&s.node())) {
    return if_statement(*branch, depth);
  }
  const auto& fn = *std::get_if<Statement::Fn>(&s.node());
  const auto* py = dynamic_cast<const PyVrelFn*>(fn.function.get());
  if (!py) {
    PyErr_SetString(PyExc_TypeError, msg::kForeignFunction);
    return false;
  }
  PyRef name = PyRef::steal(PyObject_GetAttrString(py->function(), "__qualname__"));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    PyErr_SetString(PyExc_TypeError, msg::kQualnameNotStr);
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (!utf8) return false;
  out_ += "fn ";
  identifier(fn.id);
  out_ += " = ";
  vrel::write_quoted(out_, std::string_view(utf8, static_cast<std::size_t>(size)));
  return true;
}

}  // namespace vrelpy::text
