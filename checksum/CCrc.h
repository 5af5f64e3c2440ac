// CCrc: CRC-16, CRC-32 and CRC-64 lookup tables (reflected form) and the
// optionally salted CRC-32 of a buffer, stored in the byte order PNG uses.
//
// Each table has 257 entries: 0-255 are the lookup table, 256 is its built
// marker (a build returns at once when the marker equals the polynomial).
#pragma once

#include <cstdint>

#include "checksum/CSalt.h"

class CCrc : public CSalt {
 public:
  CCrc();
  ~CCrc();

  // Build the table of their width with its fixed polynomial (0xA001,
  // 0xEDB88320, 0xD800000000000000); the argument does not change it.
  void Crc16_InitTable(std::uint16_t polynomial);
  void Crc32_InitTable(std::uint32_t polynomial);
  void Crc64_InitTable(std::uint64_t polynomial);

  // Salted CRC-32 of length bytes at data, stored through result with its
  // four bytes reversed: compared as a little-endian word, it equals the four
  // CRC bytes a PNG chunk stores. False when data or result is null, or when
  // a failure was caught.
  bool Crc32_GetFromBuffer(const std::uint8_t* data, std::uint32_t length,
                           std::uint32_t* result);

  std::uint16_t Crc16_Table[257];
  std::uint32_t Crc32_Table[257];
  std::uint64_t Crc64_Table[257];
};
