// What the rebuilt files' headers take from the resources' own bytes: a
// bitmap's pixel-data offset, a cursor image's size and colours (the rules
// are stated in ProgramImages.h).
#pragma once

#include <cstdint>

namespace qx::programs_detail {

// Bytes of a resource read to judge it: a bitmap's longest header field
// (biClrUsed ends at 36) and a PNG's IHDR size fields (they end at 24).
inline constexpr std::int64_t kHeadBytes = 40;

// The pixel-data offset of the .bmp file made of a 14-byte file header and a
// DIB resource of `size` bytes whose first min(size, kHeadBytes) bytes are
// `head`; -1 when that resource is not written.
std::int64_t BitmapPixelOffset(const std::uint8_t* head, std::int64_t size);

struct CursorImage {
  std::uint8_t width;
  std::uint8_t height;
  std::uint8_t colours;
};

// The directory fields of a cursor image of `size` bytes (the resource after
// its hot spot) whose first min(size, kHeadBytes) bytes are `head`; false
// when it is neither a DIB nor a PNG with an IHDR.
bool ReadCursorImage(const std::uint8_t* head, std::int64_t size, CursorImage* image);

}  // namespace qx::programs_detail
