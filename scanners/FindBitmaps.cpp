#include "scanners/ByteSearch.h"
#include "scanners/Scanners.h"
#include "support/ByteOrder.h"

namespace qx {

namespace {

// The header tests read up to 17 bytes past the candidate, and candidates
// start only below length - 50.
constexpr std::int64_t kTail = 50;
constexpr std::uint32_t kMinFileSize = 51;
constexpr std::uint32_t kMinInfoHeaderSize = 12;

}  // namespace

void FindBitmaps(const std::uint8_t* data, std::int64_t length, const HitCallback& onHit) {
  if (data == nullptr || length <= kTail) return;
  const std::int64_t end = length - kTail;
  std::int64_t i = 0;
  while (i < end) {
    i = FindByte(data, i, end, 'B');
    if (i == end) return;
    const std::uint8_t* const p = data + i;
    if (p[1] == 'M') {
      const std::uint32_t fileSize = ReadLe32(p + 2);
      if (fileSize >= kMinFileSize && i + static_cast<std::int64_t>(fileSize) <= length &&
          ReadLe32(p + 10) < fileSize) {
        const std::uint32_t infoSize = ReadLe32(p + 14);
        // The information header is bounded by the buffer, not by the
        // bitmap's own size.
        if (infoSize >= kMinInfoHeaderSize &&
            i + 14 + static_cast<std::int64_t>(infoSize) <= length) {
          onHit(i, fileSize);
          // Nothing inside an accepted bitmap is examined.
          i += fileSize;
          continue;
        }
      }
    }
    ++i;
  }
}

}  // namespace qx
