#!/usr/bin/env python3
"""Draws Pikerosu.ico: a globe with a name tag, 32x32 and 16x16, 16 colours.

Run it to rebuild the icon: python3 res/make-icon.py res/Pikerosu.ico
"""
import math
import struct
import sys

# The standard 16-colour palette (index: (r, g, b)).
PALETTE = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
           (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
           (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
BLACK, NAVY, SILVER, YELLOW, BLUE, CYAN, WHITE, RED = 0, 4, 7, 11, 12, 14, 15, 9
CLEAR = None


def draw(n):
    """Returns n rows of n palette indices (None where transparent)."""
    px = [[CLEAR] * n for _ in range(n)]
    c = (n - 1) / 2.0
    r = n * 0.44
    for y in range(n):
        for x in range(n):
            dx, dy = x - c, y - c
            d = math.hypot(dx, dy)
            if d > r + 0.5:
                continue
            if d > r - 0.8:
                px[y][x] = NAVY
                continue
            # Shaded sea with a lighter upper left.
            px[y][x] = CYAN if dx + dy < -r * 0.6 else BLUE
            # Meridians (ellipses) and parallels.
            lat = dy / r
            width = math.sqrt(max(0.0, 1 - lat * lat))
            for k in (0.0, 0.55):
                if width > 0 and abs(abs(dx / (r * width)) - k) < (0.9 / (r * width) if r * width else 1):
                    px[y][x] = WHITE
            for k in (-0.5, 0.0, 0.5):
                if abs(lat - k) < 0.9 / r:
                    px[y][x] = WHITE
    # A yellow name tag ("UA") over the lower right of the globe.
    t = n // 2
    for y in range(t, n - n // 16):
        for x in range(t - n // 8, n - 1):
            edge = y in (t, n - n // 16 - 1) or x in (t - n // 8, n - 2)
            px[y][x] = BLACK if edge else YELLOW
    if n >= 32:
        # "UA" in 3x5 strokes.
        glyphs = {"U": ["X.X", "X.X", "X.X", "X.X", "XXX"], "A": [".X.", "X.X", "XXX", "X.X", "X.X"]}
        ox, oy = t - n // 8 + 3, t + 3
        for i, ch in enumerate("UA"):
            for gy, row in enumerate(glyphs[ch]):
                for gx, cell in enumerate(row):
                    if cell == "X":
                        for sy in range(2):
                            px[oy + gy * 2 + sy][ox + i * 8 + gx * 2] = RED
                            px[oy + gy * 2 + sy][ox + i * 8 + gx * 2 + 1] = RED
    else:
        for y in range(t + 2, n - 3):
            px[y][t] = RED
            px[y][t + 3] = RED
    return px


def image(n):
    px = draw(n)
    header = struct.pack("<IiiHHIIiiII", 40, n, n * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in PALETTE)
    xor = b""
    mask = b""
    for row in reversed(px):
        nibbles = [0 if p is None else p for p in row]
        line = bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, n, 2))
        xor += line + b"\0" * (-len(line) % 4)
        bits = 0
        mline = b""
        for i, p in enumerate(row):
            bits = (bits << 1) | (1 if p is None else 0)
            if i % 8 == 7:
                mline += bytes([bits])
                bits = 0
        mask += mline + b"\0" * (-len(mline) % 4)
    return header + palette + xor + mask


def main(path):
    sizes = [32, 16]
    images = [image(n) for n in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", n, n, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "Pikerosu.ico")
