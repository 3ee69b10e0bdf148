#!/usr/bin/python3
"""Draws the setup's icon: a rounded square in the side panel's gradient with a
white ring, at the sizes Windows asks for. Writes src/app/ostrel.ico.
Standard library only; run it again after changing the drawing."""
import math
import os
import struct
import sys
import zlib

CORNERS = ((238, 0, 238), (20, 0, 250), (120, 0, 190), (8, 0, 170))  # TL, TR, BR, BL


def pixel(x, y, n):
    # Supersample 4x4 for smooth edges.
    acc = [0.0, 0.0, 0.0, 0.0]
    for sy in range(4):
        for sx in range(4):
            u = (x + (sx + 0.5) / 4) / n
            v = (y + (sy + 0.5) / 4) / n
            r = 0.18  # corner radius of the square
            dx = max(r - u, 0, u - (1 - r))
            dy = max(r - v, 0, v - (1 - r))
            if dx * dx + dy * dy > r * r:
                continue
            tl, tr, br, bl = CORNERS
            col = [tl[i] * (1 - u) * (1 - v) + tr[i] * u * (1 - v) + br[i] * u * v + bl[i] * (1 - u) * v for i in range(3)]
            d = math.hypot(u - 0.5, v - 0.5)
            if 0.20 <= d <= 0.32:
                col = [255, 255, 255]
            acc[0] += col[0]; acc[1] += col[1]; acc[2] += col[2]; acc[3] += 255
    a = acc[3] / 16
    if a == 0:
        return (0, 0, 0, 0)
    return tuple(int(c / (acc[3] / 255)) for c in acc[:3]) + (int(a),)


def png(n):
    rows = b""
    for y in range(n):
        rows += b"\0" + b"".join(bytes(pixel(x, y, n)) for x in range(n))
    def chunk(t, d):
        return struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d) & 0xFFFFFFFF)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", n, n, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def main():
    sizes = [16, 24, 32, 48, 64, 256]
    images = [png(n) for n in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for n, img in zip(sizes, images):
        out += struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    out += b"".join(images)
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "src", "app", "ostrel.ico")
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
