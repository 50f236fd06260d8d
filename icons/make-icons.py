#!/usr/bin/env python3
"""Draws the utility's icon and writes every file made from it.

The icon is a 16-colour picture of a pulse generator: a grey case with a screen that shows a pulse train, an
output lamp and an output connector. It is drawn twice, on a 32 x 32 and on a 16 x 16 grid, with the standard
16-colour palette, and the 32 x 32 drawing is also written as a scalable SVG.

    icons/make-icons.py          rewrites the files below
    icons/make-icons.py --check  exits 1 when a file differs from what the drawing gives

Written files (relative to this directory):
    tarvo-pulse-generator.ico                    both images, 4 bits per pixel, for the window and Windows
    hicolor/16x16/apps/APP_ID.png                the hicolor theme's images
    hicolor/32x32/apps/APP_ID.png
    hicolor/scalable/apps/APP_ID.svg

Python 3 standard library only.
"""

import struct
import sys
import zlib
from pathlib import Path

APP_ID = "example.tarvo.PulseGenerator"
HERE = Path(__file__).resolve().parent

# The standard 16-colour palette, in its usual index order.
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, MAROON, GREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER = range(8)
GREY, RED, LIME, YELLOW, BLUE, FUCHSIA, AQUA, WHITE = range(8, 16)


def hexcolour(index):
    return "#%02x%02x%02x" % PALETTE[index]


class Canvas:
    """A square grid of palette indices; None is transparent."""

    def __init__(self, size):
        self.size = size
        self.px = [[None] * size for _ in range(size)]

    def rect(self, x0, y0, x1, y1, colour):
        """Fills the pixels from (x0, y0) to (x1, y1), both corners included."""
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.px[y][x] = colour

    def dot(self, x, y, colour):
        self.px[y][x] = colour

    def polyline(self, points, colour):
        """Axis-parallel segments through the given pixel centres."""
        for (xa, ya), (xb, yb) in zip(points, points[1:]):
            assert xa == xb or ya == yb, "segments run across or down only"
            self.rect(min(xa, xb), min(ya, yb), max(xa, xb), max(ya, yb), colour)


# --- The 32 x 32 drawing, also the layout of the SVG ---

CASE = (1, 5, 30, 26)        # outline of the case, corners included
SCREEN = (5, 9, 20, 21)      # the black screen inside its bevel
WAVE = [(6, 18), (8, 18), (8, 12), (12, 12), (12, 18), (14, 18), (14, 12), (18, 12), (18, 18), (19, 18)]
LAMP = (24, 9, 26, 10)
CONNECTOR = (23, 15, 28, 20)


def bevel(c, x0, y0, x1, y1, light, dark):
    """A one-pixel raised edge: light along the top and left, dark along the bottom and right."""
    c.rect(x0, y0, x1 - 1, y0, light)
    c.rect(x0, y0, x0, y1 - 1, light)
    c.rect(x0 + 1, y1, x1, y1, dark)
    c.rect(x1, y0 + 1, x1, y1, dark)


def draw32():
    c = Canvas(32)
    x0, y0, x1, y1 = CASE
    c.rect(x0 + 1, y0, x1 - 1, y1, BLACK)  # outline with cut corners
    c.rect(x0, y0 + 1, x1, y1 - 1, BLACK)
    c.rect(x0 + 1, y0 + 1, x1 - 1, y1 - 1, SILVER)
    bevel(c, x0 + 1, y0 + 1, x1 - 1, y1 - 1, WHITE, GREY)

    sx0, sy0, sx1, sy1 = SCREEN
    bevel(c, sx0 - 1, sy0 - 1, sx1 + 1, sy1 + 1, GREY, WHITE)  # sunk into the case
    c.rect(sx0, sy0, sx1, sy1, BLACK)
    for x in range(sx0 + 2, sx1, 3):  # the screen's centre line, dotted
        c.dot(x, (sy0 + sy1) // 2, GREEN)
    c.polyline(WAVE, LIME)

    lx0, ly0, lx1, ly1 = LAMP
    c.rect(lx0, ly0, lx1, ly1, RED)
    c.rect(lx0, ly1 + 1, lx1, ly1 + 1, MAROON)

    kx0, ky0, kx1, ky1 = CONNECTOR  # a round connector: black rim, grey shell, black centre pin
    c.rect(kx0 + 1, ky0, kx1 - 1, ky1, BLACK)
    c.rect(kx0, ky0 + 1, kx1, ky1 - 1, BLACK)
    c.rect(kx0 + 1, ky0 + 1, kx1 - 1, ky1 - 1, GREY)
    c.dot(kx0 + 1, ky0 + 1, WHITE)
    c.rect(kx0 + 2, ky0 + 2, kx1 - 2, ky1 - 2, BLACK)
    c.dot(kx0 + 2, ky0 + 2, YELLOW)
    return c


def draw16():
    c = Canvas(16)
    c.rect(1, 3, 14, 13, BLACK)
    c.rect(0, 4, 15, 12, BLACK)
    c.rect(1, 4, 14, 12, SILVER)
    bevel(c, 1, 4, 14, 12, WHITE, GREY)
    c.rect(2, 5, 10, 11, BLACK)
    c.polyline([(2, 10), (3, 10), (3, 7), (5, 7), (5, 10), (7, 10), (7, 7), (9, 7), (9, 10), (10, 10)], LIME)
    c.rect(12, 5, 13, 5, RED)
    c.rect(11, 8, 13, 10, BLACK)
    c.dot(11, 8, GREY)
    c.dot(13, 8, GREY)
    c.dot(11, 10, GREY)
    c.dot(13, 10, GREY)
    c.dot(12, 9, YELLOW)
    return c


# --- Writers ---

def ico(canvases):
    """A Windows icon: one 4-bit image with its AND mask per canvas, largest first."""
    images = []
    for c in canvases:
        n = c.size
        xor_row = ((n * 4 + 31) // 32) * 4
        and_row = ((n + 31) // 32) * 4
        header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 4, 0, (xor_row + and_row) * n, 0, 0, 16, 0)
        palette = b"".join(bytes((b, g, r, 0)) for r, g, b in PALETTE)
        xor, mask = bytearray(), bytearray()
        for y in reversed(range(n)):  # bottom-up rows
            row = [c.px[y][x] for x in range(n)]
            nibbles = [0 if p is None else p for p in row]
            line = bytearray((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, n, 2))
            xor += line + bytes(xor_row - len(line))
            bits = bytearray(and_row)
            for x, p in enumerate(row):
                if p is None:  # transparent: the screen shows through
                    bits[x // 8] |= 0x80 >> (x % 8)
            mask += bits
        images.append((n, header + palette + bytes(xor) + bytes(mask)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, data in images:
        out += struct.pack("<BBBBHHII", n % 256, n % 256, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def png(c):
    """An 8-bit RGBA PNG of the canvas."""
    raw = bytearray()
    for row in c.px:
        raw.append(0)  # filter: none
        for p in row:
            raw += bytes((0, 0, 0, 0)) if p is None else bytes(PALETTE[p] + (255,))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    ihdr = struct.pack(">IIBBBBB", c.size, c.size, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b"")


def svg():
    """The 32 x 32 drawing in vector form: the same layout, with rounded corners and a round connector."""
    x0, y0, x1, y1 = CASE
    sx0, sy0, sx1, sy1 = SCREEN
    lx0, ly0, lx1, ly1 = LAMP
    kx0, ky0, kx1, ky1 = CONNECTOR
    kcx, kcy = (kx0 + kx1 + 1) / 2, (ky0 + ky1 + 1) / 2
    wave = " ".join("%g,%g" % (x + 0.5, y + 0.5) for x, y in WAVE)
    midline = (sy0 + sy1) // 2 + 0.5
    return f"""<?xml version="1.0" encoding="UTF-8"?>
<!-- Generated by icons/make-icons.py: edit the drawing there. -->
<svg xmlns="http://www.w3.org/2000/svg" width="32" height="32" viewBox="0 0 32 32">
  <title>Tarvo Pulse Generator</title>
  <rect x="{x0 + 0.5}" y="{y0 + 0.5}" width="{x1 - x0}" height="{y1 - y0}" rx="1.5"
        fill="{hexcolour(SILVER)}" stroke="{hexcolour(BLACK)}" stroke-width="1"/>
  <path d="M{x0 + 1.5},{y1 - 1} V{y0 + 1.5} H{x1 - 1}" fill="none" stroke="{hexcolour(WHITE)}" stroke-width="1"/>
  <path d="M{x0 + 2},{y1 - 0.5} H{x1 - 0.5} V{y0 + 2}" fill="none" stroke="{hexcolour(GREY)}" stroke-width="1"/>
  <rect x="{sx0 - 0.5}" y="{sy0 - 0.5}" width="{sx1 - sx0 + 2}" height="{sy1 - sy0 + 2}"
        fill="{hexcolour(BLACK)}" stroke="{hexcolour(GREY)}" stroke-width="1"/>
  <path d="M{sx0 - 0.5},{sy1 + 1.5} H{sx1 + 1.5} V{sy0 - 0.5}" fill="none" stroke="{hexcolour(WHITE)}" stroke-width="1"/>
  <line x1="{sx0 + 1.5}" y1="{midline}" x2="{sx1 + 0.5}" y2="{midline}" stroke="{hexcolour(GREEN)}"
        stroke-width="0.6" stroke-dasharray="0.6,2.4"/>
  <polyline points="{wave}" fill="none" stroke="{hexcolour(LIME)}" stroke-width="1.2"
            stroke-linejoin="miter" stroke-linecap="square"/>
  <rect x="{lx0}" y="{ly0}" width="{lx1 - lx0 + 1}" height="{ly1 - ly0 + 1}" rx="0.6" fill="{hexcolour(RED)}"/>
  <rect x="{lx0}" y="{ly1 + 1}" width="{lx1 - lx0 + 1}" height="0.8" fill="{hexcolour(MAROON)}"/>
  <circle cx="{kcx}" cy="{kcy}" r="{(kx1 - kx0) / 2}" fill="{hexcolour(GREY)}" stroke="{hexcolour(BLACK)}" stroke-width="1"/>
  <circle cx="{kcx}" cy="{kcy}" r="1.1" fill="{hexcolour(BLACK)}"/>
  <circle cx="{kcx - 0.4}" cy="{kcy - 0.4}" r="0.4" fill="{hexcolour(YELLOW)}"/>
</svg>
"""


def outputs():
    big, small = draw32(), draw16()
    return {
        "tarvo-pulse-generator.ico": ico([big, small]),
        f"hicolor/16x16/apps/{APP_ID}.png": png(small),
        f"hicolor/32x32/apps/{APP_ID}.png": png(big),
        f"hicolor/scalable/apps/{APP_ID}.svg": svg().encode(),
    }


def main(argv):
    check = argv[1:] == ["--check"]
    if argv[1:] and not check:
        print(__doc__, file=sys.stderr)
        return 2
    stale = []
    for name, data in outputs().items():
        path = HERE / name
        if check:
            if not path.is_file() or path.read_bytes() != data:
                stale.append(name)
        else:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data)
    for name in stale:
        print(f"icons/{name} differs from the drawing in icons/make-icons.py: run icons/make-icons.py",
              file=sys.stderr)
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
