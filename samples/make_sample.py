#!/usr/bin/env python3
"""Writes samples/sample.bin: a made-up program file with three pictures.

    python3 samples/make_sample.py

The file imitates a small executable: a header with a section table, a code
section of pseudo-random bytes, a data section of text, and a resource
section that holds one bitmap, one JPEG and one PNG taken from tests/data.
Everything is deterministic. Before writing, the script checks that no other
byte position of the file passes the start tests of the three kinds, so that
`make run` extracts exactly one .bmp, one .jpg and one .png.
"""

import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "tests", "data")

BMP_NAME = "bmp_24bit.bmp"
JPEG_NAME = "baseline_exif.jpg"
PNG_NAME = "png_palette.png"

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


class XorShift:
    """A fixed generator, so the sample does not depend on Python's."""

    def __init__(self, seed):
        self.state = seed

    def next(self):
        x = self.state
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        self.state = x
        return x

    def bytes(self, n):
        return bytes(self.next() & 0xFF for _ in range(n))


def minimal_bmp():
    """A 4x4 24-bit bitmap, for when tests/data has none."""
    pixels = b"".join(bytes([200, 60 * y, 40 * x]) for y in range(4) for x in range(4))
    info = struct.pack("<IiiHHIIiiII", 40, 4, 4, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    header = b"BM" + struct.pack("<IHHI", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    return header + info + pixels


def minimal_png():
    """A 4x4 truecolour PNG, for when tests/data has none."""
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    raw = b"".join(b"\0" + b"".join(bytes([60 * x, 50 * y, 120]) for x in range(4)) for y in range(4))
    ihdr = struct.pack(">IIBBBBB", 4, 4, 8, 2, 0, 0, 0)
    return PNG_SIGNATURE + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def load(name, fallback):
    path = os.path.join(DATA, name)
    if os.path.exists(path):
        with open(path, "rb") as f:
            return f.read()
    return fallback()


def bitmap_candidates(data):
    """Positions that pass every header test of the bitmap scanner."""
    found = []
    n = len(data)
    pos = data.find(b"BM")
    while 0 <= pos < n - 50:
        size, offset, info = (struct.unpack("<I", data[pos + k:pos + k + 4])[0] for k in (2, 10, 14))
        if size > 50 and pos + size <= n and offset < size and info >= 12 and pos + 14 + info <= n:
            found.append(pos)
        pos = data.find(b"BM", pos + 1)
    return found


def all_positions(data, needle, limit):
    out, pos = [], data.find(needle)
    while 0 <= pos < limit:
        out.append(pos)
        pos = data.find(needle, pos + 1)
    return out


def text_section():
    lines = [
        "Orchard Ledger 3.4 - bookkeeping for small farms",
        "usage: ledger [-import FILE] [-export FILE] [-year N]",
        "error: the ledger file is locked by another program",
        "warning: %d entries have no date and were put at the end",
        "Harvest totals by field and by month",
        "(c) 2014 Orchard Ledger contributors",
    ]
    return "\0".join(lines).encode("ascii") + b"\0"


def main():
    rng = XorShift(0x5EED1234)
    bmp = load(BMP_NAME, minimal_bmp)
    jpeg = load(JPEG_NAME, lambda: None)
    png = load(PNG_NAME, minimal_png)
    if jpeg is None:
        raise SystemExit("tests/data/%s is missing: run tests/data/make_jpeg.py first" % JPEG_NAME)

    code = rng.bytes(12000)
    data = text_section() + rng.bytes(701)
    resources = b""
    offsets = []
    for blob in (bmp, jpeg, png):
        resources += rng.bytes(37 + rng.next() % 200)
        offsets.append(len(resources))
        resources += blob
    resources += rng.bytes(3001)

    sections = [(b".text\0\0\0", code), (b".data\0\0\0", data), (b".rsrc\0\0\0", resources)]
    header_size = 64 + 16 * len(sections)
    header = b"OLX1" + struct.pack("<HHI", 1, len(sections), header_size) + rng.bytes(52)
    body = b""
    table = b""
    for name, blob in sections:
        table += name + struct.pack("<II", header_size + len(body), len(blob))
        body += blob
    sample = header + table + body

    rsrc_at = header_size + len(code) + len(data)
    starts = [rsrc_at + k for k in offsets]
    assert bitmap_candidates(sample) == [starts[0]], bitmap_candidates(sample)
    # The JPEG's own EXIF thumbnail starts with FF D8 FF too; the scanner
    # jumps over it while walking the outer image's header.
    jpeg_starts = [p for p in all_positions(sample, b"\xFF\xD8\xFF", len(sample) - 100)
                   if not starts[1] < p < starts[1] + len(jpeg)]
    assert jpeg_starts == [starts[1]], jpeg_starts
    assert all_positions(sample, PNG_SIGNATURE, len(sample) - 50) == [starts[2]]

    with open(os.path.join(HERE, "sample.bin"), "wb") as f:
        f.write(sample)
    print("sample.bin: %d bytes; bitmap at %d, JPEG at %d, PNG at %d" % (len(sample), *starts))


if __name__ == "__main__":
    main()
