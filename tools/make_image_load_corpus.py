#!/usr/bin/env python3
"""Writes the image_load fuzz target's seed corpus, tests/fuzz/corpus/image_load/.

    python3 tools/make_image_load_corpus.py

Seeds: valid bitmaps of every depth the loader reads (1, 4, 8, 24, 32 bits, bit fields),
raw dumps of both kinds (an image buffer, an 8-bit screen with its palette), and broken
variants that reach each refusal and each bound: truncated headers and rows, palette offsets
below the header or far beyond 256 entries, negative and huge sizes, rows that overflow 32
bits, unknown depths, wrong masks, dumps longer than their destination or whose own header
claims more than the block. Same files on every run; inputs the fuzzer found (named
crash_* or slow_*) are kept beside them and never removed by this script.
"""

import os
import struct

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.join(REPO, "tests", "fuzz", "corpus", "image_load")


def pattern(n, seed):
    out = bytearray()
    for _ in range(n):
        seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
        out.append((seed >> 16) & 0xFF)
    return bytes(out)


def bmp(width, height, bits, rows, palette=b"", compression=0, offset=None, info_size=40, extra=b""):
    """A bitmap file: header, `extra` (bit-field masks), palette, then `rows` as given."""
    if offset is None:
        offset = 54 + len(extra) + len(palette)
    body = extra + palette + rows
    header = struct.pack("<2sIHHI", b"BM", 54 + len(body), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", info_size, width, height, 1, bits, compression, len(rows), 2835, 2835,
                       len(palette) // 4, 0)
    return header + info + body


def row_bytes(width, bits):
    return ((width * bits + 7) // 8 + 3) & ~3


def pixel_rows(width, height, bits, seed):
    return pattern(row_bytes(width, bits) * abs(height), seed)


def grey_palette(entries):
    return b"".join(bytes((i * 255 // max(entries - 1, 1),) * 3 + (0,)) for i in range(entries))


def image_dump(width, height, bpp, seed, header=None):
    """An image buffer as image_create makes it: 32-byte header, rows padded to 16 bytes."""
    pitch = (width * bpp + 15) & ~15
    if header is None:
        header = struct.pack("<iiiii12x", 7, bpp, width, height, pitch)
    return header + pattern(pitch * height, seed)


def raw_fe(payload, length=None):
    return b"\xFE" + struct.pack("<I", len(payload) if length is None else length) + payload


def raw_fd(payload, length=None):
    return b"\xFD" + b"\x00" * 4 + struct.pack("<H", len(payload) if length is None else length) + payload


def seeds():
    masks = struct.pack("<III", 0x00FF0000, 0x0000FF00, 0x000000FF)
    s = {}
    # Valid bitmaps.
    s["bmp1_10x3"] = bmp(10, 3, 1, pixel_rows(10, 3, 1, 1), palette=b"\x00\x00\x00\x00\xff\xff\xff\x00")
    s["bmp4_5x4"] = bmp(5, 4, 4, pixel_rows(5, 4, 4, 2), palette=grey_palette(16))
    s["bmp8_7x5_256"] = bmp(7, 5, 8, pixel_rows(7, 5, 8, 3), palette=grey_palette(256))
    s["bmp8_9x2_16_entries"] = bmp(9, 2, 8, pixel_rows(9, 2, 8, 4), palette=grey_palette(16))
    s["bmp24_3x2"] = bmp(3, 2, 24, pixel_rows(3, 2, 24, 5))
    s["bmp24_284x36"] = bmp(284, 36, 24, pixel_rows(284, 36, 24, 6))
    s["bmp24_800x3_wider_than_screen"] = bmp(800, 3, 24, pixel_rows(800, 3, 24, 7))
    s["bmp32_4x3"] = bmp(4, 3, 32, pixel_rows(4, 3, 32, 8))
    s["bmp32_bitfields_5x2"] = bmp(5, 2, 32, pixel_rows(5, 2, 32, 9), compression=3, extra=masks)
    s["bmp8_rle_read_as_plain"] = bmp(6, 2, 8, pixel_rows(6, 2, 8, 10), palette=grey_palette(4), compression=1)
    s["bmp24_negative_height"] = bmp(3, -2, 24, pixel_rows(3, 2, 24, 11))
    # Raw dumps.
    s["raw_fe_image_284x36"] = raw_fe(image_dump(284, 36, 4, 12))
    s["raw_fe_image_small_header"] = raw_fe(image_dump(10, 4, 4, 13))
    s["raw_fd_bytes"] = raw_fd(pattern(1000, 14))
    s["raw_fe_screen8_with_palette"] = raw_fe(pattern(160 * 100, 15)) + pattern(768, 16)
    s["raw_fe_short_payload"] = raw_fe(pattern(100, 17), length=5000)
    # Broken bitmaps.
    good = s["bmp8_7x5_256"]
    s["broken_empty"] = b""
    s["broken_just_B"] = b"B"
    s["broken_header_cut"] = good[:40]
    s["broken_not_bm"] = b"BX" + good[2:]
    s["broken_first_byte_X"] = b"X" + good[1:]
    s["broken_info_size_108"] = bmp(2, 2, 24, pixel_rows(2, 2, 24, 18), info_size=108)
    s["broken_bits16"] = bmp(2, 2, 16, pixel_rows(2, 2, 16, 19))
    s["broken_bits15"] = bmp(2, 2, 15, pixel_rows(2, 2, 16, 19))
    s["broken_bits0"] = bmp(4, 2, 0, pattern(16, 20))
    s["broken_bits2"] = bmp(4, 2, 2, pattern(16, 21), palette=grey_palette(4))
    s["broken_bits64"] = bmp(2, 2, 64, pattern(32, 22))
    s["broken_rows_cut"] = good[:len(good) - 10]
    s["broken_palette_cut"] = good[:54 + 100]
    s["broken_offset_below_header"] = bmp(4, 2, 8, pixel_rows(4, 2, 8, 23), offset=10)
    s["broken_offset_1000_entries"] = bmp(4, 2, 8, pixel_rows(4, 2, 8, 24), palette=grey_palette(256) * 4)
    s["broken_offset_huge"] = bmp(4, 2, 8, pixel_rows(4, 2, 8, 25), offset=0xFFFFFFFF)
    s["broken_width_row_overflows"] = bmp(0x40000000, 1, 32, pattern(64, 26))
    s["broken_width_huge_small_file"] = bmp(100000000, 2, 8, pattern(64, 27))
    s["broken_width_negative"] = bmp(-5, 2, 24, pattern(64, 28))
    s["broken_width_zero_height_huge"] = bmp(0, 0x7FFFFFFF, 24, b"")
    s["broken_height_huge"] = bmp(3, 0x7FFFFFFF, 24, pixel_rows(3, 4, 24, 29))
    s["broken_height_min"] = bmp(3, -0x80000000, 24, pixel_rows(3, 1, 24, 30))
    s["broken_bitfields_wrong_masks"] = bmp(5, 2, 32, pixel_rows(5, 2, 32, 31), compression=3,
                                            extra=struct.pack("<III", 0xFF, 0xFF00, 0xFF0000))
    s["broken_bitfields_8bit"] = bmp(5, 2, 8, pixel_rows(5, 2, 8, 32), compression=3, extra=masks)
    s["broken_bitfields_masks_cut"] = bmp(5, 2, 32, b"", compression=3, extra=masks[:6])
    s["broken_bmp1_cut_mid_row"] = s["bmp1_10x3"][:-3]
    # Broken raw dumps.
    s["broken_raw_fe_length_cut"] = b"\xFE\x10\x00"
    s["broken_raw_fd_length_cut"] = b"\xFD\x00\x00\x00\x00\x10"
    s["broken_raw_fe_length_huge"] = raw_fe(pattern(64, 33), length=0xFFFFFFFF)
    s["broken_raw_fe_longer_than_image"] = raw_fe(image_dump(284, 36, 4, 34) + pattern(5000, 35))
    s["broken_raw_fe_header_claims_more"] = raw_fe(image_dump(284, 36, 4, 36,
                                                              header=struct.pack("<iiiii12x", 7, 4, 8000, 8000, 32000)))
    s["broken_raw_fe_header_bpp3"] = raw_fe(image_dump(284, 36, 4, 37,
                                                       header=struct.pack("<iiiii12x", 7, 3, 284, 36, 1136)))
    s["broken_raw_fe_header_short_pitch"] = raw_fe(image_dump(284, 36, 4, 38,
                                                              header=struct.pack("<iiiii12x", 7, 4, 284, 36, 16)))
    s["broken_raw_fe_legacy_header_large"] = raw_fe(b"\x04\xff\xff\xff" + pattern(2000, 39))
    s["broken_raw_fe_header_cut"] = raw_fe(b"\x07\x00\x00\x00\x04\x00")
    return s


def main():
    os.makedirs(CORPUS, exist_ok=True)
    for name, data in sorted(seeds().items()):
        with open(os.path.join(CORPUS, name), "wb") as f:
            f.write(data)
    print(f"{len(seeds())} seeds in {os.path.relpath(CORPUS, REPO)}")


if __name__ == "__main__":
    main()
