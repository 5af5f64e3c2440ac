// CSalt: the optional salt of a checksum, run through the CRC before the
// data, after it, or both. The object owns its salt array.
#pragma once

#include <cstdint>

class CSalt {
 public:
  CSalt();
  ~CSalt();
  CSalt(const CSalt&) = delete;
  CSalt& operator=(const CSalt&) = delete;

  // 0 nowhere, 1 before the data, 2 after it, 3 both; other values act as 0.
  std::int32_t Salt_Mode;
  // Number of salt bytes; 0 means no salt whatever Salt_Mode says.
  std::uint32_t Salt_Length;
  // The salt bytes (new[]-allocated, owned, released by the destructor).
  std::uint8_t* Salt_Data;
};
