#!/usr/bin/env python3
"""Builds the built-in font and palette block and writes it LZW-compressed as C++ source.

    python3 tools/gen_builtin_data.py [--bios FILE] [--output FILE]

The fonts come from Debian's vgabios package: /usr/share/vgabios/vgabios.bin holds the three
code-page-437 fonts as plain tables (256 glyphs, one byte per row, most significant bit
leftmost): 8x8 at 0x0F78, 8x14 at 0x1778 and 8x16 at 0x2578 in version 0.8a. The tables are
not taken from fixed offsets but found by their shapes (see find_font), so another build of
the image works too; the script stops with an error when a font is missing or ambiguous.

The block (10,742 bytes): the 8x8, 8x14 and 8x16 fonts with every byte bit-reversed (bit 0
is the leftmost pixel), then the 2-, 16-, 64- and 256-entry default palettes as R, G, B
bytes. It is compressed with 12-bit LZW (two codes per three bytes, least significant bits
first, dictionary from code 256 up to 4094, no clear code, code 4095 ends the data), decoded
again here with the library's rules and compared before anything is written. The output
depends only on the BIOS image: running the script twice gives the same file.
"""

import argparse
import os
import sys

DEFAULT_BIOS = "/usr/share/vgabios/vgabios.bin"
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_OUTPUT = os.path.join(REPO, "gfx", "builtin_data_lzw.cpp")

BLOCK_SIZE = 10742
END_CODE = 4095
LAST_ENTRY = 4094

# Most-significant-bit-first rows of glyphs every VGA font must have; "A" is given as the rows
# of its apex and crossbar, which sit at different heights in the three sizes.
SMILEY_ROWS = bytes([0x7E, 0x81, 0xA5, 0x81])
CAPITAL_A_8X8 = bytes([0x30, 0x78, 0xCC, 0xCC, 0xFC, 0xCC, 0xCC, 0x00])
CAPITAL_A_TALL = bytes([0x10, 0x38, 0x6C, 0xC6, 0xC6, 0xFE])

# The 8x14 table of vgabios draws 0xE1 as a Greek beta that starts at the x-height and hangs
# three rows below the baseline; as German sharp s it must rise to the ascender like "b" and
# stand on the baseline. This is the 8x16 shape with one of its upright rows dropped.
GLYPH_OVERRIDES = {
    (14, 0xE1): bytes([0x00, 0x00, 0x78, 0xCC, 0xCC, 0xD8, 0xCC, 0xC6,
                       0xC6, 0xC6, 0xCC, 0x00, 0x00, 0x00]),
}


def fail(message):
    sys.stderr.write("gen_builtin_data: " + message + "\n")
    sys.exit(1)


def glyph(table, height, code):
    return table[code * height:(code + 1) * height]


def looks_like_font(image, offset, height):
    table = image[offset:offset + 256 * height]
    if len(table) != 256 * height:
        return False
    if any(glyph(table, height, 0x00)) or any(glyph(table, height, 0x20)):
        return False
    if glyph(table, height, 0xDB) != b"\xff" * height:
        return False
    if SMILEY_ROWS not in glyph(table, height, 0x01):
        return False
    a = glyph(table, height, 0x41)
    return a == CAPITAL_A_8X8 if height == 8 else CAPITAL_A_TALL in a


def find_font(image, height):
    hits = [o for o in range(len(image) - 256 * height + 1) if looks_like_font(image, o, height)]
    if len(hits) != 1:
        fail("expected one 8x%d font table in the BIOS image, found %d" % (height, len(hits)))
    table = bytearray(image[hits[0]:hits[0] + 256 * height])
    for (h, code), rows in GLYPH_OVERRIDES.items():
        if h == height:
            table[code * height:(code + 1) * height] = rows
    return bytes(table)


def reverse_bits(byte):
    return int("{:08b}".format(byte)[::-1], 2)


def palette_16():
    return [(0, 0, 0), (0, 0, 170), (0, 170, 0), (0, 170, 170),
            (170, 0, 0), (170, 0, 170), (170, 85, 0), (170, 170, 170),
            (85, 85, 85), (85, 85, 255), (85, 255, 85), (85, 255, 255),
            (255, 85, 85), (255, 85, 255), (255, 255, 85), (255, 255, 255)]


def palette_64():
    def bit(i, n):
        return (i >> n) & 1
    return [(170 * bit(i, 2) + 85 * bit(i, 5),
             170 * bit(i, 1) + 85 * bit(i, 4),
             170 * bit(i, 0) + 85 * bit(i, 3)) for i in range(64)]


def palette_256():
    grey = [0, 20, 32, 44, 56, 68, 80, 97, 113, 129, 145, 161, 182, 202, 226, 255]
    rings = [(0, 64, 125, 190, 255), (125, 157, 190, 222, 255), (182, 198, 218, 234, 255),
             (0, 28, 56, 85, 113), (56, 68, 85, 97, 113), (80, 89, 97, 105, 113),
             (0, 16, 32, 48, 64), (32, 40, 48, 56, 64), (44, 48, 52, 60, 64)]
    # A ring walks the hue circle blue, magenta, red, yellow, green, cyan, back to blue, as
    # indices into the ring's five levels.
    walk = [(0, 0, 4), (1, 0, 4), (2, 0, 4), (3, 0, 4), (4, 0, 4), (4, 0, 3), (4, 0, 2),
            (4, 0, 1), (4, 0, 0), (4, 1, 0), (4, 2, 0), (4, 3, 0), (4, 4, 0), (3, 4, 0),
            (2, 4, 0), (1, 4, 0), (0, 4, 0), (0, 4, 1), (0, 4, 2), (0, 4, 3), (0, 4, 4),
            (0, 3, 4), (0, 2, 4), (0, 1, 4)]
    entries = palette_16() + [(g, g, g) for g in grey]
    for levels in rings:
        entries += [(levels[r], levels[g], levels[b]) for r, g, b in walk]
    entries += [(0, 0, 0)] * 8
    assert len(entries) == 256
    return entries


def build_block(image):
    block = bytearray()
    for height in (8, 14, 16):
        block += bytes(reverse_bits(b) for b in find_font(image, height))
    for palette in ([(0, 0, 0), (255, 255, 255)], palette_16(), palette_64(), palette_256()):
        for rgb in palette:
            block += bytes(rgb)
    assert len(block) == BLOCK_SIZE, len(block)
    return bytes(block)


def lzw_compress(data):
    codes = []
    dictionary = {}
    next_code = 256
    current = data[0]
    for byte in data[1:]:
        key = (current, byte)
        if key in dictionary:
            current = dictionary[key]
            continue
        codes.append(current)
        # The decoder adds its entry one code later but counts the same way, so both stop
        # adding at the same entry.
        if next_code <= LAST_ENTRY:
            dictionary[key] = next_code
            next_code += 1
        current = byte
    codes.append(current)
    codes.append(END_CODE)
    return pack_codes(codes)


def pack_codes(codes):
    out = bytearray()
    for i in range(0, len(codes), 2):
        first = codes[i]
        second = codes[i + 1] if i + 1 < len(codes) else None
        out.append(first & 0xFF)
        if second is None:
            out.append(first >> 8)
        else:
            out.append((first >> 8) | ((second & 0x0F) << 4))
            out.append(second >> 4)
    return bytes(out)


def lzw_expand(packed):
    """The library's decoder, rule for rule; returns the bytes or None when the data is bad."""
    def codes():
        for i in range(0, len(packed) - 1, 3):
            yield packed[i] | (packed[i + 1] & 0x0F) << 8
            if i + 2 < len(packed):
                yield (packed[i + 1] >> 4) | packed[i + 2] << 4

    stream = codes()
    first = next(stream, None)
    if first is None or (first > 255 and first != END_CODE):
        return None
    if first == END_CODE:
        return b""
    prefix, suffix = {}, {}

    def expand(code):
        out = bytearray()
        while code > 255:
            out.append(suffix[code])
            code = prefix[code]
        out.append(code)
        return bytes(reversed(out))

    out = bytearray([first])
    previous, previous_string = first, bytes([first])
    next_code = 256
    for code in stream:
        if code == END_CODE:
            return bytes(out)
        if code < next_code:
            string = expand(code)
        elif code == next_code:
            string = previous_string + previous_string[:1]
        else:
            return None
        out += string
        if next_code <= LAST_ENTRY:
            prefix[next_code], suffix[next_code] = previous, string[0]
            next_code += 1
        previous, previous_string = code, string
    return None


def render_source(packed):
    lines = [
        "// Generated by tools/gen_builtin_data.py from the vgabios package's vgabios.bin; do",
        "// not edit. Regenerate with: python3 tools/gen_builtin_data.py",
        "// The %d-byte font and palette block (8x14 glyph 0xE1 redrawn, see the script)," % BLOCK_SIZE,
        "// LZW-compressed; lzw_expand restores it.",
        '#include "gfx/fonts.h"',
        "",
        "namespace vx {",
        "",
        "const uint8_t builtin_data_lzw[] = {",
    ]
    for i in range(0, len(packed), 16):
        lines.append("    " + " ".join("0x%02X," % b for b in packed[i:i + 16]))
    lines += [
        "};",
        "",
        "const size_t builtin_data_lzw_size = sizeof builtin_data_lzw;",
        "",
        "}  // namespace vx",
        "",
    ]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--bios", default=DEFAULT_BIOS, help="VGA BIOS image (default %(default)s)")
    parser.add_argument("--output", default=DEFAULT_OUTPUT, help="C++ file to write")
    parser.add_argument("--raw", help="also write the compressed bytes to this file")
    args = parser.parse_args()

    try:
        with open(args.bios, "rb") as f:
            image = f.read()
    except OSError as e:
        fail("cannot read %s: %s (the vgabios package provides it)" % (args.bios, e.strerror))

    block = build_block(image)
    packed = lzw_compress(block)
    if lzw_expand(packed) != block:
        fail("the compressed block does not decode to the original")

    with open(args.output, "w", newline="\n") as f:
        f.write(render_source(packed))
    if args.raw:
        with open(args.raw, "wb") as f:
            f.write(packed)
    sys.stderr.write("gen_builtin_data: %d bytes -> %d bytes\n" % (len(block), len(packed)))


if __name__ == "__main__":
    main()
