#include "programs/PictureRules.h"

#include "support/ByteOrder.h"

namespace qx::programs_detail {

namespace {

constexpr std::int64_t kFileHeader = 14;
constexpr std::uint32_t kCoreHeader = 12;
constexpr std::uint32_t kShortestInfoHeader = 16;
constexpr std::uint32_t kInfoHeader = 40;
constexpr std::uint32_t kBitFields = 3;
constexpr std::uint32_t kAlphaBitFields = 6;

// A colour table holds 2^bits entries for 1 to 8 bits; none for 0 bits (a
// JPEG or PNG inside) or more than 8.
std::int64_t FullTable(std::uint16_t bits) { return bits >= 1 && bits <= 8 ? std::int64_t{1} << bits : 0; }

// Sizes in the icon directory are bytes; 256 and more are written as 0, as
// the format writes 256.
std::uint8_t DirectoryByte(std::int64_t value) { return value > 0 && value < 256 ? static_cast<std::uint8_t>(value) : 0; }

std::int64_t Magnitude(std::uint32_t stored) {
  const std::int64_t v = static_cast<std::int32_t>(stored);
  return v < 0 ? -v : v;
}

}  // namespace

std::int64_t BitmapPixelOffset(const std::uint8_t* head, std::int64_t size) {
  if (size < 4) return -1;
  const std::uint32_t headerSize = ReadLe32(head);
  if (headerSize > size) return -1;
  std::int64_t table = 0;
  std::int64_t masks = 0;
  if (headerSize == kCoreHeader) {
    table = 3 * FullTable(ReadLe16(head + 10));
  } else if (headerSize >= kShortestInfoHeader) {
    const std::uint16_t bits = ReadLe16(head + 14);
    // An OS/2 header shorter than 40 bytes leaves the later fields 0.
    const std::uint32_t compression = headerSize >= 20 ? ReadLe32(head + 16) : 0;
    const std::uint32_t used = headerSize >= 36 ? ReadLe32(head + 32) : 0;
    table = 4 * (used != 0 ? std::int64_t{used} : FullTable(bits));
    // Longer headers hold their masks themselves.
    if (headerSize == kInfoHeader) {
      if (compression == kBitFields) masks = 12;
      if (compression == kAlphaBitFields) masks = 16;
    }
  } else {
    return -1;
  }
  const std::int64_t offset = kFileHeader + headerSize + table + masks;
  return offset <= kFileHeader + size ? offset : -1;
}

bool ReadCursorImage(const std::uint8_t* head, std::int64_t size, CursorImage* image) {
  static constexpr std::uint8_t kPng[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  bool png = size >= 24;
  for (int k = 0; png && k < 8; ++k) png = head[k] == kPng[k];
  if (png) {
    if (head[12] != 'I' || head[13] != 'H' || head[14] != 'D' || head[15] != 'R') return false;
    *image = {DirectoryByte(ReadBe32(head + 16)), DirectoryByte(ReadBe32(head + 20)), 0};
    return true;
  }
  if (size < 4) return false;
  const std::uint32_t headerSize = ReadLe32(head);
  if (headerSize > size) return false;
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::uint16_t bits = 0;
  if (headerSize == kCoreHeader) {
    width = ReadLe16(head + 4);
    height = ReadLe16(head + 6);
    bits = ReadLe16(head + 10);
  } else if (headerSize >= kShortestInfoHeader) {
    width = Magnitude(ReadLe32(head + 4));
    height = Magnitude(ReadLe32(head + 8));
    bits = ReadLe16(head + 14);
  } else {
    return false;
  }
  // A cursor's DIB holds the image and its mask, one above the other.
  *image = {DirectoryByte(width), DirectoryByte(height / 2),
            DirectoryByte(bits < 8 ? FullTable(bits) : 0)};
  return true;
}

}  // namespace qx::programs_detail
