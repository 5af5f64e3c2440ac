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
