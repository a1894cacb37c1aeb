#!/usr/bin/env python3
"""Draws the program's icon: a gold eighth note over a few piano keys with their red key slip,
on a rounded tile shading from blue to deep navy.

Writes the PNG icons the installation ships (assets/icons/vxpiano-SIZE.png for 16, 32, 48
and 128 pixels). Each size has its own hand-set key widths, so key edges fall on whole
pixels; the round shapes (tile corners, note) are antialiased by supersampling.

The build turns the three small PNGs into C++ source for the window's icon (the array behind
app/keyboard/icon.h), so the build needs python3 (it is in tools/packages.txt); nothing but the
standard library is used.

The same pixels come out on every run (only integer and basic float arithmetic).
Usage: tools/make_icon.py             draw the PNGs into the source tree
       tools/make_icon.py --check     compare the committed PNGs with a fresh drawing
       tools/make_icon.py --cpp FILE  write the window icon's C++ source from the PNGs
"""
import math
import os
import struct
import sys
import zlib

PNG_SIZES = (16, 32, 48, 128)
WINDOW_SIZES = (16, 32, 48)

TILE_TOP = (0x36, 0x58, 0xA0)
TILE_BOTTOM = (0x16, 0x24, 0x44)
TILE_RIM = (0x0E, 0x17, 0x2E)
KEY_SLIP = (0xA8, 0x26, 0x26)
WHITE_KEY = (0xFA, 0xF8, 0xF2)
WHITE_KEY_FRONT = (0xD6, 0xCF, 0xC0)
KEY_GAP = (0x3C, 0x40, 0x4C)
BLACK_KEY = (0x1A, 0x1A, 0x1E)
BLACK_KEY_SHINE = (0x5C, 0x5C, 0x64)
NOTE_GOLD = (0xF0, 0xC2, 0x4E)

# Per size: tile margin, corner radius, rim width, key slip rows, top of the keys, width of a
# white key, gap between white keys, number of white keys, black key width and height, rows of
# the white keys' front edge, rows of the black keys' shine, and how large the note is drawn
# (a little larger where it has only a few pixels).
LAYOUTS = {
    16: dict(margin=1, radius=2.5, rim=0, slip=1, keys_top=9, white=4, gap=1, count=3,
             black=3, black_height=4, front=0, shine=0, note=1.2),
    32: dict(margin=2, radius=5, rim=0, slip=1, keys_top=18, white=6, gap=1, count=4,
             black=5, black_height=7, front=1, shine=1, note=1.05),
    48: dict(margin=3, radius=7, rim=1, slip=2, keys_top=27, white=10, gap=1, count=4,
             black=7, black_height=10, front=2, shine=1, note=1.0),
    128: dict(margin=8, radius=19, rim=2, slip=4, keys_top=72, white=26, gap=3, count=4,
              black=17, black_height=27, front=4, shine=3, note=1.0),
}

# C D E F: black keys follow the first, second and fourth white key (C#, D#, F#); the last
# one sits on the tile's edge, so the keyboard seems to go on beyond it.
BLACK_AFTER = (0, 1, 3)


def lerp(a, b, t):
    return tuple(x + (y - x) * t for x, y in zip(a, b))


def inside_rounded(x, y, x0, y0, x1, y1, r):
    if x < x0 or x >= x1 or y < y0 or y >= y1:
        return False
    dx = max(x0 + r - x, 0.0, x - (x1 - r))
    dy = max(y0 + r - y, 0.0, y - (y1 - r))
    return dx * dx + dy * dy <= r * r


def inside_polygon(x, y, points):
    inside = False
    j = len(points) - 1
    for i in range(len(points)):
        xi, yi = points[i]
        xj, yj = points[j]
        if (yi > y) != (yj > y) and x < xi + (xj - xi) * (y - yi) / (yj - yi):
            inside = not inside
        j = i
    return inside


class Scene:
    """The icon at one size, in pixel units: x to the right, y down, pixel (i, j) covers
    [i, i+1) x [j, j+1)."""

    def __init__(self, size):
        g = LAYOUTS[size]
        self.size = size
        self.g = g
        m = g["margin"]
        self.tile = (m, m, size - m, size - m)
        tile_width = size - 2 * m
        self.slip_top = g["keys_top"] - g["slip"]
        # The white keys start at the tile's left edge; the last one runs to its right edge.
        self.key_left = m
        self.pitch = g["white"] + g["gap"]
        self.black_keys = []
        for after in BLACK_AFTER:
            centre = self.key_left + (after + 1) * self.pitch - g["gap"] / 2
            left = math.floor(centre - g["black"] / 2 + 0.5)
            self.black_keys.append((left, left + g["black"]))

        # The note, in the space above the key slip.
        top = m
        height = self.slip_top - m
        u = tile_width * g["note"]
        self.head_cx = m + 0.40 * tile_width
        self.head_cy = top + 0.74 * height
        self.head_a = 0.145 * u
        self.head_b = 0.100 * u
        tilt = math.radians(-24.0)
        self.cos_t = math.cos(tilt)
        self.sin_t = math.sin(tilt)
        stem_width = max(1, round(tile_width / 18))
        self.stem_right = round(self.head_cx + self.head_a * 0.93)
        self.stem_left = self.stem_right - stem_width
        self.stem_top = top + 0.10 * height
        self.stem_bottom = self.head_cy
        # The flag: a swash from the top of the stem, out to the right and down to a point.
        x0, y0 = self.stem_right, self.stem_top
        self.flag = [(x0 + dx * u, y0 + dy * u) for dx, dy in (
            (-0.01, 0.00), (0.05, 0.03), (0.11, 0.07), (0.165, 0.125), (0.185, 0.20),
            (0.17, 0.27), (0.135, 0.32), (0.145, 0.25), (0.135, 0.205), (0.105, 0.175),
            (0.06, 0.155), (0.02, 0.15), (-0.01, 0.15))]

    def in_note(self, x, y):
        dx = x - self.head_cx
        dy = y - self.head_cy
        u = dx * self.cos_t + dy * self.sin_t
        v = -dx * self.sin_t + dy * self.cos_t
        if (u / self.head_a) ** 2 + (v / self.head_b) ** 2 <= 1.0:
            return True
        if self.stem_left <= x < self.stem_right and self.stem_top <= y < self.stem_bottom:
            return True
        return inside_polygon(x, y, self.flag)

    def colour(self, x, y):
        """The colour at a point, or None outside the tile."""
        g = self.g
        x0, y0, x1, y1 = self.tile
        if not inside_rounded(x, y, x0, y0, x1, y1, g["radius"]):
            return None
        rim = g["rim"]
        if rim and not inside_rounded(x, y, x0 + rim, y0 + rim, x1 - rim, y1 - rim,
                                      g["radius"] - rim):
            return TILE_RIM
        keys_top = g["keys_top"]
        if y >= keys_top:
            rows_from_top = math.floor(y) - keys_top
            rows_from_bottom = (y1 - 1) - math.floor(y)
            col = math.floor(x)
            for left, right in self.black_keys:
                if left <= col < right and rows_from_top < g["black_height"]:
                    if rows_from_top >= g["black_height"] - g["shine"]:
                        return BLACK_KEY_SHINE
                    return BLACK_KEY
            offset = col - self.key_left
            key = offset // self.pitch
            if key < g["count"] - 1 and offset % self.pitch >= g["white"]:
                return KEY_GAP
            if rows_from_bottom < g["front"] + rim:
                return WHITE_KEY_FRONT
            return WHITE_KEY
        if y >= self.slip_top:
            return KEY_SLIP
        if self.in_note(x, y):
            return NOTE_GOLD
        t = (y - y0) / (self.slip_top - y0)
        return lerp(TILE_TOP, TILE_BOTTOM, t)


def render(size):
    """Rows of (r, g, b, a) tuples, straight (not premultiplied) alpha."""
    scene = Scene(size)
    samples = 8 if size <= 48 else 4
    offsets = [(i + 0.5) / samples for i in range(samples)]
    total = samples * samples
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            sums = [0.0, 0.0, 0.0]
            covered = 0
            for oy in offsets:
                for ox in offsets:
                    c = scene.colour(px + ox, py + oy)
                    if c is None:
                        continue
                    covered += 1
                    sums[0] += c[0]
                    sums[1] += c[1]
                    sums[2] += c[2]
            if covered == 0:
                row.append((0, 0, 0, 0))
                continue
            rgb = tuple(min(255, int(s / covered + 0.5)) for s in sums)
            row.append(rgb + ((covered * 255 + total // 2) // total,))
        rows.append(row)
    return rows


def png_bytes(rows):
    height = len(rows)
    width = len(rows[0])

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = b"".join(b"\x00" + bytes(v for px in row for v in px) for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def png_pixels(data):
    """Decodes an 8-bit RGBA PNG (any filter) into rows of tuples; for --check, so a
    different zlib's bytes still compare by their pixels."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG file")
    pos = 8
    idat = b""
    width = height = None
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if len(body) != length:
            raise ValueError("truncated PNG chunk")
        if kind == b"IHDR":
            width, height, depth, colour_type, _, _, interlace = struct.unpack(">IIBBBBB", body)
            if (depth, colour_type, interlace) != (8, 6, 0):
                raise ValueError("not an 8-bit RGBA non-interlaced PNG")
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw = zlib.decompress(idat)
    stride = width * 4
    if len(raw) != height * (stride + 1):
        raise ValueError("PNG image data has the wrong length")
    rows = []
    previous = bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - 4] if i >= 4 else 0
            up = previous[i]
            up_left = previous[i - 4] if i >= 4 else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - up_left
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - up_left)
                pred = left if pa <= pb and pa <= pc else (up if pb <= pc else up_left)
                line[i] = (line[i] + pred) & 0xFF
            elif kind != 0:
                raise ValueError("unknown PNG filter %d" % kind)
        rows.append([tuple(line[x * 4:x * 4 + 4]) for x in range(width)])
        previous = line
    return rows


def argb(px):
    r, g, b, a = px
    return (a << 24) | (r << 16) | (g << 8) | b


def cpp_source(images):
    out = []
    out.append("// The program's built-in window icon, made by tools/make_icon.py --cpp at build time from")
    out.append("// the installed PNG icons of these sizes.")
    out.append('#include "app/keyboard/icon.h"')
    out.append("")
    out.append("#include <cstdint>")
    out.append("")
    out.append("namespace app {")
    out.append("")
    out.append("namespace {")
    for size in WINDOW_SIZES:
        values = [argb(px) for row in images[size] for px in row]
        out.append("")
        out.append("const uint32_t icon_%d[%d * %d] = {" % (size, size, size))
        for i in range(0, len(values), 6):
            out.append("    " + " ".join("0x%08x," % v for v in values[i:i + 6]))
        out.append("};")
    out.append("")
    out.append("const vx::ProgramIcon icon_sizes[] = {")
    for size in WINDOW_SIZES:
        out.append("    {%d, %d, icon_%d}," % (size, size, size))
    out.append("};")
    out.append("")
    out.append("}  // namespace")
    out.append("")
    out.append("std::span<const vx::ProgramIcon> piano_icon() { return icon_sizes; }")
    out.append("")
    out.append("}  // namespace app")
    return "\n".join(out) + "\n"


def check(images, png_paths):
    failures = []
    for size, path in png_paths.items():
        try:
            with open(path, "rb") as f:
                committed = png_pixels(f.read())
        except (OSError, ValueError, zlib.error) as e:
            failures.append("%s: %s" % (path, e))
            continue
        if committed != images[size]:
            first = next((x, y) for y in range(size) for x in range(size)
                         if y >= len(committed) or x >= len(committed[y]) or
                         committed[y][x] != images[size][y][x])
            failures.append("%s differs from the drawing, first at pixel %s" % (path, first))
    for failure in failures:
        print(failure, file=sys.stderr)
    if failures:
        print("run tools/make_icon.py and commit the result", file=sys.stderr)
        return 1
    print("icons match the drawing")
    return 0


def write_cpp(png_paths, cpp_path):
    images = {}
    for size in WINDOW_SIZES:
        with open(png_paths[size], "rb") as f:
            images[size] = png_pixels(f.read())
        if len(images[size]) != size or any(len(row) != size for row in images[size]):
            raise ValueError("%s is not %d pixels square" % (png_paths[size], size))
    # Written beside and renamed, so an interrupted build never leaves half a file.
    partial = cpp_path + ".partial"
    with open(partial, "w", encoding="ascii", newline="\n") as f:
        f.write(cpp_source(images))
    os.replace(partial, cpp_path)
    return 0


def main(argv):
    root = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    png_paths = {size: os.path.join(root, "assets", "icons", "vxpiano-%d.png" % size)
                 for size in PNG_SIZES}
    if len(argv) == 3 and argv[1] == "--cpp":
        return write_cpp(png_paths, argv[2])
    images = {size: render(size) for size in PNG_SIZES}
    if argv[1:] == ["--check"]:
        return check(images, png_paths)
    if argv[1:]:
        print(__doc__, file=sys.stderr)
        return 2
    os.makedirs(os.path.dirname(png_paths[PNG_SIZES[0]]), exist_ok=True)
    for size, path in png_paths.items():
        with open(path, "wb") as f:
            f.write(png_bytes(images[size]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
