// Text layouts shared by the debug forms: quoted strings and float numbers.
#pragma once

#include <string>
#include <string_view>

namespace vrel {

// Appends utf8 to out between double quotes, escaped so that the result shows
// every character unambiguously:
//   "  ->  \"        \  ->  \\        tab, CR, LF, NUL  ->  \t \r \n \0
//   any other character that is not printable (see is_printable), and every
//   grapheme-extending mark wherever it stands  ->  \u{hex}, the code point in
//   lower-case hexadecimal without leading zeros (U+0007 -> \u{7}).
// Everything else, the single quote and non-ASCII letters included, is copied
// as its UTF-8 bytes. utf8 is expected to be valid UTF-8; each byte that does
// not belong to a well-formed sequence (overlong forms, encoded surrogates and
// values above U+10FFFF included) is written as \u{fffd}. Never throws except
// std::bad_alloc from growing out.
void write_quoted(std::string& out, std::string_view utf8);

// Appends the text of x to out:
//   NaN of either sign        ->  NaN
//   +inf / -inf               ->  inf / -inf
//   zero, or 1e-4 <= |x| < 1e16  ->  plain decimal with the shortest digits that
//                                  read back to x and at least one fractional
//                                  digit: 1.0, -0.0, 0.0001, 123456.789
//   any other finite x        ->  shortest significand, a point only when it has
//                                  more than one digit, 'e', exponent without '+'
//                                  or leading zeros: 1e16, 1.5e-5, 5e-324
// Reading either form back with strtod yields x bit for bit. Never throws except
// std::bad_alloc from growing out.
void write_float(std::string& out, double x);

}  // namespace vrel
