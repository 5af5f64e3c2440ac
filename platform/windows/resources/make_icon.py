#!/usr/bin/env python3
"""Draws the application icon and writes it as quarrix.ico.

The picture: a small landscape (sky, sun, two hills) on a card, with a
magnifying glass over its lower right corner -- an image being dug out of
something bigger. Each size is rendered from the same vector description with
4x4 supersampling, so the small sizes stay clean. Standard library only; the
output is byte-for-byte reproducible.

    python3 make_icon.py [output.ico]
"""

import math
import struct
import sys

SIZES = (16, 24, 32, 48, 64)
SUPERSAMPLE = 4

SKY = (0x4A, 0x90, 0xD9)
SUN = (0xFF, 0xC8, 0x3A)
HILL_FAR = (0x3C, 0x8D, 0x4E)
HILL_NEAR = (0x2A, 0x6B, 0x38)
CARD_EDGE = (0x2B, 0x2B, 0x33)
GLASS_RIM = (0x30, 0x30, 0x38)
GLASS = (0xE8, 0xF4, 0xFF)
HANDLE = (0x8A, 0x5A, 0x2E)


def inside_rounded_rect(x, y, x0, y0, x1, y1, r):
    if x < x0 or x > x1 or y < y0 or y > y1:
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def distance_to_segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = min(max(t, 0.0), 1.0)
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def sample(x, y):
    """Colour (r, g, b, a) at a point of the unit square, y pointing down."""
    # Magnifying glass first: it lies on top of the card.
    gx, gy, gr = 0.66, 0.64, 0.21
    d = math.hypot(x - gx, y - gy)
    if distance_to_segment(x, y, 0.81, 0.79, 0.95, 0.93) < 0.06:
        return HANDLE + (255,)
    if d <= gr:
        if d >= gr - 0.055:
            return GLASS_RIM + (255,)
        # The lens shows the landscape enlarged and lightened.
        lx, ly = gx + (x - gx) * 0.6, gy + (y - gy) * 0.6
        r, g, b, a = landscape(lx, ly)
        if a == 0:
            return GLASS + (255,)
        return (
            (r + GLASS[0]) // 2,
            (g + GLASS[1]) // 2,
            (b + GLASS[2]) // 2,
            255,
        )
    return landscape(x, y)


def landscape(x, y):
    if not inside_rounded_rect(x, y, 0.04, 0.10, 0.90, 0.84, 0.08):
        return (0, 0, 0, 0)
    if not inside_rounded_rect(x, y, 0.085, 0.145, 0.855, 0.795, 0.05):
        return CARD_EDGE + (255,)
    if math.hypot(x - 0.30, y - 0.32) < 0.09:
        return SUN + (255,)
    near = 0.80 - 0.22 * math.exp(-((x - 0.62) / 0.20) ** 2)
    far = 0.72 - 0.26 * math.exp(-((x - 0.32) / 0.17) ** 2)
    if y > near:
        return HILL_NEAR + (255,)
    if y > far:
        return HILL_FAR + (255,)
    return SKY + (255,)


def render(size):
    """Rows of (b, g, r, a) bytes, bottom row first as the icon format wants."""
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = bytearray()
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(n):
                for sx in range(n):
                    r, g, b, a = sample((px + (sx + 0.5) / n) / size,
                                        (py + (sy + 0.5) / n) / size)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            alpha = acc[3] // (n * n)
            if acc[3]:
                r, g, b = (acc[i] // acc[3] for i in range(3))
            else:
                r = g = b = 0
            row += bytes((b, g, r, alpha))
        rows.append(bytes(row))
    rows.reverse()
    return rows


def icon_image(size):
    """One image of the icon: a 32-bit DIB with its 1-bit AND mask."""
    rows = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         size * size * 4, 0, 0, 0, 0)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in rows:
        bits = bytearray(mask_stride)
        for px in range(size):
            if row[px * 4 + 3] == 0:
                bits[px // 8] |= 0x80 >> (px % 8)
        mask += bits
    return header + b"".join(rows) + bytes(mask)


def write_ico(path):
    images = [icon_image(size) for size in SIZES]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, image in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32,
                           len(image), offset)
        offset += len(image)
    for image in images:
        out += image
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    write_ico(sys.argv[1] if len(sys.argv) > 1 else "quarrix.ico")
