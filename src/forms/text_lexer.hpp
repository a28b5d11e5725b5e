// The tokens of the text form of programs, read one at a time from UTF-8 text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vrelpy::text {

enum class TokenKind : std::uint8_t {
  End,         // the end of the text
  Separator,   // a line break outside brackets, or ';'
  Name,        // a plain name: ASCII letters, digits and _, not starting with a digit
  QuotedName,  // $"..." (text), the text in `text`
  NumberName,  // $7, the number in `integer`
  Int,         // 0, 42, 1_000 (the magnitude in `integer`; `overflow` past 2**64 - 1)
  Float,       // 1.5, 1e9, inf, nan, nan(0x...): the value in `real`
  String,      // "..." or '...', decoded into `text`
  VectorOpen,  // vector[ : a vector expression whatever its items
  // Keywords.
  And,
  Or,
  Not,
  If,
  Else,
  True,
  False,
  Null,
  Fn,
  // Punctuation and operators.
  LParen,
  RParen,
  LBracket,
  RBracket,
  LBrace,
  RBrace,
  Comma,
  Assign,
  Plus,
  Minus,
  Star,
  Slash,
  Equal,
  NotEqual,
  Less,
  Greater,
  LessEqual,
  GreaterEqual,
  Error,  // a lexical error: `text` holds the message, `pos` where it is
};

struct Token {
  TokenKind kind = TokenKind::End;
  std::size_t pos = 0;  // byte offset of the token's first character
  std::string text;     // Name, QuotedName, String; the message of Error
  std::uint64_t integer = 0;
  bool overflow = false;
  double real = 0.0;
};

// Reads tokens from `source`, which must be valid UTF-8 (a str's UTF-8 form). Line breaks
// inside parentheses and square brackets are spaces, as in Python, so that a long
// expression can be written over several lines; elsewhere they end a statement. A lexer is
// a small value: copying it saves a position to come back to.
class Lexer {
 public:
  explicit Lexer(std::string_view source) noexcept : src_(source) {}

  // Reads the next token into `out` (which is reused, to keep its string's buffer).
  void next(Token& out);

  std::size_t position() const noexcept { return at_; }

 private:
  void skip_space();
  void number(Token& out);
  void string(Token& out, char quote);
  void word(Token& out);
  void error(Token& out, std::size_t pos, std::string message);

  std::string_view src_;
  std::size_t at_ = 0;
  std::size_t depth_ = 0;  // open ( and [ (never below 0, whatever the text)
};

// The keyword a plain name is, or TokenKind::Name.
TokenKind keyword_of(std::string_view name) noexcept;

// True for what the lexer reads as a plain name: [A-Za-z_][A-Za-z0-9_]*, not a keyword
// (nor "nan" or "inf", which are numbers).
bool is_plain_name(std::string_view name) noexcept;

}  // namespace vrelpy::text
