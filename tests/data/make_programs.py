#!/usr/bin/env python3
"""Writes the Windows programs of the program-picture tests (tests/programs).

Draws bitmaps, icon files and cursor files of the kinds a program holds,
names them in a resource script, and builds a DLL and an EXE for 32 and 64
bits from it with MinGW-w64 (windres and gcc, no C runtime, so that they stay
small). Writes into tests/data/programs/:
  pictures/*.bmp, *.ico, *.cur   the files the resources were compiled from
  pictures.rc                    the resource script
  manifest.txt                   one line per picture resource, in the order
                                 the resource table stores them (see below)
  pictures32.dll pictures64.dll pictures32.exe pictures64.exe
and a few seeds for the fuzz target into tests/fuzz/corpus/programs/.

Needs i686-w64-mingw32-{gcc,windres} and x86_64-w64-mingw32-{gcc,windres};
the tests only read what this wrote. Standard library only.
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "programs")
PICTURES = os.path.join(OUT, "pictures")
CORPUS = os.path.join(HERE, "..", "fuzz", "corpus", "programs")

# --- Pictures ----------------------------------------------------------------


def row_bytes(width, bits):
    return (width * bits + 31) // 32 * 4


def pack_rows(width, height, bits, pixel):
    """Bottom-up rows of `pixel(x, y)` values at `bits` per pixel, padded."""
    out = bytearray()
    for y in range(height - 1, -1, -1):
        row = bytearray()
        if bits < 8:
            acc, n = 0, 0
            for x in range(width):
                acc = (acc << bits) | pixel(x, y)
                n += bits
                if n == 8:
                    row.append(acc)
                    acc, n = 0, 0
            if n:
                row.append(acc << (8 - n))
        else:
            for x in range(width):
                row += pixel(x, y).to_bytes(bits // 8, "little")
        row += bytes(row_bytes(width, bits) - len(row))
        out += row
    return bytes(out)


def palette(n, quad=True):
    out = bytearray()
    for k in range(n):
        b, g, r = (k * 37) % 256, (k * 91 + 20) % 256, (255 - k * 53) % 256
        out += bytes([b, g, r, 0]) if quad else bytes([b, g, r])
    return bytes(out)


def info_header(width, height, bits, compression=0, used=0, image_size=0, size=40):
    head = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, compression, image_size,
                       2835, 2835, used, used)
    return head + bytes(size - 40) if size > 40 else head


def bmp_file(dib, pixel_offset_in_dib):
    """A .bmp file: the file header, then the DIB; the offset as computed."""
    return b"BM" + struct.pack("<IHHI", 14 + len(dib), 0, 0, 14 + pixel_offset_in_dib) + dib


def bitmap(width, height, bits, table_entries, compression=0, masks=b"", used=0, header=None):
    pixels = pack_rows(width, height, bits, lambda x, y: ((x * 7 + y * 3) % (1 << min(bits, 16))))
    head = header if header is not None else info_header(width, height, bits, compression, used,
                                                          len(pixels))
    table = palette(table_entries)
    dib = head + masks + table + pixels
    return bmp_file(dib, len(head) + len(masks) + len(table))


def v4_header(width, height, bits, masks, size):
    head = struct.pack("<IiiHHIIiiII", size, width, height, 1, bits, 3, 0, 2835, 2835, 0, 0)
    head += struct.pack("<IIII", *masks)
    head += b"BGRs" + bytes(36) + bytes(12)  # colour space, endpoints, gamma
    if size == 124:
        head += struct.pack("<IIII", 4, 0, 0, 0)  # intent, profile, reserved
    assert len(head) == size
    return head


def core_bitmap(width, height, bits):
    head = struct.pack("<IHHHH", 12, width, height, 1, bits)
    table = palette(1 << bits, quad=False)
    pixels = pack_rows(width, height, bits, lambda x, y: (x + 2 * y) % (1 << bits))
    return bmp_file(head + table + pixels, len(head) + len(table))


def png(width, height, pixel):
    raw = bytearray()
    for y in range(height):
        raw.append(0)
        for x in range(width):
            raw += bytes(pixel(x, y))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def icon_dib(size, bits):
    """An icon or cursor image: a DIB of twice the height (image and mask)."""
    entries = 1 << bits if bits <= 8 else 0
    colour = pack_rows(size, size, bits,
                       lambda x, y: ((x // 2 + y) % entries if entries else
                                     (0xFF000000 | (x * 8 << 16) | (y * 8 << 8)) if bits == 32 else
                                     (x * 8 | y * 8 << 8 | 0x80 << 16)))
    mask = pack_rows(size, size, 1, lambda x, y: 1 if (x + y) % 11 == 0 else 0)
    head = info_header(size, 2 * size, bits, 0, 0, len(colour) + len(mask))
    return head + palette(entries) + colour + mask


def directory_file(kind, images):
    """An icon (kind 1) or cursor (kind 2) file: images are (entry fields, bytes),
    the fields being the first 12 bytes of the 16-byte entry less the size."""
    out = struct.pack("<HHH", 0, kind, len(images))
    at = 6 + 16 * len(images)
    body = b""
    for fields, data in images:
        out += fields + struct.pack("<II", len(data), at)
        at += len(data)
        body += data
    return out + body


def icon_entry(width, height, bits):
    colours = (1 << bits) if bits < 8 else 0
    return struct.pack("<BBBBHH", width % 256, height % 256, colours, 0, 1, bits)


def cursor_entry(width, height, bits, hot_x, hot_y):
    # As the programs' reader rebuilds it: sizes from the image, the
    # palette's colour count below 8 bits, the hot spot.
    colours = (1 << bits) if bits < 8 else 0
    return struct.pack("<BBBBHH", width % 256, height % 256, colours, 0, hot_x, hot_y)


def pictures():
    big = png(256, 256, lambda x, y: (x // 64 * 80, y // 64 * 80, 200, 255 if (x ^ y) & 32 else 128))
    small_png = png(40, 40, lambda x, y: (255, x // 10 * 60, y // 10 * 60, 255))
    return {
        "b1.bmp": bitmap(13, 7, 1, 2),
        "b4.bmp": bitmap(9, 5, 4, 16),
        "b4_used5.bmp": bitmap(9, 5, 4, 5, used=5),
        "b8.bmp": bitmap(7, 4, 8, 256),
        "b8_used24.bmp": bitmap(7, 4, 8, 24, used=24),
        "b16.bmp": bitmap(5, 3, 16, 0),
        "b16_bitfields.bmp": bitmap(5, 3, 16, 0, 3, struct.pack("<III", 0xF800, 0x07E0, 0x001F)),
        "b16_alphabitfields.bmp": bitmap(
            5, 3, 16, 0, 6, struct.pack("<IIII", 0x0F00, 0x00F0, 0x000F, 0xF000)),
        "b24.bmp": bitmap(6, 5, 24, 0),
        "b24_used3.bmp": bitmap(6, 5, 24, 3, used=3),
        "b32.bmp": bitmap(4, 4, 32, 0),
        "b32_bitfields.bmp": bitmap(
            4, 4, 32, 0, 3, struct.pack("<III", 0x00FF0000, 0x0000FF00, 0x000000FF)),
        "b32_v4.bmp": bitmap(4, 3, 32, 0, header=v4_header(
            4, 3, 32, (0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000), 108)),
        "b32_v5.bmp": bitmap(3, 3, 32, 0, header=v4_header(
            3, 3, 32, (0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000), 124)),
        "core4.bmp": core_bitmap(11, 6, 4),
        "app.ico": directory_file(1, [
            (icon_entry(16, 16, 4), icon_dib(16, 4)),
            (icon_entry(32, 32, 1), icon_dib(32, 1)),
            (icon_entry(16, 16, 8), icon_dib(16, 8)),
            (icon_entry(20, 20, 32), icon_dib(20, 32)),
            (icon_entry(256, 256, 32), big),
        ]),
        "small.ico": directory_file(1, [(icon_entry(16, 16, 32), icon_dib(16, 32))]),
        "arrow.cur": directory_file(2, [(cursor_entry(32, 32, 1, 3, 5), icon_dib(32, 1))]),
        "colour.cur": directory_file(2, [
            (cursor_entry(24, 24, 32, 12, 11), icon_dib(24, 32)),
            (cursor_entry(40, 40, 32, 1, 2), small_png),
            (cursor_entry(16, 16, 4, 0, 15), icon_dib(16, 4)),
        ]),
    }


# --- The resource script ----------------------------------------------------------

ENGLISH = 0x409
GERMAN = 0x407

# (statement, name, language, file): a name is a string or an int.
RESOURCES = [
    ("BITMAP", 1, ENGLISH, "b1.bmp"),
    ("BITMAP", 2, ENGLISH, "b4.bmp"),
    ("BITMAP", 3, ENGLISH, "b4_used5.bmp"),
    ("BITMAP", 4, ENGLISH, "b8.bmp"),
    ("BITMAP", 5, ENGLISH, "b8_used24.bmp"),
    ("BITMAP", 6, ENGLISH, "b16.bmp"),
    ("BITMAP", 7, ENGLISH, "b16_bitfields.bmp"),
    ("BITMAP", 8, ENGLISH, "b16_alphabitfields.bmp"),
    ("BITMAP", 9, ENGLISH, "b24.bmp"),
    ("BITMAP", 10, ENGLISH, "b24_used3.bmp"),
    ("BITMAP", 300, ENGLISH, "b32.bmp"),
    ("BITMAP", "MASKS", ENGLISH, "b32_bitfields.bmp"),
    ("BITMAP", "HEADER_V4", ENGLISH, "b32_v4.bmp"),
    ("BITMAP", "HEADER_V5", ENGLISH, "b32_v5.bmp"),
    ("BITMAP", "CORE", ENGLISH, "core4.bmp"),
    ("BITMAP", "CORE", GERMAN, "b8_used24.bmp"),
    ("ICON", "APP", ENGLISH, "app.ico"),
    ("ICON", "APP", GERMAN, "small.ico"),
    ("ICON", 20, ENGLISH, "small.ico"),
    ("CURSOR", "ARROW", ENGLISH, "arrow.cur"),
    ("CURSOR", 30, GERMAN, "colour.cur"),
]

TYPE_OF = {"BITMAP": 2, "ICON": 14, "CURSOR": 12}


def resource_script():
    lines = []
    language = None
    for statement, name, lang, file in RESOURCES:
        if lang != language:
            lines.append("LANGUAGE %d, %d" % (lang & 0x3FF, lang >> 10))
            language = lang
        lines.append('%s %s "pictures/%s"' % (name, statement, file))
    return "\n".join(lines) + "\n"


def table_order(resource):
    """How a resource table sorts its entries: types by id; then named
    entries (by their UTF-16 units, as written: upper case) before ids; then
    languages."""
    statement, name, lang, _ = resource
    named = isinstance(name, str)
    return (TYPE_OF[statement], 0 if named else 1,
            name.encode("utf-16-le") if named else b"", 0 if named else name, lang)


def manifest():
    lines = ["# type name language file (the name #N: the id N)"]
    for r in sorted(RESOURCES, key=table_order):
        statement, name, lang, file = r
        lines.append("%d %s %d %s" % (TYPE_OF[statement],
                                      name if isinstance(name, str) else "#%d" % name, lang, file))
    return "\n".join(lines) + "\n"


# --- The programs --------------------------------------------------------------------

DLL_SOURCE = "int __stdcall DllMainCRTStartup(void* h, unsigned r, void* p) { return 1; }\n"
EXE_SOURCE = "int mainCRTStartup(void) { return 0; }\n"


def build(work):
    made = {}
    for bits, prefix in ((32, "i686-w64-mingw32-"), (64, "x86_64-w64-mingw32-")):
        res = os.path.join(work, "pictures%d.o" % bits)
        subprocess.run([prefix + "windres", "--input-format=rc", "--output-format=coff",
                        "-i", os.path.join(OUT, "pictures.rc"), "-o", res], cwd=OUT, check=True)
        underscore = "_" if bits == 32 else ""
        for kind, source, entry in (
                ("dll", DLL_SOURCE, underscore + "DllMainCRTStartup" + ("@12" if bits == 32 else "")),
                ("exe", EXE_SOURCE, underscore + "mainCRTStartup")):
            c = os.path.join(work, "%s%d.c" % (kind, bits))
            with open(c, "w") as f:
                f.write(source)
            out = os.path.join(OUT, "pictures%d.%s" % (bits, kind))
            command = [prefix + "gcc", "-Os", "-s", "-nostdlib", "-Wl,--no-insert-timestamp",
                       "-Wl,-e," + entry, "-o", out, c, res]
            if kind == "dll":
                command.insert(1, "-shared")
            subprocess.run(command, check=True)
            with open(out, "rb") as f:
                made[os.path.basename(out)] = f.read()
    return made


# --- Fuzz seeds ------------------------------------------------------------------------


def resource_root(program):
    """The file offset of the resource tree's root, through the section table."""
    pe = struct.unpack_from("<I", program, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<H", program, pe + 6)[0], \
        struct.unpack_from("<H", program, pe + 20)[0]
    magic = struct.unpack_from("<H", program, pe + 24)[0]
    directories = pe + 24 + (96 if magic == 0x10B else 112)
    rva = struct.unpack_from("<I", program, directories + 16)[0]
    table = pe + 24 + optional_size
    for k in range(sections):
        vsize, va, raw, ptr = struct.unpack_from("<IIII", program, table + 40 * k + 8)
        if va <= rva < va + max(vsize, raw):
            return ptr + rva - va
    raise ValueError("no section holds the resource tree")


def seeds(made):
    os.makedirs(CORPUS, exist_ok=True)
    for name in os.listdir(CORPUS):
        os.remove(os.path.join(CORPUS, name))
    dll = made["pictures32.dll"]
    exe = made["pictures64.exe"]
    out = {"real_dll32": dll, "real_exe64": exe}
    root = resource_root(dll)
    # The first type's directory points back at the root.
    looped = bytearray(dll)
    struct.pack_into("<I", looped, root + 16 + 4, 0x80000000)
    out["loop_to_root"] = bytes(looped)
    # Counts far beyond the table, in the root.
    huge = bytearray(dll)
    struct.pack_into("<HH", huge, root + 12, 0xFFFF, 0xFFFF)
    out["huge_counts"] = bytes(huge)
    # The resource directory's RVA in no section.
    pe = struct.unpack_from("<I", exe, 0x3C)[0]
    lost = bytearray(exe)
    struct.pack_into("<I", lost, pe + 24 + 112 + 16, 0x7FFF0000)
    out["rva_in_no_section"] = bytes(lost)
    out["truncated_half"] = exe[: len(exe) // 2]
    out["in_filler"] = bytes(range(7, 250)) + dll + b"MZ" + bytes(70)
    for name, data in out.items():
        with open(os.path.join(CORPUS, name), "wb") as f:
            f.write(data)


def main():
    os.makedirs(PICTURES, exist_ok=True)
    for name, data in pictures().items():
        with open(os.path.join(PICTURES, name), "wb") as f:
            f.write(data)
    with open(os.path.join(OUT, "pictures.rc"), "w") as f:
        f.write(resource_script())
    with open(os.path.join(OUT, "manifest.txt"), "w") as f:
        f.write(manifest())
    work = tempfile.mkdtemp()
    try:
        made = build(work)
    finally:
        shutil.rmtree(work)
    seeds(made)
    for name, data in sorted(made.items()):
        print("%-16s %6d bytes" % (name, len(data)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
