#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Draws the demo projects' logo (a white map pin on a green rounded square, 96x96 PNG) and
writes it as the C++ header server/sandbox/demo_logo.hpp. Standard library only.

    scripts/make_demo_logo.py [OUTPUT]
"""
import math
import struct
import sys
import zlib
from pathlib import Path

SIZE = 96
SAMPLES = 4  # per axis: 16 samples per pixel smooth the edges
TOP = (0x13, 0xA3, 0x7A)     # the square's colour at the top ...
BOTTOM = (0x0A, 0x7E, 0x5C)  # ... and at the bottom
WHITE = (0xFF, 0xFF, 0xFF)


def in_rounded_square(x, y, radius=22.0):
    cx = min(max(x, radius), SIZE - radius)
    cy = min(max(y, radius), SIZE - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def in_pin(x, y):
    """The pin: a circle whose two tangents meet at the tip below it, less a round hole."""
    cx, cy, r = 48.0, 40.0, 22.0
    tip = (48.0, 80.0)
    if (x - cx) ** 2 + (y - cy) ** 2 <= 9.0 ** 2:
        return False
    if (x - cx) ** 2 + (y - cy) ** 2 <= r ** 2:
        return True
    # Between the two tangents from the tip to the circle, above the tip.
    d = tip[1] - cy
    half = math.asin(r / d)
    angle = math.atan2(abs(x - tip[0]), tip[1] - y)
    return cy <= y <= tip[1] and angle <= half


def in_road(x, y):
    """A short road under the pin's tip: a flat ellipse ring."""
    e = ((x - 48.0) / 20.0) ** 2 + ((y - 80.0) / 5.0) ** 2
    return 0.55 <= e <= 1.0 and y >= 80.0


def pixel(px, py):
    square = pin = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = px + (sx + 0.5) / SAMPLES
            y = py + (sy + 0.5) / SAMPLES
            if in_rounded_square(x, y):
                square += 1
                if in_pin(x, y) or in_road(x, y):
                    pin += 1
    n = SAMPLES * SAMPLES
    if square == 0:
        return (0, 0, 0, 0)
    t = py / (SIZE - 1)
    base = [round(a + (b - a) * t) for a, b in zip(TOP, BOTTOM)]
    share = pin / square
    rgb = [round(c + (w - c) * share) for c, w in zip(base, WHITE)]
    return (*rgb, round(255 * square / n))


def png(width, height, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + bytes(v for p in row for v in p) for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) +
            chunk(b"IEND", b""))


def header(data):
    lines = []
    for at in range(0, len(data), 16):
        lines.append("    " + ", ".join(f"0x{b:02X}" for b in data[at:at + 16]) + ",")
    return f"""// The demo projects' logo: a white map pin on a green rounded square, 96x96 PNG ({len(data)} bytes).
// Made by scripts/make_demo_logo.py, which draws it; run it again rather than editing the bytes.
#pragma once

namespace zelk::sandbox {{

inline constexpr unsigned char kDemoLogoPNG[] = {{
{chr(10).join(lines)}
}};

}}  // namespace zelk::sandbox
"""


def main():
    root = Path(__file__).resolve().parent.parent
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else root / "server" / "sandbox" / "demo_logo.hpp"
    rows = [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]
    data = png(SIZE, SIZE, rows)
    out.write_text(header(data))
    if len(sys.argv) > 2:
        Path(sys.argv[2]).write_bytes(data)


if __name__ == "__main__":
    main()
