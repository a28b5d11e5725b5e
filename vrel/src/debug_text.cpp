// Quoted-text escaping and float layout for the debug forms.
#include "debug_text.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "messages.hpp"
#include "unicode_tables.hpp"
#include "vrel/value.hpp"

namespace vrel {
namespace {

// Bytes copied verbatim without decoding: printable ASCII other than the two
// characters that need a backslash. Almost all real text is made of these, so
// they are appended as whole runs rather than one character at a time.
constexpr bool is_plain_byte(unsigned char b) noexcept {
  return b >= 0x20 && b < 0x7F && b != '"' && b != '\\';
}

void append_code_point_escape(std::string& out, char32_t c) {
  char hex[8];
  char* end = std::to_chars(hex, hex + sizeof hex, static_cast<std::uint32_t>(c), 16).ptr;
  out.append("\\u{");
  out.append(hex, end);
  out.push_back('}');
}

constexpr bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

// Decodes the well-formed UTF-8 sequence of two to four bytes that starts at
// p[0] (a byte >= 0x80) and ends before `end`. Returns its length and sets *c,
// or returns 0 when the bytes are not well formed. The bounds on the second
// byte reject overlong forms (E0 80..9F, F0 80..8F), encoded surrogates
// (ED A0..BF) and values beyond U+10FFFF (F4 90.., F5..FF) without decoding them
// first; C0 and C1 can only start overlong two-byte forms.
std::size_t decode_multibyte(const unsigned char* p, const unsigned char* end,
                             char32_t* c) noexcept {
  const unsigned char lead = p[0];
  const auto available = static_cast<std::size_t>(end - p);
  std::size_t length;
  unsigned char second_min = 0x80;
  unsigned char second_max = 0xBF;
  char32_t value;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
    if (lead == 0xE0) second_min = 0xA0;
    if (lead == 0xED) second_max = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
    if (lead == 0xF0) second_min = 0x90;
    if (lead == 0xF4) second_max = 0x8F;
  } else {
    return 0;
  }
  if (available < length) return 0;
  if (p[1] < second_min || p[1] > second_max) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if (!is_continuation(p[i])) return 0;
    value = (value << 6) | (p[i] & 0x3F);
  }
  *c = value;
  return length;
}

// Shortest round-trip digits of a finite, non-zero magnitude, as a digit string
// without point and the decimal exponent of its first digit.
struct ShortestDigits {
  char digits[24];
  std::size_t count;
  int exponent;
};

ShortestDigits shortest_digits(double magnitude) noexcept {
  // Scientific form gives the digits and exponent in one fixed shape:
  // d[.ddd]e(+|-)xx, at most 17 significant digits and a three-digit exponent.
  char text[40];
  char* end = std::to_chars(text, text + sizeof text, magnitude, std::chars_format::scientific).ptr;
  ShortestDigits result{};
  const char* p = text;
  while (p != end && *p != 'e') {
    if (*p != '.') result.digits[result.count++] = *p;
    ++p;
  }
  // p is at 'e'; the exponent after it fits an int by a wide margin.
  ++p;
  const bool negative = *p == '-';
  ++p;
  int exponent = 0;
  for (; p != end; ++p) exponent = exponent * 10 + (*p - '0');
  result.exponent = negative ? -exponent : exponent;
  return result;
}

void append_plain(std::string& out, const ShortestDigits& d) {
  const std::string_view digits(d.digits, d.count);
  if (d.exponent < 0) {
    out.append("0.");
    out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
    out.append(digits);
    return;
  }
  const auto integer_digits = static_cast<std::size_t>(d.exponent) + 1;
  if (digits.size() <= integer_digits) {
    out.append(digits);
    out.append(integer_digits - digits.size(), '0');
    out.append(".0");
    return;
  }
  out.append(digits.substr(0, integer_digits));
  out.push_back('.');
  out.append(digits.substr(integer_digits));
}

void append_scientific(std::string& out, const ShortestDigits& d) {
  out.push_back(d.digits[0]);
  if (d.count > 1) {
    out.push_back('.');
    out.append(d.digits + 1, d.count - 1);
  }
  out.push_back('e');
  char exponent[8];
  char* end = std::to_chars(exponent, exponent + sizeof exponent, d.exponent).ptr;
  out.append(exponent, end);
}

}  // namespace

void write_quoted(std::string& out, std::string_view utf8) {
  out.reserve(out.size() + utf8.size() + 2);
  out.push_back('"');
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const auto* const end = p + utf8.size();
  while (p != end) {
    const auto* run_end = p;
    while (run_end != end && is_plain_byte(*run_end)) ++run_end;
    out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(run_end - p));
    p = run_end;
    if (p == end) break;

    const unsigned char b = *p;
    if (b < 0x80) {
      switch (b) {
        case '"':
          out.append("\\\"");
          break;
        case '\\':
          out.append("\\\\");
          break;
        case '\t':
          out.append("\\t");
          break;
        case '\r':
          out.append("\\r");
          break;
        case '\n':
          out.append("\\n");
          break;
        case '\0':
          out.append("\\0");
          break;
        default:
          append_code_point_escape(out, b);
          break;
      }
      ++p;
      continue;
    }

    char32_t c;
    const std::size_t length = decode_multibyte(p, end, &c);
    if (length == 0) {
      // Resynchronise on the next byte: a lone bad byte costs one replacement and
      // never swallows the valid characters that follow it.
      append_code_point_escape(out, U'\uFFFD');
      ++p;
      continue;
    }
    if (is_printable(c) && !is_grapheme_extend(c)) {
      out.append(reinterpret_cast<const char*>(p), length);
    } else {
      append_code_point_escape(out, c);
    }
    p += length;
  }
  out.push_back('"');
}

void write_float(std::string& out, double x) {
  if (std::isnan(x)) {
    out.append(text::kFloatNaN);
    return;
  }
  if (std::signbit(x)) out.push_back('-');
  const double magnitude = std::fabs(x);
  if (std::isinf(magnitude)) {
    out.append(text::kFloatInfinity);
    return;
  }
  if (magnitude == 0.0) {
    out.append("0.0");
    return;
  }
  const ShortestDigits digits = shortest_digits(magnitude);
  // Decided on the value itself. Because the double nearest to 0.0001 lies above
  // it and 1e16 is exact, the exponent of the shortest digits would draw the
  // same line; comparing values keeps that argument out of the code.
  if (magnitude >= 1e-4 && magnitude < 1e16) {
    append_plain(out, digits);
  } else {
    append_scientific(out, digits);
  }
}

}  // namespace vrel
