#include "reference_scanners.h"

#include <vector>

#include "checksum/CCrc.h"
#include "support/ByteOrder.h"

namespace qx::testref {

namespace {

// One allowed combination of a strict bitmap's header fields.
struct BitmapForm {
  std::uint32_t compression;
  std::uint32_t bits;
  bool plainRows;
};

// What each information-header size allows.
std::vector<BitmapForm> FormsFor(std::uint32_t infoSize) {
  std::vector<BitmapForm> forms;
  const std::uint32_t counts[] = {1, 4, 8, 16, 24, 32};
  if (infoSize == 12) {
    for (std::uint32_t bits : {1u, 4u, 8u, 24u}) forms.push_back({0, bits, true});
    return forms;
  }
  for (std::uint32_t bits : counts) forms.push_back({0, bits, true});
  forms.push_back({1, 8, false});
  forms.push_back({2, 4, false});
  if (infoSize == 64) {
    forms.push_back({3, 1, false});
    forms.push_back({4, 24, false});
    return forms;
  }
  if (infoSize != 40 && infoSize != 52 && infoSize != 56 && infoSize != 108 && infoSize != 124) return {};
  for (std::uint32_t compression : {3u, 6u}) {
    forms.push_back({compression, 16, true});
    forms.push_back({compression, 32, true});
  }
  for (std::uint32_t compression : {4u, 5u}) {
    forms.push_back({compression, 0, false});
    for (std::uint32_t bits : counts) forms.push_back({compression, bits, false});
  }
  return forms;
}

bool PlausibleBitmap(const std::uint8_t* p, std::uint32_t fileSize) {
  const std::uint32_t offset = ReadLe32(p + 10);
  const std::uint32_t infoSize = ReadLe32(p + 14);
  const std::vector<BitmapForm> forms = FormsFor(infoSize);
  if (forms.empty() || offset < 14 + infoSize) return false;
  std::int64_t width = 0, height = 0;
  std::uint32_t planes = 0, bits = 0, compression = 0, used = 0;
  if (infoSize == 12) {
    width = ReadLe16(p + 18);
    height = ReadLe16(p + 20);
    planes = ReadLe16(p + 22);
    bits = ReadLe16(p + 24);
  } else {
    width = static_cast<std::int32_t>(ReadLe32(p + 18));
    height = static_cast<std::int32_t>(ReadLe32(p + 22));
    planes = ReadLe16(p + 26);
    bits = ReadLe16(p + 28);
    compression = ReadLe32(p + 30);
    used = ReadLe32(p + 46);
  }
  const BitmapForm* form = nullptr;
  for (const BitmapForm& f : forms) {
    if (f.compression == compression && f.bits == bits) form = &f;
  }
  if (form == nullptr || planes != 1 || width <= 0 || height == 0) return false;
  if (height < 0 && !form->plainRows) return false;
  // The headers, the masks after a 40-byte one, the colour table.
  std::int64_t headers = 14 + std::int64_t{infoSize};
  if (infoSize == 40 && compression == 3) headers += 12;
  if (infoSize == 40 && compression == 6) headers += 16;
  std::int64_t colours = 0;
  if (infoSize == 12) {
    if (bits <= 8) colours = std::int64_t{1} << bits;
    headers += 3 * colours;
  } else {
    if (used != 0) {
      colours = used;
    } else if (bits >= 1 && bits <= 8) {
      colours = std::int64_t{1} << bits;
    }
    headers += 4 * colours;
  }
  if (headers > offset) return false;
  if (!form->plainRows) return true;
  // Row by row, as an integer of any size would: stop as soon as they exceed.
  const std::int64_t rowBytes = (width * bits + 31) / 32 * 4;
  const std::int64_t rows = height < 0 ? -height : height;
  const std::int64_t room = std::int64_t{fileSize} - offset;
  return rows <= room / rowBytes;
}

}  // namespace

ScanHits FindBitmapsReference(const std::uint8_t* data, std::int64_t length, bool strict) {
  ScanHits hits;
  if (length <= 50) return hits;
  std::int64_t i = 0;
  while (i < length - 50) {
    const std::uint8_t* p = data + i;
    const std::uint32_t fileSize = ReadLe32(p + 2);
    const bool accepted = p[0] == 0x42 && p[1] == 0x4D && fileSize > 50 &&
                          i + std::int64_t{fileSize} <= length && ReadLe32(p + 10) < fileSize &&
                          ReadLe32(p + 14) >= 12 &&
                          i + 14 + std::int64_t{ReadLe32(p + 14)} <= length &&
                          (!strict || PlausibleBitmap(p, fileSize));
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

// The 13 bytes of an IHDR chunk's data, by the format's table of allowed
// bit depths per colour type.
bool ValidIhdr(const std::uint8_t* d) {
  const std::uint32_t width = ReadBe32(d);
  const std::uint32_t height = ReadBe32(d + 4);
  if (width < 1 || width > 2147483647u || height < 1 || height > 2147483647u) return false;
  const std::vector<std::pair<int, std::vector<int>>> allowed = {
      {0, {1, 2, 4, 8, 16}}, {2, {8, 16}}, {3, {1, 2, 4, 8}}, {4, {8, 16}}, {6, {8, 16}}};
  bool pair = false;
  for (const auto& [colour, depths] : allowed) {
    for (int depth : depths) pair = pair || (d[9] == colour && d[8] == depth);
  }
  return pair && d[10] == 0 && d[11] == 0 && (d[12] == 0 || d[12] == 1);
}

ScanHits FindPngsReference(const std::uint8_t* data, std::int64_t length, bool strict) {
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
      if (TypeIs(data + t, "IHDR") &&
          (!strict || (dataLength == 13 && t + 4 + 13 <= length && ValidIhdr(data + t + 4)))) {
        ihdr = true;
      }
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
