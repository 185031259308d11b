#!/usr/bin/env python3
"""Draws the installer's icon (resource 300) and writes resources/app.ico.

A 32x32 and a 16x16 image, 32-bit BGRA: a blue rounded square with a white
downward arrow over a bar, the usual picture for "download and install".
Run it again after changing the drawing; the .ico is committed.
"""
import os
import struct


def pixel(x, y, size):
    s = size / 32.0
    # Rounded square background with a soft edge.
    r = 5 * s
    lo, hi = 1 * s, size - 1 * s
    cx = min(max(x + 0.5, lo + r), hi - r)
    cy = min(max(y + 0.5, lo + r), hi - r)
    d = ((x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2) ** 0.5
    if d > r:
        return (0, 0, 0, 0)
    top = (52, 120, 220)
    bottom = (20, 70, 160)
    t = y / float(size - 1)
    bg = tuple(int(top[i] * (1 - t) + bottom[i] * t) for i in range(3))
    white = (255, 255, 255)
    X, Y = (x + 0.5) / s, (y + 0.5) / s
    # Arrow shaft, arrow head, and the bar under it.
    if 13 <= X <= 19 and 6 <= Y <= 16:
        return white + (255,)
    if 16 <= Y <= 23 and abs(X - 16) <= (23 - Y) * 1.15:
        return white + (255,)
    if 7 <= X <= 25 and 24.5 <= Y <= 27:
        return white + (255,)
    return bg + (255,)


def image(size):
    # BITMAPINFOHEADER with doubled height (XOR + AND masks), bottom-up rows.
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = bytearray()
    for y in range(size - 1, -1, -1):
        for x in range(size):
            r, g, b, a = pixel(x, y, size)
            xor += bytes((b, g, r, a))
    row = ((size + 31) // 32) * 4
    mask = bytearray()
    for y in range(size - 1, -1, -1):
        bits = bytearray(row)
        for x in range(size):
            if pixel(x, y, size)[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(xor) + bytes(mask)


def main():
    sizes = [32, 16]
    images = [image(n) for n in sizes]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', n, n, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'app.ico')
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main()
