#!/usr/bin/env python3
"""Writes the GIF, icon and cursor test files of tests/data.

Run from anywhere: python3 tests/data/make_gif_ico.py
The encoders are written here from the file formats themselves (GIF's
variable-width LZW, the icon directory, bitmap information headers with their
AND masks); only the standard library's zlib (for the PNG images inside an
icon) and struct are used. Each GIF is decoded again by the script's own
decoder and compared with the frames it was made from, and each icon's
directory is read back, before anything is written. The output is the same
on every run.
"""

import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


# ---- pictures ---------------------------------------------------------------

def scene(x, y, w, h, t=0.0):
    """RGBA of one pixel: a sky, a sun that moves with t, and a sea with
    waves. Flat areas, so that LZW and deflate have something to find."""
    sky = (70 + int(100 * y / max(h - 1, 1)), 120, 210, 255)
    sun_x, sun_y = w * (0.25 + 0.5 * t), h * 0.35
    if math.hypot(x - sun_x, y - sun_y) < 0.2 * min(w, h):
        return (250, 200, 40, 255)
    if y > 0.6 * h + 0.06 * h * math.sin((x + 6 * t) * 0.7):
        return (20, 60 + (x + y) % 3 * 20, 150, 255)
    return sky


def ring(x, y, w, h):
    """An opaque ring on a transparent ground, with a soft outer edge."""
    d = math.hypot(x - (w - 1) / 2, y - (h - 1) / 2) / (min(w, h) / 2)
    if 0.45 < d < 0.85:
        return (200, 40 + int(150 * x / max(w - 1, 1)), 60, 255)
    if 0.85 <= d < 0.95:
        return (200, 120, 60, 110)
    return (0, 0, 0, 0)


def arrow(x, y, w, h):
    """A cursor arrow: black outline, white inside, transparent elsewhere."""
    if x > y or y > 0.8 * h or x + y > 1.2 * h:
        return (0, 0, 0, 0)
    if x == 0 or x == y or y == int(0.8 * h) or x + y == int(1.2 * h):
        return (0, 0, 0, 255)
    return (255, 255, 255, 255)


def grid(fn, w, h, *args):
    return [[fn(x, y, w, h, *args) for x in range(w)] for y in range(h)]


def palette_of(rows, most):
    """The distinct colours of the rows (RGB, in order of appearance), at most
    `most`, and the rows as indices into them."""
    colours, index = [], {}
    out = []
    for row in rows:
        line = []
        for p in row:
            rgb = p[:3]
            if rgb not in index:
                if len(colours) == most:
                    rgb = min(colours, key=lambda c: sum((a - b) ** 2 for a, b in zip(c, rgb)))
                else:
                    index[rgb] = len(colours)
                    colours.append(rgb)
            line.append(index[rgb])
        out.append(line)
    return colours, out


# ---- GIF --------------------------------------------------------------------

def lzw_encode(indices, min_code_size):
    """GIF's LZW: a clear code first, codes packed least significant bit
    first, widths growing to 12 bits, a clear code whenever the table fills,
    the end code last."""
    clear, end = 1 << min_code_size, (1 << min_code_size) + 1
    out, acc, bits = bytearray(), 0, 0

    def emit(code, width):
        nonlocal acc, bits
        acc |= code << bits
        bits += width
        while bits >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            bits -= 8

    def fresh():
        return {(None, i): i for i in range(clear)}, end + 1, min_code_size + 1

    table, next_code, width = fresh()
    emit(clear, width)
    prefix = indices[0]
    for k in indices[1:]:
        if (prefix, k) in table:
            prefix = table[(prefix, k)]
            continue
        emit(prefix, width)
        if next_code < 4096:
            table[(prefix, k)] = next_code
            next_code += 1
            # The decoder adds each entry one code later, so the width grows
            # once the entry just added no longer fits the old one.
            if next_code - 1 == 1 << width and width < 12:
                width += 1
        else:
            emit(clear, width)
            table, next_code, width = fresh()
        prefix = k
    emit(prefix, width)
    emit(end, width)
    if bits:
        out.append(acc & 0xFF)
    return bytes(out)


def lzw_decode(data, min_code_size):
    clear, end = 1 << min_code_size, (1 << min_code_size) + 1
    pos, acc, bits = 0, 0, 0
    out = []
    table, width, prev = None, None, None

    def reset():
        return [[i] for i in range(clear)] + [None, None], min_code_size + 1

    table, width = reset()
    while True:
        while bits < width:
            acc |= data[pos] << bits
            pos += 1
            bits += 8
        code = acc & ((1 << width) - 1)
        acc >>= width
        bits -= width
        if code == clear:
            table, width = reset()
            prev = None
            continue
        if code == end:
            return out
        if prev is None:
            entry = table[code]
        elif code < len(table):
            entry = table[code]
            if len(table) < 4096:
                table.append(table[prev] + entry[:1])
        else:
            assert code == len(table), "code out of range"
            entry = table[prev] + table[prev][:1]
            table.append(entry)
        if len(table) == 1 << width and width < 12:
            width += 1
        out.extend(entry)
        prev = code


def sub_blocks(data, step=255):
    out = bytearray()
    for start in range(0, len(data), step):
        piece = data[start:start + step]
        out += bytes([len(piece)]) + piece
    return bytes(out) + b"\0"


def colour_table(colours, size_field):
    table = b"".join(bytes(c) for c in colours)
    return table + b"\0" * (3 * (2 << size_field) - len(table))


def size_field(count):
    """The 3-bit size of a colour table holding `count` colours."""
    n = 0
    while (2 << n) < count:
        n += 1
    return n


def min_code_size(size):
    return max(2, size + 1)


def image_block(left, top, w, h, rows, local=None, interlace=False, step=255):
    """An image descriptor, its local colour table (when given: colours and
    size field), the code size and the compressed rows in sub-blocks."""
    packed = 0
    table = b""
    if local is not None:
        colours, field = local
        packed |= 0x80 | field
        table = colour_table(colours, field)
        depth = field
    else:
        depth = None
    if interlace:
        packed |= 0x40
        order = list(range(0, h, 8)) + list(range(4, h, 8)) + list(range(2, h, 4)) + list(range(1, h, 2))
        rows = [rows[y] for y in order]
    indices = [i for row in rows for i in row]
    return depth, (b"\x2C" + struct.pack("<HHHHB", left, top, w, h, packed) + table), indices, step


def gif_file(version, w, h, global_colours, blocks, background=0):
    """Blocks: raw bytes, or image blocks from image_block()."""
    packed = 0
    table = b""
    global_field = None
    if global_colours is not None:
        global_field = size_field(len(global_colours))
        packed = 0x80 | (global_field << 4) | global_field
        table = colour_table(global_colours, global_field)
    out = bytearray(version + struct.pack("<HHBBB", w, h, packed, background, 0) + table)
    frames = []
    for block in blocks:
        if isinstance(block, bytes):
            out += block
            continue
        depth, head, indices, step = block
        field = depth if depth is not None else global_field
        code_size = min_code_size(field)
        data = lzw_encode(indices, code_size)
        assert lzw_decode(data, code_size) == indices, "LZW round trip"
        out += head + bytes([code_size]) + sub_blocks(data, step)
        frames.append((len(out), indices))
    out += b"\x3B"
    return bytes(out), frames


def graphic_control(delay, transparent=None, disposal=1):
    packed = (disposal << 2) | (1 if transparent is not None else 0)
    return b"\x21\xF9\x04" + struct.pack("<BHB", packed, delay, transparent or 0) + b"\0"


def comment(text):
    return b"\x21\xFE" + sub_blocks(text)


def looping():
    return b"\x21\xFF\x0B" + b"NETSCAPE2.0" + b"\x03\x01" + struct.pack("<H", 0) + b"\0"


def plain_text(text):
    head = struct.pack("<HHHHBBBB", 2, 2, 40, 8, 8, 8, 1, 0)
    return b"\x21\x01\x0C" + head + sub_blocks(text)


def read_gif(data):
    """The frames' indices of a GIF, read back by walking its blocks."""
    assert data[:6] in (b"GIF87a", b"GIF89a")
    packed = data[10]
    pos = 13 + (3 * (2 << (packed & 7)) if packed & 0x80 else 0)
    frames = []

    def chain(pos):
        out = bytearray()
        while data[pos]:
            out += data[pos + 1:pos + 1 + data[pos]]
            pos += 1 + data[pos]
        return out, pos + 1

    while data[pos] != 0x3B:
        if data[pos] == 0x21:
            _, pos = chain(pos + 2)
        else:
            assert data[pos] == 0x2C
            w, h, flags = struct.unpack_from("<HHB", data, pos + 5)
            pos += 10 + (3 * (2 << (flags & 7)) if flags & 0x80 else 0)
            code_size = data[pos]
            compressed, pos = chain(pos + 1)
            frames.append((pos, lzw_decode(bytes(compressed), code_size)))
    assert pos == len(data) - 1
    return frames


def gif87a_global():
    """GIF87a: a global table of 16 colours, one frame, no extensions."""
    w, h = 40, 30
    colours, rows = palette_of(grid(scene, w, h), 16)
    return gif_file(b"GIF87a", w, h, colours, [image_block(0, 0, w, h, rows)])


def gif89a_animated():
    """GIF89a: a global table, an application extension (looping), a
    comment, four frames each after a graphic control extension, the third
    a smaller frame with a local table, the last interlaced."""
    w, h = 48, 32
    frames = [grid(scene, w, h, t / 3) for t in range(4)]
    colours, _ = palette_of([row for f in frames for row in f], 64)
    index = {c: i for i, c in enumerate(colours)}

    def indices(picture):
        return [[index.get(p[:3], 0) for p in row] for row in picture]

    small = grid(ring, 20, 12)
    local, small_rows = palette_of(small, 8)
    blocks = [looping(), comment(b"Made for the scanner tests: a sun crossing the sky above the sea.")]
    blocks += [graphic_control(10), image_block(0, 0, w, h, indices(frames[0]))]
    blocks += [graphic_control(10), image_block(0, 0, w, h, indices(frames[1]), step=64)]
    blocks += [graphic_control(20, transparent=0), image_block(14, 10, 20, 12, small_rows,
                                                               local=(local, size_field(len(local))))]
    blocks += [graphic_control(10, disposal=2), image_block(0, 0, w, h, indices(frames[3]), interlace=True)]
    blocks += [comment(b"x" * 300)]  # a comment of two sub-blocks, after the frames
    return gif_file(b"GIF89a", w, h, colours, blocks)


def gif89a_local_only():
    """GIF89a without a global table: two frames with local tables (one of two
    colours, code size 2), and a plain text extension between them."""
    w, h = 24, 16
    two = [[(0, 0, 0) if (x // 4 + y // 4) % 2 else (255, 255, 255) for x in range(w)] for y in range(h)]
    first_colours, first_rows = palette_of(two, 2)
    second_colours, second_rows = palette_of(grid(ring, w, h), 4)
    blocks = [image_block(0, 0, w, h, first_rows, local=(first_colours, 0)),
              plain_text(b"tests"),
              graphic_control(5),
              image_block(0, 0, w, h, second_rows, local=(second_colours, 1))]
    return gif_file(b"GIF89a", w, h, None, blocks)


# ---- icons and cursors --------------------------------------------------------

def pad4(row):
    return row + b"\0" * (-len(row) % 4)


def pack_bits(values, depth):
    """Indices packed `depth` bits each, most significant first."""
    out, acc, bits = bytearray(), 0, 0
    for v in values:
        acc = (acc << depth) | v
        bits += depth
        if bits == 8:
            out.append(acc)
            acc, bits = 0, 0
    if bits:
        out.append(acc << (8 - bits))
    return bytes(out)


def dib_image(picture, depth):
    """A bitmap information header (40 bytes, height doubled), its palette,
    the colour rows and the AND mask rows, bottom-up, each padded to 4 bytes.
    Transparent pixels are set in the mask (and black in the colours)."""
    h, w = len(picture), len(picture[0])
    mask_rows = [pad4(pack_bits([1 if p[3] < 128 else 0 for p in row], 1)) for row in picture]
    palette = b""
    if depth <= 8:
        colours, indexed = palette_of([[p if p[3] >= 128 else (0, 0, 0, 255) for p in row] for row in picture],
                                      1 << depth)
        palette = b"".join(struct.pack("<BBBB", c[2], c[1], c[0], 0) for c in colours)
        colour_rows = [pad4(pack_bits(row, depth)) for row in indexed]
        used = len(colours)
    elif depth == 24:
        colour_rows = [pad4(b"".join(struct.pack("<BBB", p[2], p[1], p[0]) if p[3] >= 128 else b"\0\0\0"
                                     for p in row)) for row in picture]
        used = 0
    else:
        colour_rows = [b"".join(struct.pack("<BBBB", p[2], p[1], p[0], p[3]) for p in row) for row in picture]
        used = 0
    pixels = b"".join(reversed(colour_rows)) + b"".join(reversed(mask_rows))
    header = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, depth, 0, len(pixels), 0, 0, used, 0)
    return header + palette + pixels, depth


def png_chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def png_image(picture):
    """RGBA, every row with filter 0."""
    h, w = len(picture), len(picture[0])
    raw = b"".join(b"\0" + b"".join(bytes(p) for p in row) for row in picture)
    ihdr = struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr) + png_chunk(b"IDAT", zlib.compress(raw, 9)) +
            png_chunk(b"IEND", b"")), 32


def icon_file(kind, images):
    """kind 1 (icon) or 2 (cursor); images: (picture, (data, depth), hot spot
    or None). The images follow the directory in order."""
    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, kind, len(images))
    body = b""
    for picture, (data, depth), hot in images:
        h, w = len(picture), len(picture[0])
        colours = (1 << depth) if depth < 8 else 0
        x, y = hot if kind == 2 else (1, depth)
        directory += struct.pack("<BBBBHHII", w % 256, h % 256, colours % 256, 0, x, y, len(data), offset)
        body += data
        offset += len(data)
    return directory + body


def read_icon(data):
    """The (offset, size) of each image, read back from the directory."""
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    assert reserved == 0 and kind in (1, 2) and count > 0
    out = []
    for k in range(count):
        size, offset = struct.unpack_from("<II", data, 6 + 16 * k + 8)
        assert offset >= 6 + 16 * count and offset + size <= len(data)
        head = data[offset:offset + 16]
        assert head[:8] == b"\x89PNG\r\n\x1a\n" or struct.unpack_from("<I", head)[0] == 40
        out.append((offset, size))
    assert max(o + s for o, s in out) == len(data)
    return out


def icon_dib():
    """An icon of five bitmaps: 16x16 at 1 and 4 bits, 32x32 at 8 bits, 48x48
    at 24 bits, 32x32 at 32 bits with alpha; each with its AND mask."""
    images = []
    for size, depth in ((16, 1), (16, 4), (32, 8), (48, 24), (32, 32)):
        picture = grid(ring, size, size)
        images.append((picture, dib_image(picture, depth), None))
    return icon_file(1, images)


def icon_png():
    """An icon of a 256x256 PNG (width and height 0 in its entry), a 48x48 PNG
    and a 16x16 bitmap at 32 bits."""
    big, middle, small = grid(ring, 256, 256), grid(ring, 48, 48), grid(ring, 16, 16)
    return icon_file(1, [(big, png_image(big), None), (middle, png_image(middle), None),
                         (small, dib_image(small, 32), None)])


def cursor():
    """A cursor of two images: 32x32 at 1 bit and 48x48 at 32 bits, each
    with its hot spot at the arrow's tip."""
    small, large = grid(arrow, 32, 32), grid(arrow, 48, 48)
    return icon_file(2, [(small, dib_image(small, 1), (0, 0)), (large, dib_image(large, 32), (0, 0))])


# ---- fuzz seeds ---------------------------------------------------------------

SMALLEST_GIF = (b"GIF87a" + struct.pack("<HHBBB", 1, 1, 0, 0, 0) + b"\x2C" + struct.pack("<HHHHB", 0, 0, 1, 1, 0) +
                b"\x02\x01\x44\x00\x3B")


def hidden_header(image):
    """A sub-block whose data ends with a GIF header, whose walk goes on at
    the next sub-block: after an image descriptor, or a comment's label."""
    header = b"GIF89a" + struct.pack("<HHBBB", 8, 8, 0, 0, 0)
    header += (b"\x2C" + struct.pack("<HHHHB", 0, 0, 8, 8, 0) + b"\x02") if image else b"\x21\xFE"
    return bytes([len(header)]) + header


def gif_seeds(files):
    chain = b"\x03xyz" * 20
    opening = b"GIF89a" + struct.pack("<HHBBB", 8, 8, 0, 0, 0) + b"\x21\xFE"
    return {
        "smallest": SMALLEST_GIF,
        "real_files": b"filler" + files["gif87a_global.gif"] + b"odd" + files["gif89a_local.gif"],
        "animated": files["gif89a_animated.gif"],
        "joined_to_trailer": opening + chain + hidden_header(False) + chain + hidden_header(True) + chain + b"\0\x3B",
        "joined_running_out": opening + chain + hidden_header(True) + chain,
        "no_image": opening + b"\x01x\0" + b"\x21\xF9\x04\0\0\0\0\0\x3B" + SMALLEST_GIF,
        "cut": files["gif89a_local.gif"][:150] + SMALLEST_GIF[:20],
    }


def tiny_icon(kind, image, entry_fields=(1, 32)):
    directory = struct.pack("<HHH", 0, kind, 1)
    return directory + struct.pack("<BBBBHHII", 16, 16, 0, 0, entry_fields[0], entry_fields[1], len(image), 22) + image


def icon_seeds(files):
    small = grid(ring, 8, 8)
    dib, _ = dib_image(small, 4)
    png_head = b"\x89PNG\r\n\x1a\n" + struct.pack(">I", 13) + b"IHDR"
    packed = b""
    for u in range(40):
        packed += bytes([16, 16, 0, 0, 0, 0, 0, 0, 40 if u % 8 == 7 else 57, 0, 0, 0, 2, 0, 2, 0])
    return {
        "cursor": files["cursor.cur"],
        "icon_png": files["icon_png.ico"],
        "tiny_dib": b"\0\0" + tiny_icon(1, dib) + b"\0\0\0" + tiny_icon(2, dib, (3, 4)),
        "tiny_png": tiny_icon(1, png_head + bytes(41)) + tiny_icon(1, png_head + bytes(40)),
        "packed": packed + (png_head * 8),
        "zeros_and_heads": bytes(300) + b"\0\0\x01\0\x01\0" * 20 + bytes(50) + tiny_icon(1, dib),
    }


def main():
    outputs = {}
    for name, make in (("gif87a_global.gif", gif87a_global), ("gif89a_animated.gif", gif89a_animated),
                       ("gif89a_local.gif", gif89a_local_only)):
        data, frames = make()
        assert read_gif(data) == frames, name
        outputs[name] = data
    for name, make in (("icon_dib.ico", icon_dib), ("icon_png.ico", icon_png), ("cursor.cur", cursor)):
        data = make()
        read_icon(data)
        outputs[name] = data
    for name, data in outputs.items():
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)
        print(f"{name}: {len(data)} bytes")
    corpus = os.path.join(HERE, "..", "fuzz", "corpus")
    for kind, seeds in (("gif", gif_seeds(outputs)), ("ico", icon_seeds(outputs))):
        os.makedirs(os.path.join(corpus, kind), exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(corpus, kind, name), "wb") as f:
                f.write(data)
        print(f"fuzz/corpus/{kind}: {len(seeds)} seeds")


if __name__ == "__main__":
    main()
