// Bitmap search: one scan, over a span or through a source's views.
#include "scanners/ByteSearch.h"
#include "scanners/Scanners.h"
#include "scanners/SourceScanners.h"
#include "support/ByteOrder.h"
#include "support/SlotReader.h"

namespace qx {

namespace {

// The header tests read up to 17 bytes past the candidate, and candidates
// start only below length - 50.
constexpr std::int64_t kTail = 50;
constexpr std::int64_t kHeaderBytes = 18;
constexpr std::uint32_t kMinFileSize = 51;
constexpr std::uint32_t kMinInfoHeaderSize = 12;

// The candidate at i whose 18 header bytes are at h ("BM" at h[0] already
// seen): its file size when accepted, else 0. Each field is read once.
inline std::uint32_t Accepted(const std::uint8_t* h, std::int64_t i, std::int64_t length) {
  if (h[1] != 'M') return 0;
  const std::uint32_t fileSize = ReadLe32(h + 2);
  if (fileSize < kMinFileSize || i + static_cast<std::int64_t>(fileSize) > length) return 0;
  if (ReadLe32(h + 10) >= fileSize) return 0;
  const std::uint32_t infoSize = ReadLe32(h + 14);
  // The information header is bounded by the buffer, not by the bitmap's
  // own size.
  if (infoSize < kMinInfoHeaderSize || i + 14 + static_cast<std::int64_t>(infoSize) > length) {
    return 0;
  }
  return fileSize;
}

template <class Reader>
void Scan(Reader& reader, const HitCallback& onHit) {
  const std::int64_t length = reader.Length();
  const std::int64_t end = length - kTail;
  std::int64_t i = 0;
  while (i < end) {
    // The byte at end lies inside: end is 50 bytes short of the length.
    i = FindPairIn(reader, i, end, 'B', 'M');
    if (i == end) return;
    std::uint8_t scratch[kHeaderBytes];
    const std::uint8_t* header = reader.Fields(i, kHeaderBytes, scratch);
    if (const std::uint32_t fileSize = Accepted(header, i, length); fileSize != 0) {
      onHit(i, fileSize);
      // Nothing inside an accepted bitmap is examined.
      i += fileSize;
      continue;
    }
    ++i;
  }
}

}  // namespace

void FindBitmaps(const std::uint8_t* data, std::int64_t length, const HitCallback& onHit) {
  if (data == nullptr || length <= kTail) return;
  SpanReader reader(data, length);
  Scan(reader, onHit);
}

void FindBitmapsIn(ByteSource& source, const HitCallback& onHit, const ScanLimits& limits) {
  if (limits.peakBytes != nullptr) *limits.peakBytes = 0;  // no side tables
  if (source.Length() <= kTail) return;
  SlotReader reader(source, 0);
  Scan(reader, onHit);
}

}  // namespace qx
