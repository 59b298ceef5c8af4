#!/usr/bin/env python3
"""Writes launcher.ico, the launcher's file icon: a game cartridge drawn in
a few flat colours, at 16x16 and 32x32 pixels, 32 bits per pixel.

Usage: make_icon.py [OUTPUT]   (default: launcher.ico next to this script)
"""
import os
import struct
import sys

TRANSPARENT = (0, 0, 0, 0)
SHELL = (96, 96, 104, 255)       # cartridge body
EDGE = (40, 40, 48, 255)         # outline
LABEL = (228, 70, 52, 255)       # front label
STRIPE = (250, 240, 210, 255)    # stripes on the label
PINS = (212, 176, 64, 255)       # contacts at the bottom


def draw(size):
    """Rows of RGBA pixels, top row first, for a size x size cartridge."""
    u = size / 32.0  # the design is laid out on a 32-pixel grid

    def box(x0, y0, x1, y1):
        return lambda x, y: x0 * u <= x < x1 * u and y0 * u <= y < y1 * u

    body = box(4, 2, 28, 26)
    inner = box(5, 3, 27, 25)
    notch = box(4, 22, 7, 26)          # cut corners at the bottom of the body
    notch2 = box(25, 22, 28, 26)
    label = box(8, 6, 24, 18)
    stripes = [box(10, 9, 22, 10), box(10, 12, 22, 13), box(10, 15, 18, 16)]
    board = box(7, 26, 25, 30)
    pin_cols = [box(8 + 3 * i, 27, 10 + 3 * i, 30) for i in range(6)]

    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            px = TRANSPARENT
            if body(x, y) and not notch(x, y) and not notch2(x, y):
                px = SHELL if inner(x, y) else EDGE
                if label(x, y):
                    px = STRIPE if any(s(x, y) for s in stripes) else LABEL
            elif board(x, y):
                px = PINS if any(p(x, y) for p in pin_cols) else EDGE
            row.append(px)
        rows.append(row)
    return rows


def dib(size):
    """One icon image: BITMAPINFOHEADER, BGRA pixels bottom-up, AND mask."""
    rows = draw(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pixels + bytes(mask)


def ico(sizes):
    images = [dib(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, img in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    return out + b"".join(images)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "launcher.ico")
    with open(target, "wb") as f:
        f.write(ico([16, 32]))


if __name__ == "__main__":
    main()
