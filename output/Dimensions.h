// The width and height an image's own header states, for the report.
#pragma once

#include <cstdint>


namespace qx {

struct Size {
  std::int64_t width = 0;
  std::int64_t height = 0;
};

// How many of an image's first bytes Dimensions needs at most.
inline constexpr std::int64_t kDimensionBytes = 64 << 10;

// From the first `count` bytes of an image: a bitmap's information header,
// a JPEG's frame header (the first SOF segment among the header's), a PNG's
// IHDR. False when they do not say.
bool BitmapSize(const std::uint8_t* bytes, std::int64_t count, Size* size);
bool JpegSize(const std::uint8_t* bytes, std::int64_t count, Size* size);
bool PngSize(const std::uint8_t* bytes, std::int64_t count, Size* size);
// A GIF's logical screen.
bool GifSize(const std::uint8_t* bytes, std::int64_t count, Size* size);

}  // namespace qx
