// The parser of the text form: recursive descent over the lexer's tokens, one function per
// level of precedence, each level of nesting guarded by the recursion guard.
#include "forms/text_parser.hpp"

#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <utility>

#include "conversion/py_function.hpp"
#include "forms/program_forms.hpp"
#include "forms/text_lexer.hpp"
#include "forms/text_messages.hpp"
#include "runtime/recursion_guard.hpp"

namespace vrelpy::text {

using vrel::Expr;
using vrel::Identifier;
using vrel::Statement;
using vrel::Value;

struct Parser::Impl {
  Impl(std::string_view source, PyObject* functions) noexcept : lex(source), functions(functions) {}

  Lexer lex;
  Token tok;
  PyObject* functions;  // borrowed, or null
  ParseFailure fail;
  bool failed = false;
  std::uint64_t nodes = 0;

  // ---- failures and tokens -----------------------------------------------------------------

  bool syntax(std::size_t pos, std::string message) {
    if (!failed) {
      failed = true;
      fail.message = std::move(message);
      fail.pos = pos;
    }
    return false;
  }
  bool python_error() {
    failed = true;
    fail.python_error = true;
    return false;
  }

  bool advance() {
    lex.next(tok);
    if (tok.kind == TokenKind::Error) return syntax(tok.pos, std::move(tok.text));
    return true;
  }

  bool expect(TokenKind kind, const char* message) {
    if (tok.kind != kind) return syntax(tok.pos, message);
    return advance();
  }

  // Counts one node or literal element made at `pos`.
  bool count(std::size_t pos) {
    if (++nodes <= kMaxWrittenNodes) return true;
    char text[160];
    std::snprintf(text, sizeof text, msg::kTooLargeToParseFormat,
                  static_cast<unsigned long long>(kMaxWrittenNodes));
    return syntax(pos, text);
  }

  // One level of nesting. The guard's RecursionError becomes a syntax error at `pos`, which
  // tells the author where the text nests too deeply.
  struct Level {
    Level(Impl& p, std::size_t pos) : guard(msg::kTooDeep) {
      if (guard) return;
      PyErr_Clear();
      p.syntax(pos, msg::kTooDeep);
    }
    explicit operator bool() const noexcept { return static_cast<bool>(guard); }
    RecursionGuard guard;
  };

  bool skip_separators() {
    while (tok.kind == TokenKind::Separator) {
      if (!advance()) return false;
    }
    return true;
  }

  // ---- statements ------------------------------------------------------------------------

  bool program(std::vector<Statement>& out) {
    if (!advance()) return false;
    std::vector<Statement> statements;
    if (!block_body(statements, nullptr)) return false;
    out = std::move(statements);
    return true;
  }

  // Statements up to the end of the text (`open` null) or up to the '}' that closes the
  // block opened at *open, which is left current.
  bool block_body(std::vector<Statement>& out, const std::size_t* open) {
    while (true) {
      if (!skip_separators()) return false;
      if (tok.kind == TokenKind::End) {
        if (open) return syntax(*open, msg::kUnclosedBlock);
        return true;
      }
      if (tok.kind == TokenKind::RBrace && open) return true;
      Statement s = Statement::Let{Identifier(), Expr(Expr::Vector{})};
      if (!statement(s)) return false;
      out.push_back(std::move(s));
      const bool ends = tok.kind == TokenKind::Separator || tok.kind == TokenKind::End ||
                        (tok.kind == TokenKind::RBrace && open);
      if (!ends) return syntax(tok.pos, msg::kExpectedEnd);
    }
  }

  bool target(Identifier& out) {
    switch (tok.kind) {
      case TokenKind::Name:
      case TokenKind::QuotedName:
        out = Identifier::s(std::move(tok.text));
        return advance();
      case TokenKind::NumberName:
        out = Identifier::u(tok.integer);
        return advance();
      default:
        return syntax(tok.pos, msg::kExpectedTarget);
    }
  }

  bool statement(Statement& out) {
    const std::size_t pos = tok.pos;
    if (!count(pos)) return false;
    switch (tok.kind) {
      case TokenKind::If:
        return if_statement(out);
      case TokenKind::Fn:
        return fn_statement(out);
      case TokenKind::Name:
      case TokenKind::QuotedName:
      case TokenKind::NumberName: {
        Identifier id;
        if (!target(id) || !expect(TokenKind::Assign, msg::kExpectedAssign)) return false;
        Expr value = Expr(Expr::Vector{});
        if (!expr(value)) return false;
        out = Statement(Statement::Let{std::move(id), std::move(value)});
        return true;
      }
      default:
        return syntax(pos, msg::kExpectedStatementText);
    }
  }

  bool block(std::vector<Statement>& out) {
    if (tok.kind != TokenKind::LBrace) return syntax(tok.pos, msg::kExpectedBlock);
    const std::size_t open = tok.pos;
    Level level(*this, open);
    if (!level || !advance()) return false;
    if (!block_body(out, &open)) return false;
    return advance();  // the '}'
  }

  bool if_statement(Statement& out) {
    const std::size_t pos = tok.pos;
    Level level(*this, pos);
    if (!level || !advance()) return false;
    Expr condition = Expr(Expr::Vector{});
    if (!expr(condition)) return false;
    std::vector<Statement> then_block;
    if (!block(then_block)) return false;
    std::vector<Statement> otherwise_block;
    // `else` may stand on the next line; otherwise what follows is the next statement.
    Lexer saved_lex = lex;
    Token saved_tok = tok;
    if (!skip_separators()) return false;
    if (tok.kind == TokenKind::Else) {
      if (!advance()) return false;
      if (tok.kind == TokenKind::If) {
        // else if: an otherwise block of one if statement.
        if (!count(tok.pos)) return false;
        Statement inner = Statement::Let{Identifier(), Expr(Expr::Vector{})};
        if (!if_statement(inner)) return false;
        otherwise_block.push_back(std::move(inner));
      } else if (!block(otherwise_block)) {
        return false;
      }
    } else {
      lex = saved_lex;
      tok = std::move(saved_tok);
    }
    out = Statement(
        Statement::If{std::move(condition), std::move(then_block), std::move(otherwise_block)});
    return true;
  }

  bool fn_statement(Statement& out) {
    if (!advance()) return false;
    Identifier id;
    if (!target(id) || !expect(TokenKind::Assign, msg::kExpectedAssign)) return false;
    if (tok.kind != TokenKind::String) return syntax(tok.pos, msg::kExpectedFunctionName);
    const std::size_t pos = tok.pos;
    PyRef name = PyRef::steal(
        PyUnicode_DecodeUTF8(tok.text.data(), static_cast<Py_ssize_t>(tok.text.size()), nullptr));
    if (!name) return python_error();
    if (!functions) {
      return syntax(pos, msg::kFunctionPrefix + repr_or(name.get(), "?") + msg::kFunctionNotIn +
                             msg::kNoneGiven);
    }
    PyObject* found = nullptr;
    const int r = PyMapping_GetOptionalItem(functions, name.get(), &found);
    if (r < 0) return python_error();
    PyRef function = PyRef::steal(found);
    if (r == 0) {
      return syntax(pos, msg::kFunctionPrefix + repr_or(name.get(), "?") + msg::kFunctionNotIn);
    }
    if (!Py_IS_TYPE(function.get(), &PyFunction_Type)) {
      PyErr_Format(PyExc_TypeError, msg::kNotAFunctionFormat, name.get(),
                   Py_TYPE(function.get())->tp_name);
      return python_error();
    }
    out = Statement(Statement::Fn{std::move(id), std::make_unique<PyVrelFn>(std::move(function))});
    return advance();
  }

  // ---- expressions -----------------------------------------------------------------------

  bool whole_expression(Expr& out) {
    if (!advance() || !skip_separators()) return false;
    Expr e = Expr(Expr::Vector{});
    if (!expr(e) || !skip_separators()) return false;
    if (tok.kind != TokenKind::End) return syntax(tok.pos, msg::kExpectedExpressionEnd);
    out = std::move(e);
    return true;
  }

  // expression := disjunction ["if" disjunction "else" expression]
  bool expr(Expr& out) {
    const std::size_t pos = tok.pos;
    Level level(*this, pos);
    if (!level) return false;
    Expr then = Expr(Expr::Vector{});
    if (!disjunction(then)) return false;
    if (tok.kind != TokenKind::If) {
      out = std::move(then);
      return true;
    }
    if (!count(tok.pos) || !advance()) return false;
    Expr condition = Expr(Expr::Vector{});
    if (!disjunction(condition)) return false;
    if (tok.kind != TokenKind::Else) return syntax(tok.pos, msg::kExpectedElse);
    if (!advance()) return false;
    Expr otherwise = Expr(Expr::Vector{});
    if (!expr(otherwise)) return false;
    out = Expr::cond(std::move(condition), std::move(then), std::move(otherwise));
    return true;
  }

  bool disjunction(Expr& out) {
    if (!conjunction(out)) return false;
    while (tok.kind == TokenKind::Or) {
      if (!count(tok.pos) || !advance()) return false;
      Expr right = Expr(Expr::Vector{});
      if (!conjunction(right)) return false;
      out = Expr::or_(std::move(out), std::move(right));
    }
    return true;
  }

  bool conjunction(Expr& out) {
    if (!negation(out)) return false;
    while (tok.kind == TokenKind::And) {
      if (!count(tok.pos) || !advance()) return false;
      Expr right = Expr(Expr::Vector{});
      if (!negation(right)) return false;
      out = Expr::and_(std::move(out), std::move(right));
    }
    return true;
  }

  bool negation(Expr& out) {
    if (tok.kind != TokenKind::Not) return comparison(out);
    const std::size_t pos = tok.pos;
    Level level(*this, pos);
    if (!level || !count(pos) || !advance()) return false;
    Expr operand = Expr(Expr::Vector{});
    if (!negation(operand)) return false;
    out = Expr::not_(std::move(operand));
    return true;
  }

  static bool is_comparison(TokenKind kind) noexcept {
    switch (kind) {
      case TokenKind::Equal:
      case TokenKind::NotEqual:
      case TokenKind::Less:
      case TokenKind::Greater:
      case TokenKind::LessEqual:
      case TokenKind::GreaterEqual:
        return true;
      default:
        return false;
    }
  }

  // Comparisons do not chain: a < b < c means different things in Python and JavaScript,
  // so it is refused rather than read either way.
  bool comparison(Expr& out) {
    Expr left = Expr(Expr::Vector{});
    if (!sum(left)) return false;
    if (!is_comparison(tok.kind)) {
      out = std::move(left);
      return true;
    }
    const TokenKind op = tok.kind;
    const std::size_t pos = tok.pos;
    if (!count(pos) || !advance()) return false;
    Expr right = Expr(Expr::Vector{});
    if (!sum(right)) return false;
    if (is_comparison(tok.kind)) return syntax(tok.pos, msg::kChainedComparison);
    switch (op) {
      case TokenKind::Equal:
        out = Expr::equals(std::move(left), std::move(right));
        return true;
      case TokenKind::Less:
        out = Expr::less_than(std::move(left), std::move(right));
        return true;
      case TokenKind::Greater:
        out = Expr::greater_than(std::move(left), std::move(right));
        return true;
      // The others are the negations of these: exact, since comparisons order totally.
      case TokenKind::NotEqual:
        if (!count(pos)) return false;
        out = Expr::not_(Expr::equals(std::move(left), std::move(right)));
        return true;
      case TokenKind::LessEqual:
        if (!count(pos)) return false;
        out = Expr::not_(Expr::greater_than(std::move(left), std::move(right)));
        return true;
      default:  // GreaterEqual
        if (!count(pos)) return false;
        out = Expr::not_(Expr::less_than(std::move(left), std::move(right)));
        return true;
    }
  }

  bool sum(Expr& out) {
    if (!product(out)) return false;
    while (tok.kind == TokenKind::Plus || tok.kind == TokenKind::Minus) {
      const auto op =
          tok.kind == TokenKind::Plus ? vrel::BinaryOperator::Add : vrel::BinaryOperator::Sub;
      if (!count(tok.pos) || !advance()) return false;
      Expr right = Expr(Expr::Vector{});
      if (!product(right)) return false;
      out = Expr::binary_op(std::move(out), op, std::move(right));
    }
    return true;
  }

  bool product(Expr& out) {
    if (!operand(out)) return false;
    while (tok.kind == TokenKind::Star || tok.kind == TokenKind::Slash) {
      const auto op =
          tok.kind == TokenKind::Star ? vrel::BinaryOperator::Mul : vrel::BinaryOperator::Div;
      if (!count(tok.pos) || !advance()) return false;
      Expr right = Expr(Expr::Vector{});
      if (!operand(right)) return false;
      out = Expr::binary_op(std::move(out), op, std::move(right));
    }
    return true;
  }

  bool literal(Value value, Expr& out) {
    if (!count(tok.pos)) return false;
    out = Expr(Expr::Constant{vrel::SharedValue::make(std::move(value))});
    return advance();
  }

  bool int_literal(std::uint64_t magnitude, bool overflow, bool negative, std::size_t pos,
                   Expr& out) {
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (overflow || magnitude > kMax + (negative ? 1 : 0)) {
      return syntax(pos, msg::kIntOutOfRange);
    }
    const auto value =
        negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
    return literal(Value::integer(value), out);
  }

  // A negative number is one operand, as in most languages' literals: the tree has no
  // negation, so '-' before anything but a number is refused (write 0 - x).
  bool operand(Expr& out) {
    if (tok.kind != TokenKind::Minus) return primary(out);
    const std::size_t pos = tok.pos;
    if (!advance()) return false;
    if (tok.kind == TokenKind::Int) {
      return int_literal(tok.integer, tok.overflow, true, pos, out);
    }
    if (tok.kind == TokenKind::Float) return literal(Value::floating(-tok.real), out);
    return syntax(pos, msg::kMinusNumber);
  }

  bool primary(Expr& out) {
    switch (tok.kind) {
      case TokenKind::Int:
        return int_literal(tok.integer, tok.overflow, false, tok.pos, out);
      case TokenKind::Float:
        return literal(Value::floating(tok.real), out);
      case TokenKind::String:
        return literal(Value::string(std::move(tok.text)), out);
      case TokenKind::True:
        return literal(Value::boolean(true), out);
      case TokenKind::False:
        return literal(Value::boolean(false), out);
      case TokenKind::Null:
        return literal(Value::null(), out);
      case TokenKind::Name:
      case TokenKind::QuotedName:
      case TokenKind::NumberName:
        return name_or_call(out);
      case TokenKind::LParen: {
        const std::size_t open = tok.pos;
        if (!advance() || !expr(out)) return false;
        if (tok.kind == TokenKind::End) return syntax(open, msg::kUnclosedParen);
        return expect(TokenKind::RParen, msg::kExpectedClose);
      }
      case TokenKind::LBracket:
      case TokenKind::VectorOpen:
        return vector(out);
      default:
        return syntax(tok.pos, msg::kExpectedExpression);
    }
  }

  bool name_or_call(Expr& out) {
    const std::size_t pos = tok.pos;
    Identifier id;
    if (!count(pos) || !target(id)) return false;
    if (tok.kind != TokenKind::LParen) {
      out = Expr(Expr::Ident{std::move(id)});
      return true;
    }
    const std::size_t open = tok.pos;
    if (!advance()) return false;
    if (tok.kind == TokenKind::RParen) return syntax(tok.pos, msg::kNoArgument);
    Expr argument = Expr(Expr::Vector{});
    if (!expr(argument)) return false;
    if (tok.kind == TokenKind::Comma) return syntax(tok.pos, msg::kOneArgument);
    if (tok.kind == TokenKind::End) return syntax(open, msg::kUnclosedParen);
    if (!expect(TokenKind::RParen, msg::kExpectedClose)) return false;
    out = Expr::call(std::move(id), std::move(argument));
    return true;
  }

  // [a, b, ...] is a literal when every item is one (so [1, [2, 3]] is one constant), and
  // a vector expression otherwise; vector[...] is a vector expression whatever its items.
  bool vector(Expr& out) {
    const bool forced = tok.kind == TokenKind::VectorOpen;
    const std::size_t open = tok.pos;
    if (!count(open) || !advance()) return false;
    std::vector<Expr> items;
    bool all_literals = true;
    while (tok.kind != TokenKind::RBracket) {
      Expr item = Expr(Expr::Vector{});
      if (!expr(item)) return false;
      all_literals = all_literals && item.kind() == Expr::Kind::Constant;
      items.push_back(std::move(item));
      if (tok.kind == TokenKind::Comma) {
        if (!advance()) return false;
        continue;
      }
      if (tok.kind == TokenKind::RBracket) break;
      if (tok.kind == TokenKind::End) return syntax(open, msg::kUnclosedBracket);
      return syntax(tok.pos, msg::kExpectedCloseBracket);
    }
    if (!advance()) return false;
    if (forced || !all_literals) {
      out = Expr(Expr::Vector{std::move(items)});
      return true;
    }
    Value::Vector values;
    values.reserve(items.size());
    for (Expr& item : items) {
      values.push_back(std::move(std::get_if<Expr::Constant>(&item.node())->value));
    }
    out = Expr(Expr::Constant{vrel::SharedValue::make(Value::vector(std::move(values)))});
    return true;
  }
};

Parser::Parser(std::string_view source, PyObject* functions) : impl_(new Impl(source, functions)) {}
Parser::~Parser() { delete impl_; }

bool Parser::program(std::vector<Statement>& out) { return impl_->program(out); }
bool Parser::expression(Expr& out) { return impl_->whole_expression(out); }
const ParseFailure& Parser::failure() const noexcept { return impl_->fail; }

}  // namespace vrelpy::text
