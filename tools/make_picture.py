#!/usr/bin/env python3
"""Draws the program's title picture, assets/piano_k.bmp: two beamed eighth notes, the word
"vxpiano" in a hand-made pixel font, and a small keyboard, on the mask colour (magenta) that
the program leaves out when it puts the picture on the window.

The same bytes come out on every run. Usage: tools/make_picture.py [OUTPUT]
"""
import math
import os
import struct
import sys

WIDTH, HEIGHT = 284, 36
MASK = (0xFF, 0x00, 0xFF)

INK_TOP = (0x1B, 0x2A, 0x4A)      # the letters shade from a deep blue...
INK_BOTTOM = (0x3A, 0x5B, 0xA0)   # ...to a lighter one at the baseline
SHADOW = (0x6E, 0x64, 0x58)       # a darker tone of the window's warm grey
NOTE_INK = (0x20, 0x20, 0x28)
GOLD = (0xB0, 0x8A, 0x2E)
KEY_SLIP = (0x8E, 0x1F, 0x1F)
WHITE_KEY = (0xFA, 0xF8, 0xF2)
KEY_EDGE = (0x30, 0x30, 0x30)
BLACK_KEY = (0x1A, 0x1A, 0x1A)
BLACK_KEY_SHINE = (0x5A, 0x5A, 0x5A)

# The first eleven columns stay empty: the program blanks the instrument name's box, which
# reaches 11 pixels into the picture.
LEFT_MARGIN = 12

# Lower-case letters on a 5 x 9 grid: rows 0-1 above the x-height, 2-6 the x-height, 7-8 below.
GLYPHS = {
    "v": [".....", ".....", "#...#", "#...#", "#...#", ".#.#.", "..#..", ".....", "....."],
    "x": [".....", ".....", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", ".....", "....."],
    "p": [".....", ".....", "####.", "#...#", "#...#", "####.", "#....", "#....", "#...."],
    "i": ["..#..", ".....", ".##..", "..#..", "..#..", "..#..", ".###.", ".....", "....."],
    "a": [".....", ".....", ".###.", "....#", ".####", "#...#", ".####", ".....", "....."],
    "n": [".....", ".....", "####.", "#...#", "#...#", "#...#", "#...#", ".....", "....."],
    "o": [".....", ".....", ".###.", "#...#", "#...#", "#...#", ".###.", ".....", "....."],
}
SCALE = 3
GLYPH_W, GLYPH_H = 5, 9


def blank():
    return [[MASK] * WIDTH for _ in range(HEIGHT)]


def put(picture, x, y, colour):
    if 0 <= x < WIDTH and 0 <= y < HEIGHT:
        picture[y][x] = colour


def fill_rect(picture, x0, y0, x1, y1, colour):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            put(picture, x, y, colour)


def mix(a, b, t):
    return tuple(round(a[i] + (b[i] - a[i]) * t) for i in range(3))


def glyph_pixels(letter):
    """The pixels of one letter at SCALE, with outer corners rounded off and diagonal
    strokes bridged so they do not break into separate blocks."""
    rows = GLYPHS[letter]

    def on(cx, cy):
        return 0 <= cx < GLYPH_W and 0 <= cy < GLYPH_H and rows[cy][cx] == "#"

    pixels = set()
    for cy in range(GLYPH_H):
        for cx in range(GLYPH_W):
            if not on(cx, cy):
                continue
            block = {(cx * SCALE + dx, cy * SCALE + dy) for dx in range(SCALE) for dy in range(SCALE)}
            for sx in (-1, 1):
                for sy in (-1, 1):
                    corner = (cx * SCALE + (SCALE - 1 if sx > 0 else 0),
                              cy * SCALE + (SCALE - 1 if sy > 0 else 0))
                    alone = not on(cx + sx, cy) and not on(cx, cy + sy)
                    if alone and not on(cx + sx, cy + sy):
                        block.discard(corner)
                    elif alone:
                        block.add((corner[0] + sx, corner[1]))
                        block.add((corner[0], corner[1] + sy))
            pixels |= block
    return pixels


def draw_word(picture, word, left, top):
    height = GLYPH_H * SCALE
    for offset, colour_of in ((2, lambda y: SHADOW), (0, lambda y: mix(INK_TOP, INK_BOTTOM, y / (height - 1)))):
        x = left
        for letter in word:
            for (px, py) in glyph_pixels(letter):
                put(picture, x + px + offset, top + py + offset, colour_of(py))
            x += (GLYPH_W + 1) * SCALE
    return left + len(word) * (GLYPH_W + 1) * SCALE - SCALE


def draw_note_head(picture, cx, cy):
    # An ellipse tipped up to the right, as note heads are engraved.
    tilt = math.radians(-22)
    for y in range(cy - 5, cy + 6):
        for x in range(cx - 6, cx + 7):
            dx, dy = x - cx, y - cy
            u = dx * math.cos(tilt) - dy * math.sin(tilt)
            v = dx * math.sin(tilt) + dy * math.cos(tilt)
            if (u / 4.6) ** 2 + (v / 3.2) ** 2 <= 1.0:
                put(picture, x, y, NOTE_INK)


def draw_eighth_pair(picture):
    heads = [(19, 27), (37, 23)]
    stem_top = [6, 2]
    for (cx, cy), top in zip(heads, stem_top):
        draw_note_head(picture, cx, cy)
        fill_rect(picture, cx + 3, top, cx + 4, cy - 1, NOTE_INK)
    # The beam joins the stems' tops with a straight slanted bar four pixels thick.
    (x0, y0), (x1, y1) = (heads[0][0] + 3, stem_top[0]), (heads[1][0] + 4, stem_top[1])
    for x in range(x0, x1 + 1):
        y = round(y0 + (y1 - y0) * (x - x0) / (x1 - x0))
        fill_rect(picture, x, y, x, y + 3, NOTE_INK)


def draw_keyboard(picture, left, top, keys):
    key_w, key_h = 12, 26
    fill_rect(picture, left, top - 3, left + keys * key_w, top - 1, KEY_SLIP)
    for k in range(keys):
        x = left + k * key_w
        fill_rect(picture, x, top, x + key_w, top + key_h, KEY_EDGE)
        fill_rect(picture, x + 1, top, x + key_w - 1, top + key_h - 1, WHITE_KEY)
    # Black keys after C, D, F, G and A of each octave.
    for k in range(keys - 1):
        if k % 7 in (2, 6):
            continue
        x = left + (k + 1) * key_w - 3
        fill_rect(picture, x, top, x + 6, top + 15, BLACK_KEY)
        fill_rect(picture, x + 1, top, x + 1, top + 13, BLACK_KEY_SHINE)


def make_picture():
    picture = blank()
    draw_eighth_pair(picture)
    text_left = 52
    text_right = draw_word(picture, "vxpiano", text_left, 3)
    fill_rect(picture, text_left, 33, text_right + 1, 33, GOLD)
    draw_keyboard(picture, 186, 7, 8)
    assert all(picture[y][x] == MASK for y in range(HEIGHT) for x in range(LEFT_MARGIN - 1))
    return picture


def bmp_bytes(picture):
    """An uncompressed 24-bit Windows bitmap: 14-byte file header, 40-byte info header, then
    the rows from the bottom up in blue, green, red order, each padded to 4 bytes."""
    row_size = (WIDTH * 3 + 3) // 4 * 4
    pixels = bytearray()
    for y in range(HEIGHT - 1, -1, -1):
        row = bytearray()
        for (r, g, b) in picture[y]:
            row += bytes((b, g, r))
        pixels += row + bytes(row_size - len(row))
    offset = 14 + 40
    file_header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    info_header = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 24, 0, len(pixels),
                              2835, 2835, 0, 0)
    return file_header + info_header + bytes(pixels)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "assets", "piano_k.bmp")
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    with open(out, "wb") as f:
        f.write(bmp_bytes(make_picture()))


if __name__ == "__main__":
    main()
