#include "output/Dimensions.h"

#include "support/ByteOrder.h"

namespace qx {
namespace {

bool IsFrameCode(std::uint8_t code) {
  return code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
}

}  // namespace

bool BitmapSize(const std::uint8_t* p, std::int64_t count, Size* size) {
  if (count < 18) return false;
  const std::uint32_t header = ReadLe32(p + 14);
  if (header == 12 && count >= 26) {
    *size = {ReadLe16(p + 18), ReadLe16(p + 20)};
    return true;
  }
  if (header < 40 || count < 26) return false;
  const auto width = static_cast<std::int32_t>(ReadLe32(p + 18));
  const auto height = static_cast<std::int32_t>(ReadLe32(p + 22));
  // A negative height is a bitmap stored top-down.
  *size = {width < 0 ? -static_cast<std::int64_t>(width) : width,
           height < 0 ? -static_cast<std::int64_t>(height) : height};
  return true;
}

bool JpegSize(const std::uint8_t* p, std::int64_t count, Size* size) {
  // The header's segments, from the one after the start marker, until the
  // frame header or the scan.
  for (std::int64_t at = 2; at + 4 <= count;) {
    if (p[at] != 0xFF) return false;
    const std::uint8_t code = p[at + 1];
    if (code == 0x01 || (code >= 0xD0 && code <= 0xD7)) {
      at += 2;
      continue;
    }
    if (code == 0xDA) return false;
    if (IsFrameCode(code)) {
      if (at + 9 > count) return false;
      *size = {ReadBe16(p + at + 7), ReadBe16(p + at + 5)};
      return true;
    }
    at += 2 + ReadBe16(p + at + 2);
  }
  return false;
}

bool PngSize(const std::uint8_t* p, std::int64_t count, Size* size) {
  if (count < 24 || ReadBe32(p + 12) != 0x49484452u) return false;  // IHDR first
  *size = {ReadBe32(p + 16), ReadBe32(p + 20)};
  return true;
}

bool GifSize(const std::uint8_t* p, std::int64_t count, Size* size) {
  if (count < 10) return false;
  *size = {ReadLe16(p + 6), ReadLe16(p + 8)};
  return true;
}

}  // namespace qx
