#!/usr/bin/env python3
"""Generates platform/linux/codepage950_best_fit.cpp: Windows' best-fit mappings of code page 950.

WideCharToMultiByte(950, 0, ...) writes a character that Big5 lacks as the bytes of a similar
character when Microsoft's table names one (e with acute as "e", fullwidth letters as ASCII ...),
and as the default character otherwise. Microsoft publishes that table as bestfit950.txt; Wine
compiles it into its code-page file c_950.nls (Debian: package libwine, /usr/share/wine/nls/).
This script reads that file and writes the best-fit pairs: the characters whose bytes read back
as another character. Of the round-trip pairs it writes those of the private use area, U+E000
to U+F8FF (the user-defined characters of lead bytes 0x81-0xA0 and 0xFA-0xFE, the end of
0xC6-0xC8, and the byte 0xFF), as runs: iconv's CP950 lacks most of them. The other round trips
are the ones iconv gives. --check compares them with the C library's iconv and lists where the
two differ.

The code-page file is a run of little-endian 16-bit words (the layout of CPTABLEINFO):
  header:  size of the header in words (13), code page, maximum character size, default
           character, Unicode default character, two translated defaults, 12 bytes of lead-byte
           ranges (pairs, ended by a zero pair);
  then:    the offset in words from here to the Unicode table, the 256 single-byte characters, a
           glyph-table size (and the table), the number of lead-byte ranges, and for a double-byte
           code page 256 offsets (word offsets from these offsets' start to each lead byte's table
           of 256 characters) and the tables;
  then:    one word, and the Unicode table: 65536 words, each the code page's bytes for that
           UTF-16 unit (a lead byte in the high half for a double-byte character).

Usage: gen-bestfit950.py [--nls FILE] [--out FILE] [--check]
"""

import argparse
import ctypes
import ctypes.util
import hashlib
import os
import struct
import sys

DEFAULT_NLS = "/usr/share/wine/nls/c_950.nls"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_OUT = os.path.join(ROOT, "platform", "linux", "codepage950_best_fit.cpp")


def fail(message):
    sys.exit("gen-bestfit950: " + message)


def read_table(path):
    """Returns (multibyte-to-Unicode dict, Unicode-to-bytes list, default bytes)."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) % 2 != 0:
        fail(path + ": not a run of 16-bit words")
    words = struct.unpack("<%dH" % (len(data) // 2), data)
    header_size, code_page, max_char_size, default_char = words[0:4]
    if header_size != 13 or code_page != 950 or max_char_size != 2:
        fail(path + ": not the code-page file of 950 (header %r)" % (words[0:4],))
    lead_bytes = set()
    ranges = data[14:26]
    for i in range(0, len(ranges), 2):
        if ranges[i] == 0:
            break
        lead_bytes.update(range(ranges[i], ranges[i + 1] + 1))
    single = header_size + 1
    unicode_table = header_size + words[header_size] + 1
    glyphs = words[single + 256]
    range_count_at = single + 257 + (256 if glyphs else 0)
    if words[range_count_at] == 0:
        fail(path + ": no lead-byte ranges")
    offsets = range_count_at + 1
    if unicode_table + 65536 != len(words):
        fail(path + ": the Unicode table is not where the header says")

    to_unicode = {}
    for b in range(256):
        if b not in lead_bytes:
            to_unicode[bytes([b])] = words[single + b]
    for lead in sorted(lead_bytes):
        table = offsets + words[offsets + lead]
        for trail in range(256):
            to_unicode[bytes([lead, trail])] = words[table + trail]

    def as_bytes(code):
        return bytes([code]) if code < 0x100 else bytes([code >> 8, code & 0xFF])

    from_unicode = [as_bytes(words[unicode_table + u]) for u in range(65536)]
    return to_unicode, from_unicode, as_bytes(default_char)


def split(to_unicode, from_unicode, default):
    """Round-trip pairs {unit: bytes} and best-fit pairs {unit: bytes}, surrogates left out."""
    round_trip, best_fit = {}, {}
    for unit, written in enumerate(from_unicode):
        if 0xD800 <= unit <= 0xDFFF:
            continue
        if to_unicode.get(written) == unit:
            round_trip[unit] = written
        elif written != default:
            best_fit[unit] = written
    return round_trip, best_fit


class Iconv:
    """The C library's iconv, one character at a time."""

    def __init__(self):
        libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
        libc.iconv_open.restype = ctypes.c_void_p
        libc.iconv_open.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        libc.iconv.restype = ctypes.c_size_t
        libc.iconv.argtypes = [ctypes.c_void_p] + [
            ctypes.POINTER(ctypes.c_char_p),
            ctypes.POINTER(ctypes.c_size_t),
        ] * 2
        self.libc = libc
        self.to_big5 = libc.iconv_open(b"CP950", b"UTF-16LE")
        self.from_big5 = libc.iconv_open(b"UTF-16LE", b"CP950")
        if self.to_big5 in (None, ctypes.c_void_p(-1).value):
            fail("iconv has no CP950")

    def _convert(self, cd, raw):
        self.libc.iconv(cd, None, None, None, None)
        source = ctypes.create_string_buffer(raw, len(raw))
        target = ctypes.create_string_buffer(16)
        src = ctypes.c_char_p(ctypes.addressof(source))
        dst = ctypes.c_char_p(ctypes.addressof(target))
        src_left, dst_left = ctypes.c_size_t(len(raw)), ctypes.c_size_t(16)
        result = self.libc.iconv(
            cd, ctypes.byref(src), ctypes.byref(src_left), ctypes.byref(dst), ctypes.byref(dst_left)
        )
        if result == ctypes.c_size_t(-1).value or src_left.value != 0:
            return None
        return target.raw[: 16 - dst_left.value]

    def to_bytes(self, unit):
        return self._convert(self.to_big5, struct.pack("<H", unit))

    def to_unit(self, written):
        out = self._convert(self.from_big5, written)
        return struct.unpack("<H", out)[0] if out is not None and len(out) == 2 else None


def describe_ranges(units):
    """Runs of consecutive units as text, e.g. U+E000-U+E30F."""
    runs, start, last = [], None, None
    for u in sorted(units):
        if start is not None and u == last + 1:
            last = u
            continue
        if start is not None:
            runs.append((start, last))
        start = last = u
    if start is not None:
        runs.append((start, last))
    return ", ".join("U+%04X" % a if a == b else "U+%04X-U+%04X" % (a, b) for a, b in runs)


def check(to_unicode, round_trip, best_fit):
    """Prints where iconv's CP950 and Windows' table differ; returns the number of differences."""
    iconv = Iconv()
    differences = 0
    lacking, other = [], []
    for unit in range(65536):
        if 0xD800 <= unit <= 0xDFFF:
            continue
        got = iconv.to_bytes(unit)
        want = round_trip.get(unit)
        if got == want:
            continue
        if unit in best_fit and got is None:
            continue  # a best fit: iconv lacks it, as expected
        differences += 1
        if got is None:
            lacking.append(unit)
        else:
            other.append((unit, want, got))
    if lacking:
        print("Unicode to 950: Windows maps, iconv lacks: " + describe_ranges(lacking))
    for unit, want, got in other:
        print(
            "Unicode to 950: U+%04X Windows %s, iconv %s"
            % (unit, want.hex().upper() if want else "(default)", got.hex().upper())
        )
    unread = []
    for written, unit in sorted(to_unicode.items()):
        got = iconv.to_unit(written)
        if unit == 0x3F and written != b"?":
            unit = None  # no character: Windows writes its default
        if got == unit:
            continue
        differences += 1
        if got is None:
            unread.append((written, unit))
        else:
            print(
                "950 to Unicode: %s Windows %s, iconv U+%04X"
                % (written.hex().upper(), "U+%04X" % unit if unit is not None else "?", got)
            )
    if unread:
        print(
            "950 to Unicode: Windows reads, iconv refuses: %d byte sequences, %s"
            % (len(unread), describe_ranges(unit for _, unit in unread))
        )
    print("%d differences" % differences)
    return differences


def is_private_use(unit):
    return 0xE000 <= unit <= 0xF8FF


def code_of(written):
    return written[0] if len(written) == 1 else (written[0] << 8) | written[1]


def private_use_runs(round_trip):
    """The round trips of the private use area as runs (first unit, first bytes, count) of
    consecutive units whose bytes are consecutive too, in the order of the units."""
    runs = []
    for unit in sorted(u for u in round_trip if is_private_use(u)):
        code = code_of(round_trip[unit])
        if runs:
            first_unit, first_code, count = runs[-1]
            if unit == first_unit + count and code == first_code + count:
                runs[-1] = (first_unit, first_code, count + 1)
                continue
        runs.append((unit, code, 1))
    return runs


def write_source(path, nls, best_fit, round_trip_count, runs):
    with open(nls, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    lines = [
        "// Generated by scripts/gen-bestfit950.py; do not edit. Windows' best-fit mappings of code",
        "// page 950: the %d UTF-16 units that WideCharToMultiByte(950, 0, ...) writes as the bytes"
        % len(best_fit),
        "// of another character. Read from Wine's c_950.nls (Wine's compiled form of Microsoft's",
        "// bestfit950.txt, from Debian's package libwine) of SHA-256",
        "// %s." % digest,
        "// Of the %d round-trip pairs, the %d of the private use area are here too (iconv's"
        % (round_trip_count, sum(run[2] for run in runs)),
        "// CP950 lacks most of them); the others are left to iconv.",
        '#include "platform/linux/codepage950_best_fit.h"',
        "",
        "namespace kestrune::platform {",
        "",
        "const BestFit950 kBestFits950[] = {",
    ]
    entries = []
    for unit in sorted(best_fit):
        entries.append("{0x%04X, 0x%04X}," % (unit, code_of(best_fit[unit])))
    for at in range(0, len(entries), 5):  # as clang-format packs them in 100 columns
        lines.append("    " + " ".join(entries[at : at + 5]))
    lines += [
        "};",
        "const std::size_t kBestFits950Count = sizeof kBestFits950 / sizeof kBestFits950[0];",
        "",
        "const PrivateUseRun950 kPrivateUse950[] = {",
    ]
    entries = ["{0x%04X, 0x%04X, %d}," % run for run in runs]
    for at in range(0, len(entries), 4):
        lines.append("    " + " ".join(entries[at : at + 4]))
    lines += [
        "};",
        "const std::size_t kPrivateUse950Count = sizeof kPrivateUse950 / sizeof kPrivateUse950[0];",
        "",
        "}  // namespace kestrune::platform",
        "",
    ]
    with open(path, "w", encoding="ascii") as f:
        f.write("\n".join(lines))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nls", default=DEFAULT_NLS, help="Wine's c_950.nls")
    parser.add_argument("--out", default=DEFAULT_OUT, help="the C++ file to write")
    parser.add_argument(
        "--check", action="store_true", help="compare the round trips with iconv; write nothing"
    )
    args = parser.parse_args()
    to_unicode, from_unicode, default = read_table(args.nls)
    round_trip, best_fit = split(to_unicode, from_unicode, default)
    # Every best fit must land on a character that reads back: the bytes of a round trip.
    for unit, written in best_fit.items():
        if round_trip.get(to_unicode.get(written)) != written:
            fail("U+%04X: best fit %s is not a round-trip character" % (unit, written.hex()))
    if args.check:
        check(to_unicode, round_trip, best_fit)
        return
    runs = private_use_runs(round_trip)
    write_source(args.out, args.nls, best_fit, len(round_trip), runs)
    print("%s: %d best fits, %d private-use runs" % (args.out, len(best_fit), len(runs)))


if __name__ == "__main__":
    main()
