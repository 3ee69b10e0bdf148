#!/usr/bin/python3
"""Checks the gallery's screenshots: every page was captured at the client size
of the window for its DPI, and the frame's fixed parts have their colours.

    check_shots.py FOLDER WIDTH HEIGHT
"""
import struct
import sys
import zlib
from pathlib import Path

EXPECTED = [
    "welcome-checking", "welcome-failed", "welcome-proxy-sign-in", "welcome-figures",
    "location-enough", "location-too-little", "location-launcher-only", "ready",
    "progress-server", "progress-launcher", "progress-game-download", "progress-game-check",
    "progress-game-unpack", "progress-linking", "progress-shortcuts", "progress-launcher-only",
    "progress-failed", "progress-proxy-sign-in", "finish-game", "finish-launcher-only",
    "uninstall", "uninstall-not-installed", "removing", "removing-failed", "removed",
    "location-keyboard", "location-japanese", "ready-japanese",
    "high-contrast-welcome", "high-contrast-location", "high-contrast-progress", "high-contrast-failed",
]


def read_png(path):
    """Width, height and rows of (r, g, b) tuples of an 8-bit RGB or RGBA PNG."""
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", f"{path.name}: not a PNG"
    pos, idat, width = 8, b"", 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            assert depth == 8 and colour in (2, 6), f"{path.name}: unexpected PNG format"
            channels = 3 if colour == 2 else 4
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, prev = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b = prev[i]
            c = prev[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append([tuple(line[x * channels:x * channels + 3]) for x in range(width)])
        prev = line
    return width, height, rows


def near(actual, expected, tolerance):
    return all(abs(a - e) <= tolerance for a, e in zip(actual, expected))


def main():
    folder, width, height = Path(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    scale = width / 640.0
    panel_right = int(178 * scale)
    bar_top = height - 58 * scale
    # Pixels just inside the side panel's corners, on the page, and in the bar.
    probes = [
        ("panel top left", (2, 2), (238, 0, 238), 12),
        ("panel top right", (panel_right - 3, 2), (20, 0, 250), 12),
        ("panel bottom left", (2, int(bar_top) - 3), (8, 0, 170), 12),
        ("panel bottom right", (panel_right - 3, int(bar_top) - 3), (120, 0, 190), 12),
        ("page", (width - int(20 * scale), int(12 * scale)), (255, 255, 255), 0),
        ("page beside the bar", (width - int(20 * scale), int(bar_top) - int(8 * scale)), (255, 255, 255), 0),
        ("button bar", (int(10 * scale), height - int(10 * scale)), (240, 240, 240), 0),
    ]
    # In high contrast the system's colours ("High Contrast Black") stand in:
    # black window and panel, a white line between them, a black bar.
    contrast_probes = [
        ("panel", (2, 2), (0, 0, 0), 0),
        ("panel edge", (panel_right - 1, int(60 * scale)), (255, 255, 255), 30),
        ("page", (width - int(20 * scale), int(12 * scale)), (0, 0, 0), 0),
        ("button bar", (int(10 * scale), height - int(10 * scale)), (0, 0, 0), 0),
    ]
    errors = []
    for name in EXPECTED:
        path = folder / f"{name}.png"
        if not path.exists():
            errors.append(f"{name}: missing")
            continue
        w, h, rows = read_png(path)
        if (w, h) != (width, height):
            errors.append(f"{name}: {w}x{h}, expected {width}x{height}")
            continue
        high_contrast = name.startswith("high-contrast")
        for what, (x, y), colour, tolerance in contrast_probes if high_contrast else probes:
            got = rows[y][x]
            if not near(got, colour, tolerance):
                errors.append(f"{name}: {what} at ({x}, {y}) is {got}, expected about {colour}")
        # The bar's top edge: a one-pixel grey line with a white one under it,
        # on a row that depends on how the bar top rounds.
        x = int(300 * scale)
        if high_contrast:
            continue
        column = [rows[y][x] for y in range(int(bar_top) - 1, int(bar_top) + 3)]
        if not any(near(c, (160, 160, 160), 30) for c in column):
            errors.append(f"{name}: no grey bar edge near row {int(bar_top)}: {column}")
    for e in errors:
        print(e)
    print(f"{len(EXPECTED)} screenshots in {folder}: {'ok' if not errors else 'FAILED'}")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
