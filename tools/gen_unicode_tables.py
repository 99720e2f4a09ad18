#!/usr/bin/env python3
"""Generates src/unicode/unicode_tables.cpp from the Unicode Character Database.

Reads UnicodeData.txt, PropList.txt and DerivedCoreProperties.txt (Debian's
`unicode-data` package installs them under /usr/share/unicode) and writes sorted,
merged code point range tables plus the four lookup functions declared in
src/unicode/unicode.h.

    python3 tools/gen_unicode_tables.py            # rewrite the table file
    python3 tools/gen_unicode_tables.py --check    # fail if it is out of date
"""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path
from typing import Dict, Iterable, List, Set, Tuple

REPO_ROOT = Path(__file__).resolve().parent.parent
SCRIPT_NAME = "tools/gen_unicode_tables.py"
MAX_CODE_POINT = 0x10FFFF
LINE_WIDTH = 100

Range = Tuple[int, int]

# Categories whose characters are not printable. Cn (unassigned) is every code
# point that UnicodeData.txt does not list. Zs is not printable except U+0020.
NOT_PRINTABLE_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}
PRINTABLE_EXCEPTIONS = {0x20}


def read_general_categories(path: Path) -> List[str]:
    """Returns the general category of every code point, "Cn" where unlisted."""
    categories = ["Cn"] * (MAX_CODE_POINT + 1)
    range_start = None
    with path.open(encoding="utf-8") as lines:
        for line in lines:
            line = line.strip()
            if not line:
                continue
            fields = line.split(";")
            code, name, category = int(fields[0], 16), fields[1], fields[2]
            # Large blocks (CJK ideographs, Hangul syllables, private use...) are
            # listed as a "<..., First>" line followed by a "<..., Last>" line.
            if name.endswith(", First>"):
                range_start = code
                continue
            if name.endswith(", Last>"):
                if range_start is None:
                    raise ValueError(f"{path}: range end {code:04X} without a start")
                for cp in range(range_start, code + 1):
                    categories[cp] = category
                range_start = None
                continue
            categories[code] = category
    if range_start is not None:
        raise ValueError(f"{path}: range starting at {range_start:04X} never ends")
    return categories


def read_property_ranges(path: Path, wanted: Iterable[str]) -> Dict[str, List[Range]]:
    """Collects the code point ranges of each wanted binary property in a
    PropList-style file ("0300..036F ; Grapheme_Extend # ...")."""
    result: Dict[str, List[Range]] = {name: [] for name in wanted}
    with path.open(encoding="utf-8") as lines:
        for line in lines:
            data = line.split("#", 1)[0].strip()
            if not data:
                continue
            fields = [field.strip() for field in data.split(";")]
            if len(fields) < 2 or fields[1] not in result:
                continue
            first, _, last = fields[0].partition("..")
            result[fields[1]].append((int(first, 16), int(last or first, 16)))
    for name, ranges in result.items():
        if not ranges:
            raise ValueError(f"{path}: property {name} not found")
    return result


def read_version(data_dir: Path) -> str:
    """The Unicode version named in the data files' header lines."""
    pattern = re.compile(r"^#\s*DerivedCoreProperties-(\d+\.\d+\.\d+)\.txt")
    with (data_dir / "DerivedCoreProperties.txt").open(encoding="utf-8") as lines:
        for line in lines:
            match = pattern.match(line)
            if match:
                return match.group(1)
            if not line.startswith("#"):
                break
    return "unknown"


def merge(ranges: Iterable[Range]) -> List[Range]:
    """Sorts ranges and joins the ones that overlap or touch."""
    merged: List[Range] = []
    for first, last in sorted(ranges):
        if merged and first <= merged[-1][1] + 1:
            merged[-1] = (merged[-1][0], max(merged[-1][1], last))
        else:
            merged.append((first, last))
    return merged


def ranges_of(members: Iterable[int]) -> List[Range]:
    return merge((cp, cp) for cp in members)


def code_points(ranges: Iterable[Range]) -> Set[int]:
    return {cp for first, last in ranges for cp in range(first, last + 1)}


class Tables:
    """The range sets behind each function, computed from the data files."""

    def __init__(self, data_dir: Path):
        self.version = read_version(data_dir)
        categories = read_general_categories(data_dir / "UnicodeData.txt")
        derived = read_property_ranges(
            data_dir / "DerivedCoreProperties.txt", ["Alphabetic", "Grapheme_Extend"]
        )
        proplist = read_property_ranges(data_dir / "PropList.txt", ["White_Space"])

        numbers = [cp for cp, cat in enumerate(categories) if cat in ("Nd", "Nl", "No")]
        self.alphanumeric = merge(derived["Alphabetic"] + ranges_of(numbers))
        self.white_space = merge(proplist["White_Space"])
        self.grapheme_extend = merge(derived["Grapheme_Extend"])
        # Stored as the non-printable set, which is how the rule is stated; it
        # and its complement take about the same number of ranges.
        self.not_printable = ranges_of(
            cp
            for cp, cat in enumerate(categories)
            if cat in NOT_PRINTABLE_CATEGORIES and cp not in PRINTABLE_EXCEPTIONS
        )


def hex_code(cp: int) -> str:
    return f"0x{cp:04X}"


def ascii_bitmap(ranges: List[Range], invert: bool = False) -> str:
    members = code_points((first, min(last, 0x7F)) for first, last in ranges if first < 0x80)
    words = [0, 0]
    for cp in range(0x80):
        if (cp in members) != invert:
            words[cp >> 6] |= 1 << (cp & 63)
    return "{" + ", ".join(f"0x{w:016X}u" for w in words) + "}"


def range_table(name: str, ranges: List[Range]) -> List[str]:
    """A C++ array of ranges, packed several to a line."""
    lines = [f"constexpr Range {name}[] = {{"]
    line = " "
    for first, last in ranges:
        item = f" {{{hex_code(first)}, {hex_code(last)}}},"
        if len(line) + len(item) > LINE_WIDTH:
            lines.append(line)
            line = " "
        line += item
    lines.append(line)
    lines.append("};")
    return lines


def render(tables: Tables) -> str:
    out: List[str] = [
        f"// Generated by {SCRIPT_NAME} from the Unicode Character Database,",
        f"// Unicode version {tables.version} (UnicodeData.txt, PropList.txt,",
        "// DerivedCoreProperties.txt). Do not edit by hand: change the script and",
        "// run it again.",
        "// clang-format off",
        "",
        "#include <algorithm>",
        "#include <cstddef>",
        "#include <cstdint>",
        "",
        '#include "unicode/unicode.h"',
        "",
        "namespace tamsel::unicode {",
        "namespace {",
        "",
        "struct Range {",
        "  char32_t first;",
        "  char32_t last;",
        "};",
        "",
        "// Tables are sorted and disjoint: find the last range starting at or",
        "// before c and see whether it reaches c.",
        "template <std::size_t N>",
        "bool in_ranges(const Range (&ranges)[N], char32_t c) {",
        "  const Range* after = std::upper_bound(",
        "      ranges, ranges + N, c, [](char32_t v, const Range& r) { return v < r.first; });",
        "  return after != ranges && c <= after[-1].last;",
        "}",
        "",
        "// ASCII answers come from a 128-bit map, as the parser asks per character.",
        "bool in_ascii_map(const std::uint64_t (&map)[2], char32_t c) {",
        "  return (map[c >> 6] >> (c & 63)) & 1;",
        "}",
        "",
        f"constexpr std::uint64_t kAlphanumericAscii[2] = {ascii_bitmap(tables.alphanumeric)};",
        f"constexpr std::uint64_t kWhiteSpaceAscii[2] = {ascii_bitmap(tables.white_space)};",
        "constexpr std::uint64_t kGraphemeExtendAscii[2] = "
        f"{ascii_bitmap(tables.grapheme_extend)};",
        "constexpr std::uint64_t kPrintableAscii[2] = "
        f"{ascii_bitmap(tables.not_printable, invert=True)};",
        "",
    ]
    for name, ranges in (
        ("kAlphanumeric", tables.alphanumeric),
        ("kWhiteSpace", tables.white_space),
        ("kGraphemeExtend", tables.grapheme_extend),
        ("kNotPrintable", tables.not_printable),
    ):
        out += range_table(name, ranges)
        out.append("")
    out += [
        "}  // namespace",
        "",
        "bool is_alphanumeric(char32_t c) {",
        "  return c < 0x80 ? in_ascii_map(kAlphanumericAscii, c) : in_ranges(kAlphanumeric, c);",
        "}",
        "",
        "bool is_white_space(char32_t c) {",
        "  return c < 0x80 ? in_ascii_map(kWhiteSpaceAscii, c) : in_ranges(kWhiteSpace, c);",
        "}",
        "",
        "bool is_grapheme_extend(char32_t c) {",
        "  return c < 0x80 ? in_ascii_map(kGraphemeExtendAscii, c)",
        "                  : in_ranges(kGraphemeExtend, c);",
        "}",
        "",
        "bool is_printable(char32_t c) {",
        "  if (c < 0x80) return in_ascii_map(kPrintableAscii, c);",
        f"  return c <= {hex_code(MAX_CODE_POINT)} && !in_ranges(kNotPrintable, c);",
        "}",
        "",
        "}  // namespace tamsel::unicode",
        "",
    ]
    return "\n".join(out)


def main(argv: List[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data-dir", type=Path, default=Path("/usr/share/unicode"),
                        help="directory holding UnicodeData.txt and friends")
    parser.add_argument("--output", type=Path,
                        default=REPO_ROOT / "src" / "unicode" / "unicode_tables.cpp",
                        help="the C++ file to write (default: src/unicode/unicode_tables.cpp)")
    parser.add_argument("--check", action="store_true",
                        help="write nothing; exit 1 if the output file is not up to date")
    args = parser.parse_args(argv)

    text = render(Tables(args.data_dir))
    if args.check:
        try:
            current = args.output.read_text(encoding="utf-8")
        except FileNotFoundError:
            current = None
        if current != text:
            print(f"{args.output} is out of date; run {SCRIPT_NAME} to regenerate it",
                  file=sys.stderr)
            return 1
        return 0
    args.output.parent.mkdir(parents=True, exist_ok=True)
    with open(args.output, "w", encoding="utf-8", newline="\n") as out:
        out.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
