#include "common/TestBytes.h"

namespace qx::testbytes {
namespace {

void PutLe32(std::string& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + static_cast<std::size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

}  // namespace

std::uint32_t BitwiseCrc32(const std::uint8_t* p, std::size_t n) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t k = 0; k < n; ++k) {
    crc ^= p[k];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

std::string Bitmap(std::uint32_t size, char fill) {
  std::string bytes(size, fill);
  bytes[0] = 'B';
  bytes[1] = 'M';
  PutLe32(bytes, 2, size);
  PutLe32(bytes, 6, 0);
  PutLe32(bytes, 10, 26);
  PutLe32(bytes, 14, 12);
  return bytes;
}

}  // namespace qx::testbytes
