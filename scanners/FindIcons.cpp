// The icon and cursor search.
//
// A candidate is a directory at d: reserved 0 (16 bits), type 1 (icon) or 2
// (cursor), a count of 1 to kMaxImages images, then one 16-byte entry per
// image. Each entry must describe an image that lies inside the bytes after
// the directory and its entries, of at least kMinImageBytes, and that image
// must begin with
//  - a PNG signature followed by the IHDR chunk's header (length 13), in an
//    image of at least 57 bytes (signature, IHDR, one IDAT and IEND); or
//  - a bitmap information header of 40, 108 or 124 bytes (the headers that
//    share the first fields) that makes sense for an icon: width 1 to 256,
//    height (which counts the colour and the mask rows) 1 to 512, one plane,
//    1, 4, 8, 16, 24 or 32 bits per pixel, no compression (or bit fields at
//    16 and 32 bits), at most as many palette colours as the depth allows
//    (256 beyond 8 bits), and an image size that holds the header, the
//    masks of bit fields, the palette and the colour rows (half the height).
// For icons the entry's planes must be 0 or 1 and its bit count one of 0, 1,
// 2, 4, 8, 16, 24 or 32; for cursors these are the hot spot, any value. The
// entry's width, height, colour count and reserved byte are not checked: the
// loader takes them from the image, and writers leave them zero or wrong.
// The icon ends where its last image ends (the largest offset + size); the
// scan goes on there, or one byte on after a rejected candidate.
//
// kMaxImages (64): an icon holds one image per size and depth, and even a
// full set (16 to 256 pixels in nine sizes, three depths each) has fewer
// than 30. The bound is also what keeps the search linear: a candidate costs
// at most that many entries and images, whatever its bytes. The entries are
// checked first, all of them, so that a candidate is mostly rejected before
// any image far away is read; then the images, each read once.
//
// Directories are found by their first six bytes (00 00, 01 or 02, 00, a
// count of 1 to 255): sixteen positions at a time with SSE2, so that long
// runs of zeros cost little more than other bytes, and 32 bytes without a
// zero at once.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "scanners/Scanners.h"
#include "scanners/SourceScanners.h"
#include "support/SlotReader.h"
#include "support/ByteOrder.h"

namespace qx {

namespace {

constexpr std::int64_t kDirectoryBytes = 6;
constexpr std::int64_t kEntryBytes = 16;
constexpr unsigned kMaxImages = 64;
constexpr std::uint32_t kMinImageBytes = 40;  // the smallest information header
constexpr std::uint32_t kMinPngBytes = 8 + 25 + 12 + 12;
constexpr std::int64_t kImageHeaderBytes = 36;  // all an image's checks read
constexpr std::int64_t kMinIcon = kDirectoryBytes + kEntryBytes + kMinImageBytes;
// The directory finder reads five bytes past each position it tests.
constexpr std::int64_t kFinderReach = 5;

constexpr std::uint8_t kPngSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

// First p in [from, end) whose bytes p..p+5 read 00 00, 01 or 02, 00, a byte
// other than 0, 00; or end. data[end + kFinderReach - 1] must be readable.
// A directory starts with a zero byte, which ordinary bytes seldom hold
// (text never), and seldom two in a row: a stretch of 32 positions without
// a zero costs two loads, one without two zeros in a row one more, and only
// the others are tested sixteen positions at a time.
inline std::int64_t FindDirectory(const std::uint8_t* data, std::int64_t from, std::int64_t end) {
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i one = _mm_set1_epi8(1);
  const __m128i two = _mm_set1_epi8(2);
  const auto load = [&](std::int64_t at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
  };
  // The 16 positions from `at`: reads [at, at + 20], within data[end + 4].
  const auto heads = [&](std::int64_t at) {
    const __m128i type = load(at + 2);
    const __m128i zeros = _mm_or_si128(_mm_or_si128(load(at), load(at + 1)), _mm_or_si128(load(at + 3), load(at + 5)));
    const __m128i hit = _mm_andnot_si128(
        _mm_cmpeq_epi8(load(at + 4), zero),
        _mm_and_si128(_mm_cmpeq_epi8(zeros, zero),
                      _mm_or_si128(_mm_cmpeq_epi8(type, one), _mm_cmpeq_epi8(type, two))));
    return _mm_movemask_epi8(hit);
  };
  const auto zeroMask = [&](const __m128i& v) {
    return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)));
  };
  // Each step reads [from, from + 47], within data[end + 4].
  for (; end - from >= 48; from += 32) {
    const __m128i low = load(from);
    const __m128i high = load(from + 16);
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(low, high), zero)) == 0) continue;
    // Bit k of `zeros`: byte from + k is zero; a directory needs two in a row.
    const std::uint64_t zeros = zeroMask(low) | std::uint64_t{zeroMask(high)} << 16 |
                                std::uint64_t{zeroMask(load(from + 32))} << 32;
    if ((zeros & (zeros >> 1) & 0xFFFFFFFFu) == 0) continue;
    for (const std::int64_t at : {from, from + 16}) {
      const int found = heads(at);
      if (found != 0) return at + std::countr_zero(static_cast<unsigned>(found));
    }
  }
  for (; end - from >= 16; from += 16) {
    const int found = heads(from);
    if (found != 0) return from + std::countr_zero(static_cast<unsigned>(found));
  }
#endif
  for (; from < end; ++from) {
    const std::uint8_t* p = data + from;
    if ((p[0] | p[1] | p[3] | p[5]) == 0 && (p[2] == 1 || p[2] == 2) && p[4] != 0) return from;
  }
  return end;
}

bool IsDepth(std::uint16_t bits) {
  switch (bits) {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
      return true;
    default:
      return false;
  }
}

// The first kImageHeaderBytes of an image of `size` bytes (at least
// kMinImageBytes): whether it is a PNG or a bitmap that fits, as above.
bool ImageFits(const std::uint8_t* h, std::uint32_t size) {
  if (std::memcmp(h, kPngSignature, sizeof kPngSignature) == 0) {
    return size >= kMinPngBytes && ReadBe32(h + 8) == 13 && std::memcmp(h + 12, "IHDR", 4) == 0;
  }
  const std::uint32_t headerSize = ReadLe32(h);
  if (headerSize != 40 && headerSize != 108 && headerSize != 124) return false;
  const std::uint32_t width = ReadLe32(h + 4);
  const std::uint32_t height = ReadLe32(h + 8);  // unsigned: a top-down (negative) one is huge
  if (width < 1 || width > 256 || height < 1 || height > 512) return false;
  if (ReadLe16(h + 12) != 1) return false;
  const std::uint16_t depth = ReadLe16(h + 14);
  if (!IsDepth(depth)) return false;
  const std::uint32_t compression = ReadLe32(h + 16);
  const bool bitFields = compression == 3 && (depth == 16 || depth == 32);
  if (compression != 0 && !bitFields) return false;
  const std::uint32_t used = ReadLe32(h + 32);
  const std::uint32_t most = depth <= 8 ? 1u << depth : 256u;
  if (used > most) return false;
  const std::uint32_t colours = used != 0 ? used : (depth <= 8 ? 1u << depth : 0u);
  const std::int64_t masks = bitFields && headerSize == 40 ? 12 : 0;
  const std::int64_t stride = (std::int64_t{width} * depth + 31) / 32 * 4;
  const std::int64_t need = headerSize + masks + 4 * std::int64_t{colours} + stride * ((height + 1) / 2);
  return need <= size;
}

// How the search reads (support/SlotReader.h): the scan and the directories through
// one reader, the entries through another and the images, which may lie far
// away, through a third, so that none of them moves the others' views.
template <class Reader>
class IconJudge {
 public:
  IconJudge(Reader& entries, Reader& images)
      : entries_(entries), images_(images), length_(entries.Length()) {}

  // The directory at d whose first six bytes are `head` (read again after
  // the finder's look, so checked whole): the icon's end, or -1 when it is
  // rejected.
  std::int64_t Judge(std::int64_t d, const std::uint8_t* head) {
    const std::uint16_t reserved = ReadLe16(head);
    const std::uint16_t type = ReadLe16(head + 2);
    const std::uint16_t count = ReadLe16(head + 4);
    if (reserved != 0 || (type != 1 && type != 2) || count < 1 || count > kMaxImages) return -1;
    const std::int64_t entriesEnd = d + kDirectoryBytes + kEntryBytes * count;
    if (entriesEnd > length_) return -1;
    const std::int64_t room = length_ - d;  // bytes from the directory on
    std::int64_t end = 0;
    for (unsigned k = 0; k < count; ++k) {
      std::uint8_t e[kEntryBytes] = {};
      entries_.Copy(d + kDirectoryBytes + kEntryBytes * k, kEntryBytes, e);
      if (type == 1) {
        const std::uint16_t planes = ReadLe16(e + 4);
        const std::uint16_t bits = ReadLe16(e + 6);
        if (planes > 1 || (bits != 0 && bits != 2 && !IsDepth(bits))) return -1;
      }
      const std::uint32_t size = ReadLe32(e + 8);
      const std::uint32_t offset = ReadLe32(e + 12);
      if (size < kMinImageBytes || offset < entriesEnd - d) return -1;
      // Both below 2^32: the sum cannot overflow.
      const std::int64_t imageEnd = std::int64_t{offset} + size;
      if (imageEnd > room) return -1;
      offsets_[k] = offset;
      sizes_[k] = size;
      end = std::max(end, imageEnd);
    }
    for (unsigned k = 0; k < count; ++k) {
      std::uint8_t h[kImageHeaderBytes] = {};
      images_.Copy(d + offsets_[k], kImageHeaderBytes, h);
      if (!ImageFits(h, sizes_[k])) return -1;
    }
    return d + end;
  }

 private:
  Reader& entries_;
  Reader& images_;
  std::int64_t length_;
  std::uint32_t offsets_[kMaxImages] = {};
  std::uint32_t sizes_[kMaxImages] = {};
};

template <class Reader>
void ScanIcons(Reader& scan, IconJudge<Reader>& judge, const IconHitCallback& onHit) {
  const std::int64_t length = scan.Length();
  if (length < kMinIcon) return;
  const std::int64_t last = length - kMinIcon + 1;  // candidates start below this
  std::int64_t i = 0;
  while (i < last) {
    std::int64_t viewEnd = 0;
    const std::uint8_t* p = scan.View(i, &viewEnd);
    // The finder reads kFinderReach bytes past the positions it tests: within
    // this view; a directory starting later is met by the next view.
    const std::int64_t stop = std::min(viewEnd - kFinderReach, last);
    const std::int64_t found = i + FindDirectory(p, 0, stop - i);
    if (found == stop) {
      i = stop;
      continue;
    }
    i = found;
    std::uint8_t head[kDirectoryBytes] = {};
    scan.Copy(i, kDirectoryBytes, head);
    const std::int64_t end = judge.Judge(i, head);
    if (end > i) {
      onHit(i, end - i, ReadLe16(head + 2) == 2);
      i = end;
      continue;
    }
    ++i;
  }
}

}  // namespace

void FindIcons(const std::uint8_t* data, std::int64_t length, const HitCallback& onHit) {
  FindIconFiles(data, length, [&](std::int64_t start, std::int64_t count, bool) { onHit(start, count); });
}

void FindIconsIn(ByteSource& source, const HitCallback& onHit, const ScanLimits& limits) {
  FindIconFilesIn(source, [&](std::int64_t start, std::int64_t count, bool) { onHit(start, count); }, limits);
}

void FindIconFiles(const std::uint8_t* data, std::int64_t length, const IconHitCallback& onHit) {
  if (data == nullptr || length < kMinIcon) return;
  SpanReader bytes(data, length);
  IconJudge<SpanReader> judge(bytes, bytes);
  ScanIcons(bytes, judge, onHit);
}

void FindIconFilesIn(ByteSource& source, const IconHitCallback& onHit, const ScanLimits& limits) {
  if (limits.peakBytes != nullptr) *limits.peakBytes = 0;  // no side tables
  if (source.Length() < kMinIcon) return;
  SlotReader scan(source, 0);
  SlotReader entries(source, 1);
  SlotReader images(source, 2);
  IconJudge<SlotReader> judge(entries, images);
  ScanIcons(scan, judge, onHit);
}

}  // namespace qx
