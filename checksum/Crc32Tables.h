// Slicing tables of the reflected CRC-32 (polynomial 0xEDB88320), computed at
// compile time and shared by every user, plus the register update that uses
// them. Table k maps a byte to the CRC-register contribution of that byte
// followed by k zero bytes, so sixteen bytes fold into the register with
// sixteen independent lookups instead of sixteen dependent ones.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "support/ByteOrder.h"

namespace qx {

inline constexpr std::uint32_t kCrc32Polynomial = 0xEDB88320u;
inline constexpr int kCrc32SliceCount = 16;

using Crc32SliceTables = std::array<std::array<std::uint32_t, 256>, kCrc32SliceCount>;

constexpr Crc32SliceTables MakeCrc32SliceTables() {
  Crc32SliceTables tables{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t v = n;
    for (int bit = 0; bit < 8; ++bit) {
      v = (v & 1u) != 0 ? (v >> 1) ^ kCrc32Polynomial : v >> 1;
    }
    tables[0][n] = v;
  }
  for (int k = 1; k < kCrc32SliceCount; ++k) {
    for (std::size_t n = 0; n < 256; ++n) {
      const std::uint32_t previous = tables[k - 1][n];
      tables[k][n] = (previous >> 8) ^ tables[0][previous & 0xFFu];
    }
  }
  return tables;
}

inline constexpr Crc32SliceTables kCrc32Slices = MakeCrc32SliceTables();

// Runs the bytes [p, p + count) through a reflected CRC-32 register (no
// initial value or final inversion applied here) and returns the register.
inline std::uint32_t Crc32UpdateSliced(std::uint32_t crc, const std::uint8_t* p,
                                       std::size_t count) {
  const auto& t = kCrc32Slices;
  const std::uint8_t* const blocksEnd = p + (count & ~static_cast<std::size_t>(15));
  while (p != blocksEnd) {
    const std::uint32_t w0 = ReadLe32(p) ^ crc;
    const std::uint32_t w1 = ReadLe32(p + 4);
    const std::uint32_t w2 = ReadLe32(p + 8);
    const std::uint32_t w3 = ReadLe32(p + 12);
    crc = t[15][w0 & 0xFFu] ^ t[14][(w0 >> 8) & 0xFFu] ^ t[13][(w0 >> 16) & 0xFFu] ^
          t[12][w0 >> 24] ^ t[11][w1 & 0xFFu] ^ t[10][(w1 >> 8) & 0xFFu] ^
          t[9][(w1 >> 16) & 0xFFu] ^ t[8][w1 >> 24] ^ t[7][w2 & 0xFFu] ^ t[6][(w2 >> 8) & 0xFFu] ^
          t[5][(w2 >> 16) & 0xFFu] ^ t[4][w2 >> 24] ^ t[3][w3 & 0xFFu] ^ t[2][(w3 >> 8) & 0xFFu] ^
          t[1][(w3 >> 16) & 0xFFu] ^ t[0][w3 >> 24];
    p += 16;
  }
  // Eight bytes of the rest in one step: ranges hashed from a nearby
  // register are often that short.
  if ((count & 8) != 0) {
    const std::uint32_t w0 = ReadLe32(p) ^ crc;
    const std::uint32_t w1 = ReadLe32(p + 4);
    crc = t[7][w0 & 0xFFu] ^ t[6][(w0 >> 8) & 0xFFu] ^ t[5][(w0 >> 16) & 0xFFu] ^ t[4][w0 >> 24] ^
          t[3][w1 & 0xFFu] ^ t[2][(w1 >> 8) & 0xFFu] ^ t[1][(w1 >> 16) & 0xFFu] ^ t[0][w1 >> 24];
    p += 8;
  }
  for (std::size_t rest = count & 7; rest != 0; --rest, ++p) {
    crc = (crc >> 8) ^ t[0][(crc ^ *p) & 0xFFu];
  }
  return crc;
}

}  // namespace qx
