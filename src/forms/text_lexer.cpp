// The lexer of the text form: names, keywords, numbers, texts, operators and separators.
#include "forms/text_lexer.hpp"

#include <bit>
#include <charconv>
#include <cstring>

#include "forms/text_messages.hpp"

namespace vrelpy::text {
namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
bool is_name_start(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool is_name_char(char c) noexcept { return is_name_start(c) || is_digit(c); }
int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

TokenKind keyword_of(std::string_view name) noexcept {
  switch (name.size()) {
    case 2:
      if (name == "or") return TokenKind::Or;
      if (name == "if") return TokenKind::If;
      if (name == "fn") return TokenKind::Fn;
      break;
    case 3:
      if (name == "and") return TokenKind::And;
      if (name == "not") return TokenKind::Not;
      if (name == "nan" || name == "inf") return TokenKind::Float;
      break;
    case 4:
      if (name == "else") return TokenKind::Else;
      if (name == "true") return TokenKind::True;
      if (name == "null") return TokenKind::Null;
      break;
    case 5:
      if (name == "false") return TokenKind::False;
      break;
  }
  return TokenKind::Name;
}

bool is_plain_name(std::string_view name) noexcept {
  if (name.empty() || !is_name_start(name[0])) return false;
  for (char c : name) {
    if (!is_name_char(c)) return false;
  }
  return keyword_of(name) == TokenKind::Name;
}

void Lexer::error(Token& out, std::size_t pos, std::string message) {
  out.kind = TokenKind::Error;
  out.pos = pos;
  out.text = std::move(message);
}

void Lexer::skip_space() {
  while (at_ < src_.size()) {
    const char c = src_[at_];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || (c == '\n' && depth_ > 0)) {
      ++at_;
    } else if (c == '#') {
      const std::size_t end = src_.find('\n', at_);
      at_ = end == std::string_view::npos ? src_.size() : end;
    } else {
      return;
    }
  }
}

void Lexer::next(Token& out) {
  skip_space();
  out.pos = at_;
  if (at_ >= src_.size()) {
    out.kind = TokenKind::End;
    return;
  }
  const char c = src_[at_];
  const auto one = [&](TokenKind kind) {
    out.kind = kind;
    ++at_;
  };
  const auto maybe_two = [&](char second, TokenKind two, TokenKind single) {
    if (at_ + 1 < src_.size() && src_[at_ + 1] == second) {
      out.kind = two;
      at_ += 2;
    } else {
      one(single);
    }
  };
  switch (c) {
    case '\n':
    case ';':
      return one(TokenKind::Separator);
    case '(':
      ++depth_;
      return one(TokenKind::LParen);
    case '[':
      ++depth_;
      return one(TokenKind::LBracket);
    case ')':
      if (depth_ > 0) --depth_;
      return one(TokenKind::RParen);
    case ']':
      if (depth_ > 0) --depth_;
      return one(TokenKind::RBracket);
    case '{':
      return one(TokenKind::LBrace);
    case '}':
      return one(TokenKind::RBrace);
    case ',':
      return one(TokenKind::Comma);
    case '+':
      return one(TokenKind::Plus);
    case '-':
      return one(TokenKind::Minus);
    case '*':
      return one(TokenKind::Star);
    case '/':
      return one(TokenKind::Slash);
    case '=':
      return maybe_two('=', TokenKind::Equal, TokenKind::Assign);
    case '<':
      return maybe_two('=', TokenKind::LessEqual, TokenKind::Less);
    case '>':
      return maybe_two('=', TokenKind::GreaterEqual, TokenKind::Greater);
    case '!':
      if (at_ + 1 < src_.size() && src_[at_ + 1] == '=') {
        out.kind = TokenKind::NotEqual;
        at_ += 2;
        return;
      }
      return error(out, at_, msg::kBang);
    case '"':
    case '\'':
      return string(out, c);
    case '$': {
      const std::size_t start = at_++;
      if (at_ < src_.size() && (src_[at_] == '"' || src_[at_] == '\'')) {
        string(out, src_[at_]);
        if (out.kind == TokenKind::String) out.kind = TokenKind::QuotedName;
        out.pos = start;
        return;
      }
      if (at_ < src_.size() && is_digit(src_[at_])) {
        number(out);
        if (out.kind == TokenKind::Error) return;
        out.pos = start;
        if (out.kind != TokenKind::Int || out.overflow)
          return error(out, start, msg::kBadNumberName);
        out.kind = TokenKind::NumberName;
        return;
      }
      return error(out, start, msg::kBadDollar);
    }
    default:
      break;
  }
  if (is_digit(c)) return number(out);
  if (is_name_start(c)) return word(out);
  if (c == '.' && at_ + 1 < src_.size() && is_digit(src_[at_ + 1])) {
    return error(out, at_, msg::kLeadingPoint);
  }
  if (static_cast<unsigned char>(c) >= 0x80) return error(out, at_, msg::kNonAsciiCharacter);
  std::string message = msg::kUnexpectedCharacter;
  if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
    message += "\\x";
    message += "0123456789abcdef"[(c >> 4) & 0xF];
    message += "0123456789abcdef"[c & 0xF];
  } else {
    message += '\'';
    message += c;
    message += '\'';
  }
  return error(out, at_, std::move(message));
}

void Lexer::word(Token& out) {
  const std::size_t start = at_;
  while (at_ < src_.size() && is_name_char(src_[at_])) ++at_;
  const std::string_view name = src_.substr(start, at_ - start);
  out.kind = keyword_of(name);
  if (out.kind == TokenKind::Name) {
    // vector[ (no space between): a vector expression, even of literals only.
    if (name == "vector" && at_ < src_.size() && src_[at_] == '[') {
      ++at_;
      ++depth_;
      out.kind = TokenKind::VectorOpen;
      return;
    }
    out.text.assign(name);
    return;
  }
  if (out.kind != TokenKind::Float) return;
  if (name == "inf") {
    out.real = __builtin_inf();
    return;
  }
  // nan, or nan(0x<16 hex digits>): a NaN with exactly these bits.
  out.real = __builtin_nan("");
  if (src_.substr(at_, 3) != "(0x") return;
  std::uint64_t bits = 0;
  std::size_t i = at_ + 3;
  int digits = 0;
  for (; i < src_.size() && hex_value(src_[i]) >= 0; ++i, ++digits) {
    bits = bits << 4 | static_cast<std::uint64_t>(hex_value(src_[i]));
  }
  const double value = std::bit_cast<double>(bits);
  if (digits != 16 || i >= src_.size() || src_[i] != ')' || value == value) {
    return error(out, start, msg::kBadNanBits);
  }
  out.real = value;
  at_ = i + 1;
}

void Lexer::number(Token& out) {
  const std::size_t start = at_;
  std::string digits;  // without the separators
  bool is_float = false;
  const auto run = [&]() {
    // Digits with single underscores between them.
    bool any = false;
    while (at_ < src_.size()) {
      const char c = src_[at_];
      if (is_digit(c)) {
        digits += c;
        any = true;
        ++at_;
      } else if (c == '_' && any && at_ + 1 < src_.size() && is_digit(src_[at_ + 1])) {
        ++at_;
      } else {
        break;
      }
    }
    return any;
  };
  run();
  if (at_ < src_.size() && src_[at_] == '.') {
    if (at_ + 1 >= src_.size() || !is_digit(src_[at_ + 1])) {
      return error(out, at_, msg::kTrailingPoint);
    }
    ++at_;
    digits += '.';
    run();
    is_float = true;
  }
  if (at_ < src_.size() && (src_[at_] == 'e' || src_[at_] == 'E')) {
    std::size_t i = at_ + 1;
    if (i < src_.size() && (src_[i] == '+' || src_[i] == '-')) ++i;
    if (i >= src_.size() || !is_digit(src_[i])) return error(out, at_, msg::kBadExponent);
    digits += 'e';
    if (src_[at_ + 1] == '-') digits += '-';
    at_ = i;
    run();
    is_float = true;
  }
  if (at_ < src_.size() && (is_name_char(src_[at_]) || src_[at_] == '.')) {
    return error(out, at_, msg::kBadNumberEnd);
  }
  const bool leading_zero = digits.size() > 1 && digits[0] == '0' && is_digit(digits[1]);
  if (leading_zero) return error(out, start, msg::kLeadingZero);
  const char* first = digits.data();
  const char* last = digits.data() + digits.size();
  if (is_float) {
    out.kind = TokenKind::Float;
    const auto [end, ec] = std::from_chars(first, last, out.real);
    if (ec != std::errc() || end != last) return error(out, start, msg::kFloatOutOfRange);
    return;
  }
  out.kind = TokenKind::Int;
  const auto [end, ec] = std::from_chars(first, last, out.integer);
  out.overflow = ec == std::errc::result_out_of_range;
}

void Lexer::string(Token& out, char quote) {
  const std::size_t start = at_++;
  out.text.clear();
  while (true) {
    // Copy the plain run up to the next quote, backslash or line break in one go.
    std::size_t end = at_;
    while (end < src_.size()) {
      const char c = src_[end];
      if (c == quote || c == '\\' || c == '\n' || c == '\r') break;
      ++end;
    }
    out.text.append(src_.data() + at_, end - at_);
    at_ = end;
    if (at_ >= src_.size() || src_[at_] == '\n' || src_[at_] == '\r') {
      return error(out, start, msg::kUnterminatedText);
    }
    if (src_[at_] == quote) {
      ++at_;
      out.kind = TokenKind::String;
      return;
    }
    // A backslash.
    const std::size_t escape = at_;
    if (at_ + 1 >= src_.size()) return error(out, start, msg::kUnterminatedText);
    const char e = src_[at_ + 1];
    at_ += 2;
    switch (e) {
      case '\\':
      case '"':
      case '\'':
        out.text += e;
        continue;
      case 'n':
        out.text += '\n';
        continue;
      case 't':
        out.text += '\t';
        continue;
      case 'r':
        out.text += '\r';
        continue;
      case '0':
        out.text += '\0';
        continue;
      case 'u':
        break;
      default:
        return error(out, escape, msg::kBadEscape);
    }
    // \u{1-6 hex digits} or \uXXXX.
    char32_t code = 0;
    if (at_ < src_.size() && src_[at_] == '{') {
      std::size_t i = at_ + 1;
      int digits = 0;
      for (; i < src_.size() && hex_value(src_[i]) >= 0 && digits < 7; ++i, ++digits) {
        code = code << 4 | static_cast<char32_t>(hex_value(src_[i]));
      }
      if (digits == 0 || digits > 6 || i >= src_.size() || src_[i] != '}') {
        return error(out, escape, msg::kBadUnicodeEscape);
      }
      at_ = i + 1;
    } else {
      for (int k = 0; k < 4; ++k) {
        if (at_ >= src_.size() || hex_value(src_[at_]) < 0) {
          return error(out, escape, msg::kBadUnicodeEscape);
        }
        code = code << 4 | static_cast<char32_t>(hex_value(src_[at_++]));
      }
    }
    if (code > 0x10FFFF) return error(out, escape, msg::kCodePointTooLarge);
    if (code >= 0xD800 && code <= 0xDFFF) return error(out, escape, msg::kSurrogateEscape);
    append_utf8(out.text, code);
  }
}

}  // namespace vrelpy::text
