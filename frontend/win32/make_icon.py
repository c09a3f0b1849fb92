#!/usr/bin/env python3
"""Writes the program icon wendrovix.ico: the disc with a hole that the Qt dialog draws
(an outlined light-blue disc, 28 of 32 pixels wide, and a pale centre of 8), in 32 x 32 and
16 x 16, 32-bit with alpha, anti-aliased by 8 x 8 supersampling. Usage: make_icon.py OUT"""
import struct
import sys

OUTLINE = (40, 60, 110)
DISC = (150, 180, 230)
HOLE = (230, 240, 255)
PEN = 1.5  # outline width in pixels of the 32-pixel drawing


def colour_at(x, y):
    """Returns the RGBA colour of one point of the 32-pixel drawing, or None outside."""
    d_outer = ((x - 16) ** 2 + (y - 16) ** 2) ** 0.5
    if d_outer > 14 + PEN / 2:
        return None
    if d_outer > 14 - PEN / 2:
        return OUTLINE
    if d_outer > 4 + PEN / 2:
        return DISC
    if d_outer > 4 - PEN / 2:
        return OUTLINE
    return HOLE


def render(size, samples=8):
    """Returns size x size premultiplication-free RGBA pixels, top row first."""
    scale = 32.0 / size
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc, hits = [0, 0, 0], 0
            for sy in range(samples):
                for sx in range(samples):
                    c = colour_at((px + (sx + 0.5) / samples) * scale,
                                  (py + (sy + 0.5) / samples) * scale)
                    if c:
                        hits += 1
                        acc = [a + v for a, v in zip(acc, c)]
            n = samples * samples
            row.append(tuple(a // hits for a in acc) + (255 * hits // n,) if hits else (0, 0, 0, 0))
        rows.append(row)
    return rows


def bmp_entry(rows):
    """Returns an icon image: BITMAPINFOHEADER, BGRA rows bottom-up, and the AND mask."""
    size = len(rows)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b''.join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_row = ((size + 31) // 32) * 4
    mask = b''
    for row in reversed(rows):
        bits = 0
        for i, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits |= 1 << (mask_row * 8 - 1 - i)
        mask += bits.to_bytes(mask_row, 'big')
    return header + pixels + mask


def main():
    images = [bmp_entry(render(s)) for s in (32, 16)]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip((32, 16), images):
        out += struct.pack('<BBBBHHII', size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(sys.argv[1], 'wb') as f:
        f.write(out + b''.join(images))


if __name__ == '__main__':
    main()
