#!/usr/bin/env python3
"""Generator of vrel/src/unicode_tables.cpp from the Unicode Character Database.

Usage: python3.13 tools/gen_unicode_tables.py [UCD_DIR] [-o OUTPUT]

UCD_DIR holds UnicodeData.txt and DerivedCoreProperties.txt (default
/usr/share/unicode, where Debian's unicode-data package puts them). The output
defaults to vrel/src/unicode_tables.cpp next to this script's repository.

Two properties are extracted:
  printable        every code point except general categories Cc, Cf, Cs, Co,
                   Zl, Zp, Zs and unassigned ones (Cn, absent from
                   UnicodeData.txt); U+0020 SPACE stays printable.
  grapheme extend  the Grapheme_Extend property.
Each becomes a sorted array of disjoint, non-adjacent inclusive ranges.
"""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

MAX_CODE_POINT = 0x10FFFF
NOT_PRINTABLE_CATEGORIES = frozenset({"Cc", "Cf", "Cs", "Co", "Zl", "Zp", "Zs"})
SPACE = 0x20

Range = tuple[int, int]


def read_general_categories(path: Path) -> dict[int, str]:
    """Category of every assigned code point; unassigned ones are absent."""
    categories: dict[int, str] = {}
    range_start: tuple[int, str] | None = None
    with path.open(encoding="utf-8") as f:
        for line_no, line in enumerate(f, 1):
            line = line.strip()
            if not line:
                continue
            fields = line.split(";")
            if len(fields) < 3:
                raise ValueError(f"{path}:{line_no}: malformed line")
            code = int(fields[0], 16)
            name, category = fields[1], fields[2]
            # Large blocks (ideographs, Hangul, surrogates, private use) are
            # given as a First/Last pair of lines that stands for every code
            # point in between.
            if name.endswith(", First>"):
                if range_start is not None:
                    raise ValueError(f"{path}:{line_no}: nested First> line")
                range_start = (code, category)
                continue
            if name.endswith(", Last>"):
                if range_start is None or range_start[1] != category:
                    raise ValueError(f"{path}:{line_no}: Last> without matching First>")
                for c in range(range_start[0], code + 1):
                    categories[c] = category
                range_start = None
                continue
            if range_start is not None:
                raise ValueError(f"{path}:{line_no}: First> not followed by Last>")
            categories[code] = category
    if range_start is not None:
        raise ValueError(f"{path}: unterminated First> line")
    return categories


PROPERTY_LINE = re.compile(
    r"^([0-9A-Fa-f]{4,6})(?:\.\.([0-9A-Fa-f]{4,6}))?\s*;\s*([A-Za-z_]+)\s*(?:#.*)?$"
)


def read_property(path: Path, wanted: str) -> tuple[set[int], str]:
    """Code points having a binary property, and the file's UCD version."""
    members: set[int] = set()
    version = None
    with path.open(encoding="utf-8") as f:
        for line_no, raw in enumerate(f, 1):
            line = raw.strip()
            if version is None:
                m = re.match(r"^#\s*DerivedCoreProperties-(\d+\.\d+\.\d+)\.txt", line)
                if m:
                    version = m.group(1)
            if not line or line.startswith("#"):
                continue
            m = PROPERTY_LINE.match(line)
            if not m:
                # Lines of non-binary properties (e.g. InCB) carry a third
                # field; they can never be the property we want.
                if re.search(rf";\s*{wanted}\s*[;#]", line):
                    raise ValueError(f"{path}:{line_no}: cannot parse {line!r}")
                continue
            if m.group(3) != wanted:
                continue
            first = int(m.group(1), 16)
            last = int(m.group(2), 16) if m.group(2) else first
            members.update(range(first, last + 1))
    if version is None:
        raise ValueError(f"{path}: no version line in header")
    if not members:
        raise ValueError(f"{path}: property {wanted} not found")
    return members, version


def to_ranges(members: set[int]) -> list[Range]:
    ranges: list[Range] = []
    for c in sorted(members):
        if ranges and ranges[-1][1] + 1 == c:
            ranges[-1] = (ranges[-1][0], c)
        else:
            ranges.append((c, c))
    return ranges


def printable_set(categories: dict[int, str]) -> set[int]:
    printable = {
        c for c, cat in categories.items() if cat not in NOT_PRINTABLE_CATEGORIES
    }
    printable.add(SPACE)
    return printable


def format_table(name: str, ranges: list[Range]) -> str:
    per_line = 4
    lines = [f"constexpr CodePointRange {name}[] = {{"]
    for i in range(0, len(ranges), per_line):
        chunk = ranges[i : i + per_line]
        cells = " ".join(f"{{0x{a:05X}, 0x{b:05X}}}," for a, b in chunk)
        lines.append(f"    {cells}")
    lines.append("};")
    return "\n".join(lines)


def render(version: str, printable: list[Range], extend: list[Range]) -> str:
    return f"""\
// Unicode tables behind quoted text: printable and grapheme-extending characters.
// Generated by tools/gen_unicode_tables.py from UCD version {version}. Do not edit by hand;
// rerun the script instead.
#include "unicode_tables.hpp"

#include <algorithm>
#include <cstddef>
#include <iterator>

namespace vrel {{
namespace {{

struct CodePointRange {{
  char32_t first;
  char32_t last;  // inclusive
}};

// Sorted, disjoint and never adjacent (adjacent ranges were merged), so the only
// range that can hold c is the last one starting at or below c.
template <std::size_t N>
bool in_ranges(const CodePointRange (&table)[N], char32_t c) noexcept {{
  const auto* after =
      std::upper_bound(std::begin(table), std::end(table), c,
                       [](char32_t v, const CodePointRange& r) {{ return v < r.first; }});
  return after != std::begin(table) && c <= std::prev(after)->last;
}}

// Printable code points, {len(printable)} ranges.
{format_table("kPrintable", printable)}

// Grapheme_Extend code points, {len(extend)} ranges.
{format_table("kGraphemeExtend", extend)}

}}  // namespace

bool is_printable(char32_t c) noexcept {{
  if (c < 0x80) return c >= 0x20 && c != 0x7F;
  return in_ranges(kPrintable, c);
}}

bool is_grapheme_extend(char32_t c) noexcept {{
  if (c < 0x{extend[0][0]:X}) return false;
  return in_ranges(kGraphemeExtend, c);
}}

}}  // namespace vrel
"""


def main(argv: list[str]) -> int:
    repo = Path(__file__).resolve().parent.parent
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("ucd_dir", nargs="?", default="/usr/share/unicode", type=Path)
    parser.add_argument(
        "-o", "--output", type=Path, default=repo / "vrel" / "src" / "unicode_tables.cpp"
    )
    args = parser.parse_args(argv)
    for name in ("UnicodeData.txt", "DerivedCoreProperties.txt"):
        if not (args.ucd_dir / name).is_file():
            parser.error(f"{args.ucd_dir / name} not found (install unicode-data or pass UCD_DIR)")

    categories = read_general_categories(args.ucd_dir / "UnicodeData.txt")
    extend_set, version = read_property(
        args.ucd_dir / "DerivedCoreProperties.txt", "Grapheme_Extend"
    )
    printable_points = printable_set(categories)
    printable = to_ranges(printable_points)
    extend = to_ranges(extend_set)

    # The ASCII fast paths in the rendered lookups hard-code these facts.
    ascii_printable = [c for c in range(0x80) if c in printable_points]
    if ascii_printable != list(range(0x20, 0x7F)):
        raise ValueError("printable ASCII is no longer U+0020..U+007E")
    if extend[0][0] < 0x80:
        raise ValueError("a grapheme extender in ASCII")
    if any(b > MAX_CODE_POINT for _, b in printable + extend):
        raise ValueError("code point beyond U+10FFFF")

    text = render(version, printable, extend)
    args.output.write_text(text, encoding="utf-8")
    print(
        f"{args.output}: UCD {version}, {len(printable)} printable ranges, "
        f"{len(extend)} grapheme-extend ranges"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
