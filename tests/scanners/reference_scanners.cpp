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
