#!/usr/bin/env python3
"""Generate python/src/unicode_tables.hpp from the Unicode Character Database.

Usage: tools/gen_unicode_data.py [UCD_DIR] [-o OUTPUT]

UCD_DIR defaults to /usr/share/unicode (Debian's unicode-data package). The
files read are UnicodeData.txt, SpecialCasing.txt and DerivedCoreProperties.txt.
The output is committed; run this by hand when moving to a new Unicode version
and keep that version in step with the Python the extension is tested against,
since the C++ side has to agree with that Python's str.lower() and unicodedata.

Only the standard library is used.
"""

from __future__ import annotations

import argparse
import os
import re
import sys
from dataclasses import dataclass

MAX_CP = 0x10FFFF
SIGMA = 0x03A3
SMALL_SIGMA = 0x03C3
FINAL_SIGMA = 0x03C2

# General categories whose characters are shown as escapes inside a repr;
# U+0020 SPACE is the one Zs character that is left alone.
ESCAPED_CATEGORIES = frozenset({"Cc", "Cf", "Zl", "Zp", "Zs", "Cs", "Co", "Cn"})

DEFAULT_OUTPUT = os.path.join(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
    "python", "src", "unicode_tables.hpp")


def data_lines(path: str):
    """Yield the fields of each data line of a UCD file, comments removed."""
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                yield [field.strip() for field in line.split(";")]


def parse_code_points(text: str) -> list[int]:
    return [int(part, 16) for part in text.split()]


def read_version(ucd_dir: str) -> str:
    """The Unicode version, from the first line of DerivedCoreProperties.txt.

    SpecialCasing.txt names its version the same way; a directory that mixes
    files of two versions is refused rather than turned into a table."""
    versions = {}
    for name in ("DerivedCoreProperties", "SpecialCasing"):
        with open(os.path.join(ucd_dir, name + ".txt"), encoding="utf-8") as f:
            first = f.readline()
        m = re.match(r"#\s*" + name + r"-(\d+\.\d+\.\d+)\.txt", first)
        if not m:
            raise SystemExit(f"{name}.txt: no version on its first line: {first!r}")
        versions[name] = m.group(1)
    if len(set(versions.values())) != 1:
        raise SystemExit(f"UCD files of different versions: {versions}")
    return versions["DerivedCoreProperties"]


def read_unicode_data(ucd_dir: str):
    """Return (category per code point, simple lowercase mapping dict).

    Code points not listed are Cn. Blocks given as a "<..., First>" line
    followed by a "<..., Last>" line are assigned over the whole range."""
    category = ["Cn"] * (MAX_CP + 1)
    lower: dict[int, int] = {}
    range_start = None
    for fields in data_lines(os.path.join(ucd_dir, "UnicodeData.txt")):
        cp = int(fields[0], 16)
        name, gc, simple_lower = fields[1], fields[2], fields[13]
        if name.endswith(", First>"):
            range_start = cp
            continue
        if name.endswith(", Last>"):
            if range_start is None:
                raise SystemExit(f"UnicodeData.txt: {fields[0]} ends a range never opened")
            for c in range(range_start, cp + 1):
                category[c] = gc
            range_start = None
            continue
        category[cp] = gc
        if simple_lower:
            lower[cp] = int(simple_lower, 16)
    if range_start is not None:
        raise SystemExit("UnicodeData.txt: a <..., First> range has no <..., Last>")
    return category, lower


def read_properties(ucd_dir: str, wanted: set[str]) -> dict[str, list[bool]]:
    props = {name: [False] * (MAX_CP + 1) for name in wanted}
    for fields in data_lines(os.path.join(ucd_dir, "DerivedCoreProperties.txt")):
        if fields[1] not in wanted:
            continue
        first, _, last = fields[0].partition("..")
        lo = int(first, 16)
        hi = int(last, 16) if last else lo
        table = props[fields[1]]
        for c in range(lo, hi + 1):
            table[c] = True
    for name, table in props.items():
        if not any(table):
            raise SystemExit(f"DerivedCoreProperties.txt: no code point has {name}")
    return props


def read_special_lowercase(ucd_dir: str) -> dict[int, list[int]]:
    """Unconditional full lowercase mappings from SpecialCasing.txt.

    Entries with a language are dropped, like str.lower() does. The one
    language-free conditional entry, Final_Sigma on U+03A3, is handled in
    python/src/unicode_data.cpp; anything else language-free and conditional
    would need new code, so it stops the generator."""
    special: dict[int, list[int]] = {}
    for fields in data_lines(os.path.join(ucd_dir, "SpecialCasing.txt")):
        cp = int(fields[0], 16)
        mapping = parse_code_points(fields[1])
        condition = fields[4] if len(fields) > 4 else ""
        if not condition:
            special[cp] = mapping
            continue
        words = condition.split()
        if re.fullmatch(r"[a-z]{2,3}(_[A-Za-z]+)?", words[0]):
            continue  # language-specific
        if words == ["Final_Sigma"] and cp == SIGMA and mapping == [FINAL_SIGMA]:
            continue
        raise SystemExit(f"SpecialCasing.txt: unhandled condition {condition!r} for U+{cp:04X}")
    return special


def to_ranges(flags: list[bool], start: int = 0) -> list[tuple[int, int]]:
    """Inclusive (first, last) ranges of the set code points from start on,
    adjacent ones merged."""
    ranges = []
    first = None
    for cp in range(start, len(flags)):
        if flags[cp]:
            if first is None:
                first = cp
        elif first is not None:
            ranges.append((first, cp - 1))
            first = None
    if first is not None:
        ranges.append((first, len(flags) - 1))
    return ranges


@dataclass
class LowerRun:
    first: int
    count: int
    stride: int
    delta: int


def to_lower_runs(mapping: dict[int, int]) -> list[LowerRun]:
    """Pack sorted (code point, lowercase) pairs into runs that share a delta
    and are spaced 1 or 2 apart (Latin Extended and friends alternate upper and
    lower case, so stride 2 is common).

    A run only ever takes the next mapped code point in order, so no mapped
    code point falls inside another run's span; a lookup can then take the last
    run starting at or before the code point and need look no further."""
    runs: list[LowerRun] = []
    for cp in sorted(mapping):
        delta = mapping[cp] - cp
        if runs:
            run = runs[-1]
            gap = cp - (run.first + (run.count - 1) * run.stride)
            if run.delta == delta:
                if run.count == 1 and gap in (1, 2):
                    run.stride = gap
                    run.count = 2
                    continue
                if run.count > 1 and gap == run.stride:
                    run.count += 1
                    continue
        runs.append(LowerRun(cp, 1, 1, delta))
    return runs


def utf8_literal(cps: list[int]) -> str:
    return '"' + "".join(f"\\x{b:02x}" for b in "".join(map(chr, cps)).encode("utf-8")) + '"'


def format_rows(items: list[str], indent: str = "    ", width: int = 100) -> str:
    lines, line = [], indent
    for item in items:
        piece = item + ","
        if line != indent and len(line) + 1 + len(piece) > width:
            lines.append(line)
            line = indent
        line += ("" if line == indent else " ") + piece
    if line != indent:
        lines.append(line)
    return "\n".join(lines)


def hex_cp(cp: int) -> str:
    return f"0x{cp:04X}"


def range_rows(ranges: list[tuple[int, int]]) -> str:
    return format_rows([f"{{{hex_cp(a)}, {hex_cp(b)}}}" for a, b in ranges])


HEADER_TEMPLATE = """\
// Generated by tools/gen_unicode_data.py from the Unicode Character Database {version}; do not edit.
//
// To change anything here, change the script and run it again.
//
// Tables only, for unicode_data.cpp: which code points a repr shows as
// escapes, and the full lowercase mapping of str.lower() in a Python built
// with Unicode {version}.
#pragma once

#include <cstdint>
#include <string_view>

namespace korvanta::py::unicode::db {{

struct Range {{
    char32_t first;
    char32_t last;
}};

// Escape class below U+0100, one bit per code point.
inline constexpr std::uint64_t escape_latin1[4] = {{
{escape_latin1}
}};

// Escape class from U+0100 on: sorted, disjoint, merged inclusive ranges.
inline constexpr Range escape_ranges[] = {{
{escape_ranges}
}};

// Cased and Case_Ignorable (DerivedCoreProperties.txt), only needed for the
// context of a capital sigma.
inline constexpr Range cased_ranges[] = {{
{cased_ranges}
}};

inline constexpr Range case_ignorable_ranges[] = {{
{case_ignorable_ranges}
}};

// Single code point lowercase mappings, as runs: first, first + stride, ...,
// count code points in all, each mapping to itself plus delta. Runs are
// sorted by first and their spans do not overlap.
struct LowerRun {{
    char32_t first;
    std::uint16_t count;
    std::uint16_t stride;
    std::int32_t delta;
}};

inline constexpr LowerRun lower_runs[] = {{
{lower_runs}
}};

// Lowercase mappings of more than one code point (SpecialCasing.txt), sorted.
// These code points are left out of lower_runs.
struct LowerMulti {{
    char32_t cp;
    std::string_view utf8;
}};

inline constexpr LowerMulti lower_multi[] = {{
{lower_multi}
}};

}}  // namespace korvanta::py::unicode::db
"""


def generate(ucd_dir: str) -> tuple[str, dict[str, int]]:
    version = read_version(ucd_dir)
    category, simple = read_unicode_data(ucd_dir)
    props = read_properties(ucd_dir, {"Cased", "Case_Ignorable", "Grapheme_Extend"})
    special = read_special_lowercase(ucd_dir)

    escape = [category[cp] in ESCAPED_CATEGORIES or props["Grapheme_Extend"][cp]
              for cp in range(MAX_CP + 1)]
    escape[0x20] = False

    latin1_words = []
    for word in range(4):
        bits = 0
        for bit in range(64):
            if escape[word * 64 + bit]:
                bits |= 1 << bit
        latin1_words.append(bits)
    escape_ranges = to_ranges(escape, 0x100)
    cased_ranges = to_ranges(props["Cased"])
    ignorable_ranges = to_ranges(props["Case_Ignorable"])

    # Full lowercase: SpecialCasing's unconditional entry where there is one,
    # else the simple mapping.
    single: dict[int, int] = {}
    multi: dict[int, list[int]] = {}
    for cp in range(MAX_CP + 1):
        full = special.get(cp)
        if full is None:
            full = [simple.get(cp, cp)]
        if len(full) > 1:
            multi[cp] = full
        elif full[0] != cp:
            single[cp] = full[0]
    if simple.get(SIGMA) != SMALL_SIGMA or SIGMA in multi:
        raise SystemExit("U+03A3 no longer lowercases to U+03C3; the sigma code needs a look")
    # append_lowercase (python/src/unicode_data.cpp) lowercases ASCII without
    # the tables: A-Z to a-z, the rest unchanged. Make sure the data still says so.
    for cp in range(0x80):
        expected = cp + 32 if 0x41 <= cp <= 0x5A else None
        if single.get(cp) != expected or cp in multi:
            raise SystemExit(f"U+{cp:04X} lowercases differently; the ASCII fast path needs a look")
    runs = to_lower_runs(single)
    for run in runs:
        if not (run.count < 1 << 16 and run.stride < 1 << 16 and -(1 << 31) <= run.delta < 1 << 31):
            raise SystemExit(f"a lowercase run does not fit its fields: {run}")

    sizes = {
        "escape_latin1": 4 * 8,
        "escape_ranges": len(escape_ranges) * 8,
        "cased_ranges": len(cased_ranges) * 8,
        "case_ignorable_ranges": len(ignorable_ranges) * 8,
        "lower_runs": len(runs) * 12,
        "lower_multi": len(multi) * 24,
        "lower_multi_text": sum(len("".join(map(chr, m)).encode("utf-8")) + 1
                                for m in multi.values()),
        "count_escape_ranges": len(escape_ranges),
        "count_cased_ranges": len(cased_ranges),
        "count_case_ignorable_ranges": len(ignorable_ranges),
        "count_lower_runs": len(runs),
        "count_single_mappings": len(single),
        "count_multi_mappings": len(multi),
    }

    text = HEADER_TEMPLATE.format(
        version=version,
        escape_latin1=format_rows([f"0x{w:016X}u" for w in latin1_words]),
        escape_ranges=range_rows(escape_ranges),
        cased_ranges=range_rows(cased_ranges),
        case_ignorable_ranges=range_rows(ignorable_ranges),
        lower_runs=format_rows(
            [f"{{{hex_cp(r.first)}, {r.count}, {r.stride}, {r.delta}}}" for r in runs]),
        lower_multi=format_rows(
            [f"{{{hex_cp(cp)}, {utf8_literal(m)}}}" for cp, m in sorted(multi.items())]),
    )
    return text, sizes


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("ucd_dir", nargs="?", default="/usr/share/unicode",
                        help="directory holding the UCD text files (default: %(default)s)")
    parser.add_argument("-o", "--output", default=DEFAULT_OUTPUT,
                        help="file to write (default: python/src/unicode_tables.hpp)")
    args = parser.parse_args(argv)

    for name in ("UnicodeData.txt", "SpecialCasing.txt", "DerivedCoreProperties.txt"):
        if not os.path.isfile(os.path.join(args.ucd_dir, name)):
            raise SystemExit(f"{args.ucd_dir}: no {name} (Debian: apt-get install unicode-data)")
    text, sizes = generate(args.ucd_dir)
    with open(args.output, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    print(f"wrote {args.output}")
    for key, value in sizes.items():
        unit = "" if key.startswith("count_") else " bytes"
        print(f"  {key}: {value}{unit}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
