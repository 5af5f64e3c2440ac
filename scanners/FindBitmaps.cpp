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

}  // namespace

void FindBitmaps(const std::uint8_t* data, std::int64_t length, const HitCallback& onHit) {
  if (data == nullptr || length <= kTail) return;
  const std::int64_t end = length - kTail;
  std::int64_t i = 0;
  while (i < end) {
    // data[end] lies inside the buffer: end is 50 bytes short of it.
    i = FindPair(data, i, end, 'B', 'M');
    if (i == end) return;
    if (const std::uint32_t fileSize = Accepted(data + i, i, length); fileSize != 0) {
      onHit(i, fileSize);
      // Nothing inside an accepted bitmap is examined.
      i += fileSize;
      continue;
    }
    ++i;
  }
}

void FindBitmapsIn(ByteSource& source, const HitCallback& onHit, const ScanLimits& limits) {
  if (limits.peakBytes != nullptr) *limits.peakBytes = 0;  // no side tables
  const std::int64_t length = source.Length();
  if (length <= kTail) return;
  const std::int64_t end = length - kTail;
  SlotReader reader(source, 0);
  std::int64_t i = 0;
  while (i < end) {
    std::int64_t viewEnd = 0;
    const std::uint8_t* p = reader.View(i, &viewEnd);
    // FindPair reads the byte at its end: within this view, up to its last
    // byte but one; a pair starting there is met by the next view.
    const std::int64_t stop = viewEnd - 1 < end ? viewEnd - 1 : end;
    const std::int64_t found = i + FindPair(p, 0, stop - i, 'B', 'M');
    if (found == stop) {
      i = stop;
      continue;
    }
    i = found;
    std::uint8_t header[kHeaderBytes];
    reader.Copy(i, kHeaderBytes, header);
    if (const std::uint32_t fileSize = Accepted(header, i, length); fileSize != 0) {
      onHit(i, fileSize);
      i += fileSize;
      continue;
    }
    ++i;
  }
}

}  // namespace qx
