#!/usr/bin/env python3
"""Writes the bitmap and PNG test images of tests/data.

Run from anywhere: python3 tests/data/make_bmp_png.py
The encoders are written here from the file formats themselves; only the
standard library's zlib (deflate) and struct are used. The output is the same
on every run (for a given zlib, whose level-9 output is stable in practice).
"""

import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


# ---- the picture ------------------------------------------------------------

def picture(x, y, w, h):
    """RGBA of one pixel: a diagonal gradient sky, a sun with a soft alpha
    edge, and striped hills."""
    fx, fy = x / max(w - 1, 1), y / max(h - 1, 1)
    r = int(40 + 150 * fx)
    g = int(90 + 120 * (1 - fy))
    b = int(200 - 80 * fx * fy)
    a = 255
    # the sun
    dx, dy = x - 0.7 * w, y - 0.3 * h
    dist = math.hypot(dx, dy)
    radius = 0.22 * min(w, h)
    if dist < radius:
        r, g, b = 250, 210, 40
    elif dist < radius + 2:
        r, g, b = 250, 180, 60
        a = 160
    # hills with stripes
    hill = 0.65 * h + 0.12 * h * math.sin(x * 6.0 / w)
    if y > hill:
        stripe = (x + y) // 3 % 2
        r, g, b, a = (30, 140, 50, 255) if stripe else (60, 170, 70, 255)
    return r, g, b, a


def pixels(w, h):
    return [[picture(x, y, w, h) for x in range(w)] for y in range(h)]


def quantize(rgb):
    """Index into a fixed 6x6x6 colour cube (216 colours)."""
    r, g, b = rgb[:3]
    return (r * 6 // 256) * 36 + (g * 6 // 256) * 6 + (b * 6 // 256)


def cube_palette():
    steps = [0, 51, 102, 153, 204, 255]
    return [(steps[i // 36], steps[i // 6 % 6], steps[i % 6]) for i in range(216)]


# ---- BMP --------------------------------------------------------------------

def bmp_file(info_header, palette_bytes, rows_bottom_up):
    pixel_data = b"".join(rows_bottom_up)
    offset = 14 + len(info_header) + len(palette_bytes)
    size = offset + len(pixel_data)
    file_header = struct.pack("<2sIHHI", b"BM", size, 0, 0, offset)
    return file_header + info_header + palette_bytes + pixel_data


def pad4(row):
    return row + b"\0" * (-len(row) % 4)


def bmp_8bit(img):
    h, w = len(img), len(img[0])
    palette = cube_palette() + [(0, 0, 0)] * 40
    palette_bytes = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    rows = [pad4(bytes(quantize(p) for p in img[y])) for y in reversed(range(h))]
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 8, 0, sum(map(len, rows)), 2835, 2835,
                       256, 0)
    return bmp_file(info, palette_bytes, rows)


def bmp_24bit(img):
    h, w = len(img), len(img[0])
    rows = [pad4(b"".join(struct.pack("<BBB", p[2], p[1], p[0]) for p in img[y]))
            for y in reversed(range(h))]
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, sum(map(len, rows)), 2835, 2835, 0, 0)
    return bmp_file(info, b"", rows)


def bmp_32bit(img):
    """32 bits per pixel with an alpha mask in a 108-byte (version 4) header,
    rows stored top-down (negative height)."""
    h, w = len(img), len(img[0])
    rows = [b"".join(struct.pack("<BBBB", p[2], p[1], p[0], p[3]) for p in img[y])
            for y in range(h)]
    info = struct.pack("<IiiHHIIiiII", 108, w, -h, 1, 32, 3, sum(map(len, rows)), 2835, 2835,
                       0, 0)
    info += struct.pack("<IIII", 0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000)
    info += b"BGRs" + b"\0" * 36 + struct.pack("<III", 0, 0, 0)
    assert len(info) == 108
    return bmp_file(info, b"", rows)


def bmp_core_24bit(img):
    """The smallest information header: 12 bytes, 16-bit dimensions."""
    h, w = len(img), len(img[0])
    rows = [pad4(b"".join(struct.pack("<BBB", p[2], p[1], p[0]) for p in img[y]))
            for y in reversed(range(h))]
    info = struct.pack("<IHHHH", 12, w, h, 1, 24)
    return bmp_file(info, b"", rows)


# ---- PNG --------------------------------------------------------------------

def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def filter_rows(rows, bpp):
    """Filters each row, cycling through the five filter types so that every
    one of them occurs."""
    out = bytearray()
    prior = bytes(len(rows[0])) if rows else b""
    for index, row in enumerate(rows):
        kind = index % 5
        out.append(kind)
        for i, value in enumerate(row):
            a = row[i - bpp] if i >= bpp else 0
            b = prior[i]
            c = prior[i - bpp] if i >= bpp else 0
            predictor = (0, a, b, (a + b) // 2, paeth(a, b, c))[kind]
            out.append((value - predictor) & 0xFF)
        prior = row
    return bytes(out)


def png_file(w, h, color_type, bit_depth, image_data, interlace=0, before_idat=(),
             after_idat=(), idat_pieces=1):
    ihdr = struct.pack(">IIBBBBB", w, h, bit_depth, color_type, 0, 0, interlace)
    out = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
    for kind, data in before_idat:
        out += chunk(kind, data)
    compressed = zlib.compress(image_data, 9)
    step = -(-len(compressed) // idat_pieces)
    for start in range(0, len(compressed), step):
        out += chunk(b"IDAT", compressed[start:start + step])
    for kind, data in after_idat:
        out += chunk(kind, data)
    return out + chunk(b"IEND", b"")


def png_palette(img):
    """Colour type 3 at 8 bits, with PLTE and a tRNS alpha entry."""
    h, w = len(img), len(img[0])
    palette = cube_palette()
    plte = b"".join(struct.pack("BBB", *c) for c in palette)
    rows = [bytes(quantize(p) for p in img[y]) for y in range(h)]
    return png_file(w, h, 3, 8, filter_rows(rows, 1),
                    before_idat=[(b"PLTE", plte), (b"tRNS", b"\xff" * 215 + b"\x80")])


ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2),
         (0, 1, 1, 2)]


def png_interlaced(img):
    """Truecolour RGB, Adam7: seven reduced images, each filtered on its own."""
    h, w = len(img), len(img[0])
    data = b""
    for x0, y0, dx, dy in ADAM7:
        rows = []
        for y in range(y0, h, dy):
            row = b"".join(bytes(img[y][x][:3]) for x in range(x0, w, dx))
            if row:
                rows.append(row)
        if rows:
            data += filter_rows(rows, 3)
    return png_file(w, h, 2, 8, data, interlace=1,
                    before_idat=[(b"gAMA", struct.pack(">I", 45455))])


def png_rgba_text(img):
    """Truecolour with alpha, a tEXt chunk before and a tIME chunk after the
    image data, which is split over three IDAT chunks."""
    h, w = len(img), len(img[0])
    rows = [b"".join(bytes(p) for p in img[y]) for y in range(h)]
    text = b"Comment\0Made for the scanner tests: a sun over striped hills."
    return png_file(w, h, 6, 8, filter_rows(rows, 4),
                    before_idat=[(b"tEXt", text)],
                    after_idat=[(b"tIME", struct.pack(">HBBBBB", 2014, 1, 1, 16, 28, 0))],
                    idat_pieces=3)


def main():
    outputs = {
        "bmp_8bit_palette.bmp": bmp_8bit(pixels(37, 23)),
        "bmp_24bit.bmp": bmp_24bit(pixels(29, 19)),
        "bmp_32bit_alpha.bmp": bmp_32bit(pixels(24, 16)),
        "bmp_core_24bit.bmp": bmp_core_24bit(pixels(13, 9)),
        "png_palette.png": png_palette(pixels(40, 30)),
        "png_adam7.png": png_interlaced(pixels(33, 21)),
        "png_rgba_text.png": png_rgba_text(pixels(32, 24)),
    }
    for name, data in outputs.items():
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)
        print(f"{name}: {len(data)} bytes")


if __name__ == "__main__":
    main()
