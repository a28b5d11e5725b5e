// Unicode character properties that decide how quoted text escapes a character.
#pragma once

namespace vrel {

// True unless c is a control (Cc), format character (Cf), surrogate (Cs),
// private-use character (Co), unassigned code point (Cn, noncharacters included),
// line or paragraph separator (Zl, Zp) or space separator (Zs); U+0020 SPACE
// itself is printable. Code points above U+10FFFF are not printable.
bool is_printable(char32_t c) noexcept;

// True when c has the Unicode Grapheme_Extend property: combining marks and the
// other characters that attach to the preceding character instead of standing
// on their own (U+0301 COMBINING ACUTE ACCENT, U+200C ZERO WIDTH NON-JOINER).
bool is_grapheme_extend(char32_t c) noexcept;

}  // namespace vrel
