#include "reference_scanners.h"

#include "checksum/CCrc.h"
#include "support/ByteOrder.h"

namespace qx::testref {

ScanHits FindBitmapsReference(const std::uint8_t* data, std::int64_t length) {
  ScanHits hits;
  if (length <= 50) return hits;
  std::int64_t i = 0;
  while (i < length - 50) {
    const std::uint8_t* p = data + i;
    const std::uint32_t fileSize = ReadLe32(p + 2);
    const bool accepted = p[0] == 0x42 && p[1] == 0x4D && fileSize > 50 &&
                          i + std::int64_t{fileSize} <= length && ReadLe32(p + 10) < fileSize &&
                          ReadLe32(p + 14) >= 12 &&
                          i + 14 + std::int64_t{ReadLe32(p + 14)} <= length;
    if (accepted) {
      hits.emplace_back(i, fileSize);
      i += fileSize;
    } else {
      ++i;
    }
  }
  return hits;
}

namespace {

bool TypeIs(const std::uint8_t* p, const char* name) {
  return p[0] == static_cast<std::uint8_t>(name[0]) && p[1] == static_cast<std::uint8_t>(name[1]) &&
         p[2] == static_cast<std::uint8_t>(name[2]) && p[3] == static_cast<std::uint8_t>(name[3]);
}

// The chunk CRC one byte at a time from the object's own table, independent
// of the engine's faster path; stored byte-reversed like the engine does.
std::uint32_t ChunkCrc(const CCrc& crc, const std::uint8_t* p, std::uint32_t count) {
  std::uint32_t reg = 0xFFFFFFFFu;
  for (std::uint32_t n = 0; n < count; ++n)
    reg = (reg >> 8) ^ crc.Crc32_Table[(reg ^ p[n]) & 0xFFu];
  reg = ~reg;
  return (reg >> 24) | ((reg >> 8) & 0xFF00u) | ((reg << 8) & 0xFF0000u) | (reg << 24);
}

}  // namespace

ScanHits FindPngsReference(const std::uint8_t* data, std::int64_t length) {
  static const std::uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  ScanHits hits;
  if (length <= 50) return hits;
  // Its lookup table is all the object contributes, the same for every chunk.
  const CCrc crc;
  std::int64_t i = 0;
  while (i < length - 50) {
    bool signature = true;
    for (int k = 0; k < 8; ++k) signature = signature && data[i + k] == kSignature[k];
    if (!signature) {
      ++i;
      continue;
    }
    bool ihdr = false, idat = false, iend = false, crcError = false;
    std::int64_t j = i + 8;
    for (;;) {
      if (iend) break;
      if (j + 12 > length) break;
      const std::uint32_t dataLength = ReadBe32(data + j);
      const std::int64_t t = j + 4;
      if (TypeIs(data + t, "IHDR")) ihdr = true;
      if (TypeIs(data + t, "IDAT")) idat = true;
      if (TypeIs(data + t, "IEND")) iend = true;
      // The engine takes the type and data in one 32-bit count.
      const bool inside = t + 4 + std::int64_t{dataLength} + 4 <= length &&
                          std::uint64_t{dataLength} + 4 <= 0xFFFFFFFFu;
      if (inside) {
        if (ChunkCrc(crc, data + t, dataLength + 4) == ReadLe32(data + t + 4 + dataLength)) {
          j = t + 4 + dataLength + 4;
        } else {
          crcError = true;
        }
      } else {
        j = t;
      }
      if (crcError) break;
    }
    if (!crcError && ihdr && idat && iend) {
      hits.emplace_back(i, j - i);
      i = j;
    } else {
      ++i;
    }
  }
  return hits;
}

}  // namespace qx::testref

namespace qx::testref {

namespace {

// Bytes read through bounds checks: -1 outside.
struct Bounded {
  const std::uint8_t* data;
  std::int64_t length;
  int operator[](std::int64_t pos) const { return pos >= 0 && pos < length ? data[pos] : -1; }
};

// The bytes of a colour table whose flag and size are in `packed`.
std::int64_t ColourTable(int packed) { return (packed & 0x80) ? 3 * (std::int64_t{2} << (packed & 7)) : 0; }

// The sub-blocks from `pos` up to and including the zero-size one: the
// position after it, or -1 when the bytes run out first.
std::int64_t SkipSubBlocks(const Bounded& b, std::int64_t pos) {
  for (;;) {
    const int size = b[pos];
    if (size < 0) return -1;
    if (size == 0) return pos + 1;
    pos += 1 + size;
  }
}

// The GIF whose signature is at i: its end (after the trailer), or -1.
std::int64_t GifEnd(const Bounded& b, std::int64_t i) {
  const char* const versions[] = {"GIF87a", "GIF89a"};
  bool signature = false;
  for (const char* v : versions) {
    bool same = true;
    for (int k = 0; k < 6; ++k) same = same && b[i + k] == static_cast<std::uint8_t>(v[k]);
    signature = signature || same;
  }
  if (!signature || b[i + 12] < 0) return -1;
  std::int64_t pos = i + 13 + ColourTable(b[i + 10]);
  int images = 0;
  for (;;) {
    const int introducer = b[pos];
    if (introducer == 0x3B) return images > 0 ? pos + 1 : -1;
    if (introducer == 0x21) {
      const int label = b[pos + 1];
      const int first = b[pos + 2];
      if (first < 0) return -1;
      if (label == 0xF9 && (first != 4 || b[pos + 7] != 0)) return -1;
      if (label == 0x01 && first != 12) return -1;
      if (label == 0xFF && first != 11) return -1;
      pos = SkipSubBlocks(b, pos + 2);
    } else if (introducer == 0x2C) {
      const int packed = b[pos + 9];
      if (packed < 0) return -1;
      const std::int64_t code = pos + 10 + ColourTable(packed);
      if (b[code] < 2 || b[code] > 8 || b[code + 1] <= 0) return -1;
      ++images;
      pos = SkipSubBlocks(b, code + 1);
    } else {
      return -1;
    }
    if (pos < 0) return -1;
  }
}

std::uint32_t Le16(const Bounded& b, std::int64_t pos) {
  return static_cast<std::uint32_t>(b[pos]) | static_cast<std::uint32_t>(b[pos + 1]) << 8;
}
std::uint32_t Le32(const Bounded& b, std::int64_t pos) { return Le16(b, pos) | Le16(b, pos + 2) << 16; }

// An image of `size` bytes at q, inside the bytes: a PNG signature and IHDR
// header, or a bitmap information header for an icon that the size holds.
bool IconImage(const Bounded& b, std::int64_t q, std::uint32_t size) {
  static const int kPng[16] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
  bool png = true;
  for (int k = 0; k < 8; ++k) png = png && b[q + k] == kPng[k];
  if (png) {
    for (int k = 8; k < 16; ++k) png = png && b[q + k] == kPng[k];
    return png && size >= 57;
  }
  const std::uint32_t header = Le32(b, q);
  const std::uint32_t width = Le32(b, q + 4);
  const std::uint32_t height = Le32(b, q + 8);
  const std::uint32_t planes = Le16(b, q + 12);
  const std::uint32_t depth = Le16(b, q + 14);
  const std::uint32_t compression = Le32(b, q + 16);
  const std::uint32_t used = Le32(b, q + 32);
  if (header != 40 && header != 108 && header != 124) return false;
  if (width == 0 || width > 256 || height == 0 || height > 512 || planes != 1) return false;
  if (depth != 1 && depth != 4 && depth != 8 && depth != 16 && depth != 24 && depth != 32) return false;
  if (compression != 0 && !(compression == 3 && (depth == 16 || depth == 32))) return false;
  const std::uint32_t palette = depth <= 8 ? 1u << depth : 0;
  if (used > (depth <= 8 ? palette : 256)) return false;
  std::uint64_t need = header + 4 * (used != 0 ? used : palette);
  if (compression == 3 && header == 40) need += 12;
  const std::uint64_t rowBits = std::uint64_t{width} * depth;
  need += (rowBits + 31) / 32 * 4 * ((height + 1) / 2);
  return need <= size;
}

// The directory at d: the end of its last image, or -1.
std::int64_t IconEnd(const Bounded& b, std::int64_t d) {
  if (b[d + 5] < 0) return -1;
  const std::uint32_t type = Le16(b, d + 2);
  const std::uint32_t count = Le16(b, d + 4);
  if (Le16(b, d) != 0 || (type != 1 && type != 2) || count == 0 || count > 64) return -1;
  const std::int64_t directory = 6 + 16 * std::int64_t{count};
  if (d + directory > b.length) return -1;
  std::int64_t end = -1;
  for (std::uint32_t k = 0; k < count; ++k) {
    const std::int64_t e = d + 6 + 16 * std::int64_t{k};
    if (type == 1) {
      const std::uint32_t planes = Le16(b, e + 4);
      const std::uint32_t bits = Le16(b, e + 6);
      const bool depth = bits == 0 || bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16 ||
                         bits == 24 || bits == 32;
      if (planes > 1 || !depth) return -1;
    }
    const std::uint32_t size = Le32(b, e + 8);
    const std::uint32_t offset = Le32(b, e + 12);
    if (size < 40 || offset < directory || d + offset + size > b.length) return -1;
    if (!IconImage(b, d + offset, size)) return -1;
    if (d + offset + size > end) end = d + offset + size;
  }
  return end;
}

template <class End>
ScanHits EveryStart(const std::uint8_t* data, std::int64_t length, End endAt) {
  ScanHits hits;
  const Bounded b{data, length};
  std::int64_t i = 0;
  while (i < length) {
    const std::int64_t end = endAt(b, i);
    if (end > i) {
      hits.emplace_back(i, end - i);
      i = end;
    } else {
      ++i;
    }
  }
  return hits;
}

}  // namespace

ScanHits FindGifsReference(const std::uint8_t* data, std::int64_t length) {
  return EveryStart(data, length, GifEnd);
}

ScanHits FindIconsReference(const std::uint8_t* data, std::int64_t length) {
  return EveryStart(data, length, IconEnd);
}

}  // namespace qx::testref
