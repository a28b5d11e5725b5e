// The layout of floats in debug forms. (The other layout, quoted text, is declared with
// the values in vrel/value.hpp, as hosts use it too.)
#pragma once

#include <string>

namespace vrel {

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
