#!/usr/bin/env python3
"""Writes the JPEG test images of tests/data with a small encoder of our own.

    python3 tests/data/make_jpeg.py [output directory]

Forward DCT, quantisation with the example tables scaled to one quality, and
the example Huffman tables. The picture (a lighthouse on a dusk sea) is drawn
here as well; everything is deterministic. After writing, every image is
decoded again by the small decoder below and compared with the picture it was
made from, so a broken bit stream fails the script rather than the tests.

Images:
  baseline_420.jpg     48x32 colour, 4:2:0, JFIF APP0
  baseline_exif.jpg    32x32 colour, 4:4:4, EXIF APP1 holding a 16x16 thumbnail
  progressive_444.jpg  64x48 colour, 4:4:4, a DC scan and four AC band scans
  greyscale.jpg        40x24 single component

Every image ends in its only FF D9 outside segment payloads, and its first
entropy-coded byte is not FF, so a carver reading its header stops right
where the scan data begins.
"""

import math
import os
import struct
import sys

# --- The picture ------------------------------------------------------------


def clamp8(v):
    return 0 if v < 0 else 255 if v > 255 else int(v + 0.5)


def lighthouse(x, y, w, h):
    """RGB of the picture at pixel (x, y) of a w x h rendering."""
    u = (x + 0.5) / w
    v = (y + 0.5) / h
    horizon = 0.62
    if v < horizon:
        t = v / horizon  # sky: violet at the top to orange at the horizon
        r, g, b = 70 + 180 * t, 40 + 110 * t, 120 - 60 * t
        du, dv = u - 0.28, v - 0.48  # the setting sun
        if du * du + dv * dv * 1.4 < 0.018:
            r, g, b = 255, 220, 120
    else:
        t = (v - horizon) / (1 - horizon)  # sea, with a glint under the sun
        wave = math.sin(u * 40 + t * 25) * 12
        r, g, b = 20 + wave, 60 + 40 * t + wave, 110 + 50 * t
        if abs(u - 0.28) < 0.05 * (1 - t) + 0.01:
            r, g, b = r + 170, g + 120, b - 40
    # Lighthouse: a tower with red and white bands and a lit lantern.
    if 0.66 < u < 0.74 and 0.22 < v < 0.70:
        band = int((v - 0.22) / 0.08) % 2
        r, g, b = (230, 40, 40) if band == 0 else (240, 240, 235)
    if 0.64 < u < 0.76 and 0.15 < v <= 0.22:
        r, g, b = 255, 250, 150
    return clamp8(r), clamp8(g), clamp8(b)


def render(w, h):
    return [[lighthouse(x, y, w, h) for x in range(w)] for y in range(h)]


def to_ycc(rgb):
    r, g, b = rgb
    y = 0.299 * r + 0.587 * g + 0.114 * b
    cb = 128 - 0.168736 * r - 0.331264 * g + 0.5 * b
    cr = 128 + 0.5 * r - 0.418688 * g - 0.081312 * b
    return y, cb, cr


def planes(pixels):
    """Three full-resolution planes Y, Cb, Cr."""
    ycc = [[to_ycc(p) for p in row] for row in pixels]
    return [[[px[c] for px in row] for row in ycc] for c in range(3)]


def downsample(plane):
    h, w = len(plane), len(plane[0])
    return [[(plane[2 * y][2 * x] + plane[2 * y][2 * x + 1] + plane[2 * y + 1][2 * x]
              + plane[2 * y + 1][2 * x + 1]) / 4 for x in range(w // 2)] for y in range(h // 2)]


# --- Tables -------------------------------------------------------------------

def make_zigzag():
    order = []
    for s in range(15):
        rows = range(min(s, 7), max(0, s - 7) - 1, -1) if s % 2 == 0 else range(max(0, s - 7), min(s, 7) + 1)
        order.extend((r, s - r) for r in rows)
    return order


ZIGZAG = make_zigzag()  # zigzag index -> (row, column)

LUMA_Q = [
    16, 11, 10, 16, 24, 40, 51, 61, 12, 12, 14, 19, 26, 58, 60, 55,
    14, 13, 16, 24, 40, 57, 69, 56, 14, 17, 22, 29, 51, 87, 80, 62,
    18, 22, 37, 56, 68, 109, 103, 77, 24, 35, 55, 64, 81, 104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99]
CHROMA_Q = [
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
    24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99] + [99] * 32


def scaled_quant(table, quality):
    scale = 5000 // quality if quality < 50 else 200 - 2 * quality
    return [min(255, max(1, (q * scale + 50) // 100)) for q in table]  # natural order


DC_LUMA = ([0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0], list(range(12)))
DC_CHROMA = ([0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0], list(range(12)))
AC_LUMA = ([0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7D], [
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07,
    0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xA1, 0x08, 0x23, 0x42, 0xB1, 0xC1, 0x15, 0x52, 0xD1, 0xF0,
    0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0A, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x25, 0x26, 0x27, 0x28,
    0x29, 0x2A, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49,
    0x4A, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69,
    0x6A, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89,
    0x8A, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
    0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xC2, 0xC3, 0xC4, 0xC5,
    0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xE1, 0xE2,
    0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8,
    0xF9, 0xFA])
AC_CHROMA = ([0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77], [
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71,
    0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xA1, 0xB1, 0xC1, 0x09, 0x23, 0x33, 0x52, 0xF0,
    0x15, 0x62, 0x72, 0xD1, 0x0A, 0x16, 0x24, 0x34, 0xE1, 0x25, 0xF1, 0x17, 0x18, 0x19, 0x1A, 0x26,
    0x27, 0x28, 0x29, 0x2A, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48,
    0x49, 0x4A, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68,
    0x69, 0x6A, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87,
    0x88, 0x89, 0x8A, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0xA2, 0xA3, 0xA4, 0xA5,
    0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xC2, 0xC3,
    0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA,
    0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8,
    0xF9, 0xFA])

for _bits, _vals in (DC_LUMA, DC_CHROMA, AC_LUMA, AC_CHROMA):
    assert sum(_bits) == len(_vals) and len(set(_vals)) == len(_vals)


def huffman_codes(table):
    """Symbol -> (code, length), codes assigned in order of length."""
    bits, vals = table
    codes, code, k = {}, 0, 0
    for length in range(1, 17):
        for _ in range(bits[length - 1]):
            codes[vals[k]] = (code, length)
            code += 1
            k += 1
        code <<= 1
    return codes


# --- Transform ----------------------------------------------------------------

COS = [[math.cos((2 * x + 1) * u * math.pi / 16) for x in range(8)] for u in range(8)]
C0 = [1 / math.sqrt(2)] + [1.0] * 7


def fdct_1d(values):
    return [0.5 * C0[u] * sum(values[x] * COS[u][x] for x in range(8)) for u in range(8)]


def fdct(block):
    """block[row][col] -> coefficients[v][u] (v vertical, u horizontal)."""
    rows = [fdct_1d(r) for r in block]
    cols = [fdct_1d([rows[y][u] for y in range(8)]) for u in range(8)]
    return [[cols[u][v] for u in range(8)] for v in range(8)]


def idct(coef):
    out = [[0.0] * 8 for _ in range(8)]
    for y in range(8):
        for x in range(8):
            s = 0.0
            for v in range(8):
                for u in range(8):
                    c = coef[v][u]
                    if c:
                        s += C0[u] * C0[v] * c * COS[u][x] * COS[v][y]
            out[y][x] = s / 4
    return out


def blocks_of(plane):
    """Quantisation-ready 8x8 blocks of a plane, level-shifted, in raster order
    of the plane's block grid; dimensions are multiples of 8."""
    h, w = len(plane), len(plane[0])
    grid = {}
    for by in range(h // 8):
        for bx in range(w // 8):
            grid[(by, bx)] = [[plane[by * 8 + y][bx * 8 + x] - 128 for x in range(8)] for y in range(8)]
    return grid, h // 8, w // 8


def quantise(block, quant):
    coef = fdct(block)
    zz = []
    for r, c in ZIGZAG:
        zz.append(int(round(coef[r][c] / quant[r * 8 + c])))
    return zz


# --- Bit stream ---------------------------------------------------------------

class BitWriter:
    def __init__(self):
        self.out = bytearray()
        self.acc = 0
        self.n = 0

    def write(self, code, length):
        for i in range(length - 1, -1, -1):
            self.acc = (self.acc << 1) | ((code >> i) & 1)
            self.n += 1
            if self.n == 8:
                self.out.append(self.acc)
                if self.acc == 0xFF:
                    self.out.append(0x00)
                self.acc, self.n = 0, 0

    def flush(self):
        while self.n:
            self.write(1, 1)
        return bytes(self.out)


def magnitude(v):
    size = abs(v).bit_length()
    return size, (v if v >= 0 else v + (1 << size) - 1)


def encode_dc(bw, diff, dc_codes):
    size, bits = magnitude(diff)
    bw.write(*dc_codes[size])
    if size:
        bw.write(bits, size)


def encode_ac(bw, zz, lo, hi, ac_codes):
    run = 0
    for k in range(lo, hi + 1):
        if zz[k] == 0:
            run += 1
            continue
        while run > 15:
            bw.write(*ac_codes[0xF0])
            run -= 16
        size, bits = magnitude(zz[k])
        bw.write(*ac_codes[(run << 4) | size])
        bw.write(bits, size)
        run = 0
    if run:
        bw.write(*ac_codes[0x00])  # end of block (of band)


# --- Markers ------------------------------------------------------------------

def segment(code, payload):
    return bytes([0xFF, code]) + struct.pack(">H", len(payload) + 2) + payload


def jfif_app0():
    return segment(0xE0, b"JFIF\0" + bytes([1, 1, 0]) + struct.pack(">HH", 1, 1) + bytes([0, 0]))


def exif_app1(thumbnail):
    """EXIF block: IFD0 with the orientation, IFD1 pointing at the thumbnail."""
    ifd0_at, ifd1_at = 8, 8 + 2 + 12 + 4
    thumb_at = ifd1_at + 2 + 3 * 12 + 4
    tiff = b"II" + struct.pack("<HI", 42, ifd0_at)
    tiff += struct.pack("<H", 1) + struct.pack("<HHIHH", 0x0112, 3, 1, 1, 0) + struct.pack("<I", ifd1_at)
    tiff += struct.pack("<H", 3)
    tiff += struct.pack("<HHIHH", 0x0103, 3, 1, 6, 0)  # compression: JPEG
    tiff += struct.pack("<HHII", 0x0201, 4, 1, thumb_at)
    tiff += struct.pack("<HHII", 0x0202, 4, 1, len(thumbnail))
    tiff += struct.pack("<I", 0)
    assert len(tiff) == thumb_at
    return segment(0xE1, b"Exif\0\0" + tiff + thumbnail)


def dqt(tables):
    payload = b""
    for ident, quant in tables:
        payload += bytes([ident]) + bytes(quant[r * 8 + c] for r, c in ZIGZAG)
    return segment(0xDB, payload)


def dht(tables):
    payload = b""
    for cls, ident, (bits, vals) in tables:
        payload += bytes([(cls << 4) | ident]) + bytes(bits) + bytes(vals)
    return segment(0xC4, payload)


def sof(code, width, height, components):
    payload = struct.pack(">BHHB", 8, height, width, len(components))
    for ident, h, v, tq in components:
        payload += bytes([ident, (h << 4) | v, tq])
    return segment(code, payload)


def sos(components, ss, se, ah=0, al=0):
    payload = bytes([len(components)])
    for ident, td, ta in components:
        payload += bytes([ident, (td << 4) | ta])
    return segment(0xDA, payload + bytes([ss, se, (ah << 4) | al]))


# --- Encoders -----------------------------------------------------------------

QUALITY = 80
STD_TABLES = [(0, 0, DC_LUMA), (1, 0, AC_LUMA), (0, 1, DC_CHROMA), (1, 1, AC_CHROMA)]


class Colour:
    """Quantised blocks of a colour picture with Y sampled h x v times per MCU."""

    def __init__(self, pixels, sub):
        self.height, self.width = len(pixels), len(pixels[0])
        self.sub = sub
        y, cb, cr = planes(pixels)
        if sub == 2:
            cb, cr = downsample(cb), downsample(cr)
        self.lq = scaled_quant(LUMA_Q, QUALITY)
        self.cq = scaled_quant(CHROMA_Q, QUALITY)
        self.comp = []
        for plane, quant in ((y, self.lq), (cb, self.cq), (cr, self.cq)):
            grid, rows, cols = blocks_of(plane)
            self.comp.append(({k: quantise(b, quant) for k, b in grid.items()}, rows, cols))
        self.codes = [(huffman_codes(DC_LUMA), huffman_codes(AC_LUMA)),
                      (huffman_codes(DC_CHROMA), huffman_codes(AC_CHROMA))]

    def mcu_blocks(self):
        """(component, block) in interleaved MCU order."""
        s = self.sub
        rows, cols = self.comp[1][1], self.comp[1][2]
        for my in range(rows):
            for mx in range(cols):
                for dy in range(s):
                    for dx in range(s):
                        yield 0, self.comp[0][0][(my * s + dy, mx * s + dx)]
                yield 1, self.comp[1][0][(my, mx)]
                yield 2, self.comp[2][0][(my, mx)]

    def header(self, sof_code, app):
        s = self.sub
        out = b"\xFF\xD8" + app
        out += dqt([(0, self.lq), (1, self.cq)])
        out += sof(sof_code, self.width, self.height, [(1, s, s, 0), (2, 1, 1, 1), (3, 1, 1, 1)])
        out += dht(STD_TABLES)
        return out

    def baseline(self, app):
        bw = BitWriter()
        pred = [0, 0, 0]
        for c, zz in self.mcu_blocks():
            dc_codes, ac_codes = self.codes[min(c, 1)]
            encode_dc(bw, zz[0] - pred[c], dc_codes)
            pred[c] = zz[0]
            encode_ac(bw, zz, 1, 63, ac_codes)
        scan = sos([(1, 0, 0), (2, 1, 1), (3, 1, 1)], 0, 63)
        return self.header(0xC0, app) + scan + bw.flush() + b"\xFF\xD9"

    def progressive(self, app):
        out = self.header(0xC2, app)
        bw = BitWriter()
        pred = [0, 0, 0]
        for c, zz in self.mcu_blocks():
            encode_dc(bw, zz[0] - pred[c], self.codes[min(c, 1)][0])
            pred[c] = zz[0]
        out += sos([(1, 0, 0), (2, 1, 0), (3, 1, 0)], 0, 0) + bw.flush()
        for c, lo, hi in ((0, 1, 5), (1, 1, 63), (2, 1, 63), (0, 6, 63)):
            bw = BitWriter()
            blocks, rows, cols = self.comp[c]
            for by in range(rows):
                for bx in range(cols):
                    encode_ac(bw, blocks[(by, bx)], lo, hi, self.codes[min(c, 1)][1])
            out += sos([(c + 1, 0, min(c, 1))], lo, hi) + bw.flush()
        return out + b"\xFF\xD9"


def greyscale(pixels):
    y = planes(pixels)[0]
    height, width = len(y), len(y[0])
    quant = scaled_quant(LUMA_Q, QUALITY)
    grid, rows, cols = blocks_of(y)
    dc_codes, ac_codes = huffman_codes(DC_LUMA), huffman_codes(AC_LUMA)
    bw = BitWriter()
    pred = 0
    for by in range(rows):
        for bx in range(cols):
            zz = quantise(grid[(by, bx)], quant)
            encode_dc(bw, zz[0] - pred, dc_codes)
            pred = zz[0]
            encode_ac(bw, zz, 1, 63, ac_codes)
    out = b"\xFF\xD8" + jfif_app0() + dqt([(0, quant)])
    out += sof(0xC0, width, height, [(1, 1, 1, 0)])
    out += dht([(0, 0, DC_LUMA), (1, 0, AC_LUMA)])
    return out + sos([(1, 0, 0)], 0, 63) + bw.flush() + b"\xFF\xD9"


# --- Check decoder --------------------------------------------------------------

class BitReader:
    def __init__(self, data, pos):
        self.data, self.pos, self.acc, self.n = data, pos, 0, 0

    def bit(self):
        if self.n == 0:
            b = self.data[self.pos]
            assert b != 0xFF or self.data[self.pos + 1] == 0x00, "marker inside scan data"
            self.pos += 2 if b == 0xFF else 1
            self.acc, self.n = b, 8
        self.n -= 1
        return (self.acc >> self.n) & 1

    def bits(self, size):
        v = 0
        for _ in range(size):
            v = (v << 1) | self.bit()
        return v

    def decode(self, table):
        code, length = 0, 0
        while True:
            code, length = (code << 1) | self.bit(), length + 1
            assert length <= 16, "bad Huffman code"
            if (code, length) in table:
                return table[(code, length)]

    def value(self, size):
        v = self.bits(size)
        return v if size == 0 or v >= 1 << (size - 1) else v - (1 << size) + 1


def decode(data):
    """Decodes what the encoders above write; returns rows of RGB pixels."""
    assert data[:2] == b"\xFF\xD8" and data[-2:] == b"\xFF\xD9"
    quant, tables, frame, coefs = {}, {}, None, {}
    pos = 2
    while True:
        assert data[pos] == 0xFF
        code = data[pos + 1]
        if code == 0xD9:
            break
        length = struct.unpack(">H", data[pos + 2:pos + 4])[0]
        body = data[pos + 4:pos + 2 + length]
        pos += 2 + length
        if code == 0xDB:
            for k in range(0, len(body), 65):
                natural = [0] * 64
                for i, (r, c) in enumerate(ZIGZAG):
                    natural[r * 8 + c] = body[k + 1 + i]
                quant[body[k] & 15] = natural
        elif code == 0xC4:
            k = 0
            while k < len(body):
                bits = list(body[k + 1:k + 17])
                vals = list(body[k + 17:k + 17 + sum(bits)])
                tables[(body[k] >> 4, body[k] & 15)] = {v: s for s, v in huffman_codes((bits, vals)).items()}
                k += 17 + sum(bits)
        elif code in (0xC0, 0xC2):
            height, width, n = struct.unpack(">HHB", body[1:6])
            comps = [(body[6 + 3 * i], body[7 + 3 * i] >> 4, body[8 + 3 * i]) for i in range(n)]
            hmax = max(c[1] for c in comps)
            frame = (width, height, comps, hmax)
            for ident, h, _ in comps:
                bw, bh = width * h // hmax // 8, height * h // hmax // 8
                coefs[ident] = {(y, x): [0] * 64 for y in range(bh) for x in range(bw)}
        elif code == 0xDA:
            n = body[0]
            sel = [(body[1 + 2 * i], body[2 + 2 * i] >> 4, body[2 + 2 * i] & 15) for i in range(n)]
            ss, se, a = body[1 + 2 * n], body[2 + 2 * n], body[3 + 2 * n]
            assert a == 0, "successive approximation is not written here"
            br = BitReader(data, pos)
            width, height, comps, hmax = frame
            order = []
            if n == 1:
                order = [(sel[0], key) for key in sorted(coefs[sel[0][0]])]
            else:
                hs = {c[0]: c[1] for c in comps}
                for my in range(height // (8 * hmax)):
                    for mx in range(width // (8 * hmax)):
                        for s in sel:
                            f = hs[s[0]]
                            order += [(s, (my * f + dy, mx * f + dx)) for dy in range(f) for dx in range(f)]
            pred = {}
            for (ident, td, ta), key in order:
                zz = coefs[ident][key]
                if ss == 0:
                    size = br.decode(tables[(0, td)])
                    pred[ident] = pred.get(ident, 0) + br.value(size)
                    zz[0] = pred[ident]
                if se > 0:
                    k = max(ss, 1)
                    while k <= se:
                        rs = br.decode(tables[(1, ta)])
                        run, size = rs >> 4, rs & 15
                        if size == 0:
                            if run != 15:
                                assert run == 0, "EOB runs are not written here"
                                break
                            k += 16
                            continue
                        k += run
                        zz[k] = br.value(size)
                        k += 1
            pos = br.pos
            while data[pos] != 0xFF or data[pos + 1] == 0x00:
                pos += 1
    width, height, comps, hmax = frame
    qsel = {c[0]: c[2] for c in comps}
    out_planes = []
    for ident, h, _ in comps:
        q = quant[qsel[ident]]
        scale = hmax // h
        plane = [[0.0] * width for _ in range(height)]
        for (by, bx), zz in coefs[ident].items():
            coef = [[0.0] * 8 for _ in range(8)]
            for i, (r, c) in enumerate(ZIGZAG):
                coef[r][c] = zz[i] * q[r * 8 + c]
            spatial = idct(coef)
            for y in range(8):
                for x in range(8):
                    for sy in range(scale):
                        for sx in range(scale):
                            plane[(by * 8 + y) * scale + sy][(bx * 8 + x) * scale + sx] = spatial[y][x] + 128
        out_planes.append(plane)
    if len(out_planes) == 1:
        return [[(clamp8(v),) * 3 for v in row] for row in out_planes[0]]
    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            lum, cb, cr = (p[y][x] for p in out_planes)
            row.append((clamp8(lum + 1.402 * (cr - 128)),
                        clamp8(lum - 0.344136 * (cb - 128) - 0.714136 * (cr - 128)),
                        clamp8(lum + 1.772 * (cb - 128))))
        rows.append(row)
    return rows


def psnr(a, b, grey):
    err, n = 0.0, 0
    for ra, rb in zip(a, b):
        for pa, pb in zip(ra, rb):
            if grey:
                pb = (clamp8(to_ycc(pb)[0]),) * 3
            for ca, cb in zip(pa, pb):
                err += (ca - cb) ** 2
                n += 1
    return 99.0 if err == 0 else 10 * math.log10(255 * 255 * n / err)


def header_end(data):
    """Where a walk over the header's marker segments stops."""
    j = 2
    while data[j] == 0xFF:
        j += 2 if data[j + 1] in (0x01, *range(0xD0, 0xD8)) else 2 + struct.unpack(">H", data[j + 2:j + 4])[0]
    return j


def check(name, data, pixels, grey=False):
    quality = psnr(decode(data), pixels, grey)
    assert quality > 22, f"{name}: decodes to {quality:.1f} dB"
    end = header_end(data)
    assert data.find(b"\xFF\xD9", end) == len(data) - 2, f"{name}: stray end marker"
    return quality


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    thumb_pixels = render(16, 16)
    thumbnail = Colour(thumb_pixels, 1).baseline(jfif_app0())
    images = {}
    pixels = render(48, 32)
    images["baseline_420.jpg"] = (Colour(pixels, 2).baseline(jfif_app0()), pixels, False)
    pixels = render(32, 32)
    images["baseline_exif.jpg"] = (Colour(pixels, 1).baseline(exif_app1(thumbnail)), pixels, False)
    pixels = render(64, 48)
    images["progressive_444.jpg"] = (Colour(pixels, 1).progressive(jfif_app0()), pixels, False)
    pixels = render(40, 24)
    images["greyscale.jpg"] = (greyscale(pixels), pixels, True)
    check("thumbnail", thumbnail, thumb_pixels)
    for name, (data, pixels, grey) in images.items():
        quality = check(name, data, pixels, grey)
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(data)
        print(f"{name}: {len(data)} bytes, {quality:.1f} dB")


if __name__ == "__main__":
    main()
