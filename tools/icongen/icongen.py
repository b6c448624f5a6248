#!/usr/bin/env python3
"""Draws Nuvik's three icons and writes them as .ico files and PNG pictures.

Each icon holds a 32x32 and a 16x16 image in the 16 standard Windows
colours (4 bits per pixel) with a 1-bit transparency mask, the classic
format every Windows version reads. The PNGs show the same pixels four times
larger for the documentation.

    icongen.py [--out DIR]           write the files (default: the repo's res/)
    icongen.py --check [--out DIR]   exit 1 if those files differ from a fresh drawing
"""

import argparse
import os
import struct
import sys
import zlib

from glyphs import BIG, SMALL

# The standard Windows 16-colour palette, in its usual order.
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, SILVER, GREY, RED, LIME, YELLOW, FUCHSIA, AQUA, WHITE = 0, 7, 8, 9, 10, 11, 13, 14, 15
CLEAR = None  # a transparent pixel

# One bright colour per letter of the wordmark.
WORDMARK_COLOURS = [RED, YELLOW, LIME, AQUA, FUCHSIA]

PNG_SCALE = 4


class Canvas:
    """A square of palette indices; CLEAR where the background shows through."""

    def __init__(self, size):
        self.size = size
        self.pixels = [[CLEAR] * size for _ in range(size)]

    def put(self, x, y, colour):
        if 0 <= x < self.size and 0 <= y < self.size:
            self.pixels[y][x] = colour

    def fill(self, x0, y0, x1, y1, colour):
        """Fills the rectangle with corners (x0, y0) and (x1, y1), both included."""
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.put(x, y, colour)

    def frame(self, x0, y0, x1, y1, colour):
        for x in range(x0, x1 + 1):
            self.put(x, y0, colour)
            self.put(x, y1, colour)
        for y in range(y0, y1 + 1):
            self.put(x0, y, colour)
            self.put(x1, y, colour)

    def recolour(self, mapping):
        copy = Canvas(self.size)
        copy.pixels = [[mapping.get(p, p) for p in row] for row in self.pixels]
        return copy


def text_width(font, text, gap):
    return sum(len(font[ch][0]) for ch in text) + gap * (len(text) - 1)


def draw_text(canvas, font, text, x, baseline, colours, gap=1, outline=None):
    """Draws text whose glyph rows end on the baseline row. With an outline
    colour, every clear pixel next to a letter (8 neighbours) gets it, so the
    letters read on light and dark backgrounds alike."""
    lit = []
    for ch, colour in zip(text, colours):
        glyph = font[ch]
        top = baseline - len(glyph) + 1
        for row, line in enumerate(glyph):
            for col, mark in enumerate(line):
                if mark == "#":
                    lit.append((x + col, top + row, colour))
        x += len(glyph[0]) + gap
    if outline is not None:
        for px, py, _ in lit:
            for dy in (-1, 0, 1):
                for dx in (-1, 0, 1):
                    if 0 <= px + dx < canvas.size and 0 <= py + dy < canvas.size:
                        if canvas.pixels[py + dy][px + dx] is CLEAR:
                            canvas.put(px + dx, py + dy, outline)
    for px, py, colour in lit:
        canvas.put(px, py, colour)


def centred_text(canvas, font, text, baseline, gap=1, outline=None):
    x = (canvas.size - text_width(font, text, gap)) // 2
    draw_text(canvas, font, text, x, baseline, WORDMARK_COLOURS, gap, outline)


def tile(canvas, colour):
    """A square with its corners cut: the app icon's dark plate."""
    s = canvas.size - 1
    canvas.fill(0, 0, s, s, colour)
    for x, y in ((0, 0), (s, 0), (0, s), (s, s)):
        canvas.put(x, y, CLEAR)
    if canvas.size >= 32:
        for x, y in ((1, 0), (0, 1), (s - 1, 0), (s, 1), (0, s - 1), (1, s), (s, s - 1), (s - 1, s)):
            canvas.put(x, y, CLEAR)


def keyboard(canvas, top, rows, key, gap):
    """A grey keyboard from row `top` to the bottom edge: black rim, silver
    body, `rows` rows of white keys `key` pixels square, and a space bar."""
    s = canvas.size - 1
    canvas.fill(0, top, s, s, SILVER)
    canvas.frame(0, top, s, s, BLACK)
    pitch = key + gap
    inner = canvas.size - 2 - gap
    columns = inner // pitch
    left = 1 + gap + (inner - columns * pitch) // 2
    y = top + 1 + gap
    for row in range(rows):
        shift = (row % 2) * (pitch // 2)
        count = columns - (row % 2)
        for c in range(count):
            x = left + shift + c * pitch
            canvas.fill(x, y, x + key - 1, y + key - 1, WHITE)
        y += pitch
    # The space bar spans the middle half.
    quarter = canvas.size // 4
    canvas.fill(quarter, y, s - quarter, y + key - 1, WHITE)


def app_icon(size):
    canvas = Canvas(size)
    tile(canvas, BLACK)
    if size >= 32:
        centred_text(canvas, BIG, "Nuvik", baseline=21)
        # A rule under the name, one stretch per letter colour.
        edges = [3, 9, 14, 19, 24, 29]
        for colour, x0, x1 in zip(WORDMARK_COLOURS, edges, edges[1:]):
            canvas.fill(x0, 25, x1 - 1, 26, colour)
    else:
        centred_text(canvas, BIG, "Nv", baseline=13)
    return canvas


def enabled_icon(size):
    canvas = Canvas(size)
    if size >= 32:
        centred_text(canvas, SMALL, "Nuvik", baseline=9, gap=2, outline=BLACK)
        keyboard(canvas, top=14, rows=3, key=3, gap=1)
    else:
        centred_text(canvas, SMALL, "Nv", baseline=6, outline=BLACK)
        keyboard(canvas, top=8, rows=2, key=1, gap=1)
    return canvas


# Disabled: every colour goes dark grey; the keys stay a shade lighter so the
# keyboard keeps its shape.
DISABLED_COLOURS = {c: GREY for c in range(16) if c not in (BLACK, WHITE)}
DISABLED_COLOURS[WHITE] = SILVER


def disabled_icon(size):
    return enabled_icon(size).recolour(DISABLED_COLOURS)


ICONS = [
    ("nuvik", app_icon),
    ("enabled", enabled_icon),
    ("disabled", disabled_icon),
]
SIZES = (32, 16)


# ---- .ico -------------------------------------------------------------------

def dib(canvas):
    """One icon image: BITMAPINFOHEADER (height doubled for the mask), the
    palette, the colour rows then the mask rows, each bottom-up and padded
    to 4 bytes. Transparent pixels are black in the colour part, so drawing
    leaves the screen as it was."""
    size = canvas.size
    xor_stride = (size * 4 + 31) // 32 * 4
    and_stride = (size + 31) // 32 * 4
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0,
                         (xor_stride + and_stride) * size, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    xor_rows, and_rows = [], []
    for row in reversed(canvas.pixels):
        xor = bytearray(xor_stride)
        mask = bytearray(and_stride)
        for x, p in enumerate(row):
            if p is CLEAR:
                mask[x // 8] |= 0x80 >> (x % 8)
            else:
                xor[x // 2] |= p << (4 if x % 2 == 0 else 0)
        xor_rows.append(bytes(xor))
        and_rows.append(bytes(mask))
    return header + palette + b"".join(xor_rows) + b"".join(and_rows)


def ico(canvases):
    images = [dib(c) for c in canvases]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for canvas, image in zip(canvases, images):
        out += struct.pack("<BBBBHHII", canvas.size % 256, canvas.size % 256, 16, 0, 1, 4, len(image), offset)
        offset += len(image)
    return out + b"".join(images)


# ---- .png -------------------------------------------------------------------

def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def png(canvases, scale=PNG_SCALE, gap=8):
    """The images side by side, enlarged, transparent where the icon is."""
    width = sum(c.size * scale for c in canvases) + gap * (len(canvases) - 1)
    height = max(c.size for c in canvases) * scale
    rows = []
    for y in range(height):
        row = bytearray([0])  # filter: none
        for i, canvas in enumerate(canvases):
            if i:
                row += bytes(4 * gap)
            for x in range(canvas.size * scale):
                sy = y // scale
                p = canvas.pixels[sy][x // scale] if sy < canvas.size else CLEAR
                row += bytes(4) if p is CLEAR else bytes(PALETTE[p]) + b"\xff"
        rows.append(bytes(row))
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) +
            png_chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + png_chunk(b"IEND", b""))


def render_all():
    files = {}
    for name, draw in ICONS:
        canvases = [draw(size) for size in SIZES]
        files[name + ".ico"] = ico(canvases)
        files[name + ".png"] = png(canvases)
    return files


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    default_dir = os.path.normpath(os.path.join(here, "..", "..", "res"))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=default_dir, help="where to write the files")
    parser.add_argument("--check", action="store_true", help="only compare with the files in --out")
    args = parser.parse_args(argv)

    files = render_all()
    if args.check:
        stale = []
        for name, data in sorted(files.items()):
            path = os.path.join(args.out, name)
            try:
                with open(path, "rb") as f:
                    same = f.read() == data
            except OSError:
                same = False
            if not same:
                stale.append(path)
        for path in stale:
            print("icongen: out of date: " + path, file=sys.stderr)
        return 1 if stale else 0

    os.makedirs(args.out, exist_ok=True)
    for name, data in sorted(files.items()):
        with open(os.path.join(args.out, name), "wb") as f:
            f.write(data)
        print("icongen: wrote " + os.path.join(args.out, name))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
