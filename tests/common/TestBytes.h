// Bytes the tests of every module make the same way: the CRC-32 by its
// definition (bit by bit, no table, so that it checks the engine's tables
// rather than repeating them), and the smallest bitmap file the searches
// accept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qx::testbytes {

// The standard CRC-32 (reflected, 0xEDB88320, all ones in and out) of the n
// bytes at p.
std::uint32_t BitwiseCrc32(const std::uint8_t* p, std::size_t n);

// A bitmap file of `size` bytes (at least 26): "BM", the size, the pixel
// offset 26, a 12-byte information header, then `fill` up to the size.
std::string Bitmap(std::uint32_t size, char fill);

}  // namespace qx::testbytes
