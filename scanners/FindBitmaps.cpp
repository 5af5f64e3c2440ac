// Bitmap search: one scan, over a span or through a source's views.
//
// A candidate is "BM" whose file header passes the tests of Scanners.h. With
// ScanLimits::strict it must also be a plausible bitmap, by the format's
// definition of its headers (little-endian fields, offsets from the "B"):
//  - information-header size (14) one of 12 (core), 40, 52, 56, 108, 124
//    (Windows), 64 (OS/2 2.x);
//  - one plane; width and height not zero: the core header's are 16-bit
//    unsigned, the others' 32-bit signed, width above zero and height below
//    zero (rows stored top-down) only where the rows are uncompressed;
//  - bit count and compression: core 1, 4, 8 or 24, uncompressed. Windows
//    headers: BI_RGB (0) with 1, 4, 8, 16, 24 or 32; BI_RLE8 (1) with 8;
//    BI_RLE4 (2) with 4; BI_BITFIELDS (3) and BI_ALPHABITFIELDS (6) with 16
//    or 32; BI_JPEG (4) and BI_PNG (5) with 0 (the count left to the
//    embedded image) or any of the counts above. OS/2 2.x: 0 with any of
//    those counts, 1 with 8, 2 with 4, 3 (Huffman 1D) with 1, 4 (RLE24)
//    with 24; it has no JPEG or PNG bitmaps. Uncompressed: BI_RGB, and the
//    Windows bit-field kinds, whose rows are plain too;
//  - the pixel-data offset at or past the end of the headers: 14, the
//    information header, the masks that follow a 40-byte header (12 bytes
//    for BI_BITFIELDS, 16 for BI_ALPHABITFIELDS; the larger headers hold
//    theirs), and the colour table: core 3-byte entries, 2^bits of them up
//    to 8 bits; else 4-byte entries, the used-colours field (46) when not
//    zero, else 2^bits up to 8 bits and none above. The offset lies below
//    the file size already;
//  - uncompressed, the pixel rows fit between the offset and the file size:
//    ((width * bits + 31) / 32) * 4 bytes a row, |height| rows, compared by
//    division so that nothing overflows.
// The information header lies before the offset, inside the file size and so
// inside the bytes: its fields are read only once the offset says so.
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

constexpr std::uint32_t kFileHeaderSize = 14;
constexpr std::uint32_t kCoreHeaderSize = 12;
constexpr std::uint32_t kOs2HeaderSize = 64;
// Fields of the information header after its size that strict reads: the
// core header's width, height, planes and bit count (8 bytes); the others'
// up to the used-colours field (32 bytes).
constexpr std::int64_t kCoreFields = 8;
constexpr std::int64_t kInfoFields = 32;

enum Compression : std::uint32_t {
  kRgb = 0,
  kRle8 = 1,
  kRle4 = 2,
  kBitFields = 3,  // OS/2 2.x: Huffman 1D
  kJpeg = 4,       // OS/2 2.x: RLE24
  kPng = 5,
  kAlphaBitFields = 6,
};

bool KnownInfoSize(std::uint32_t size) {
  switch (size) {
    case 12: case 40: case 52: case 56: case 64: case 108: case 124:
      return true;
    default:
      return false;
  }
}

bool PlainBitCount(std::uint32_t bits) {
  return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

// Whether the bit count suits the compression, and whether the rows are
// then uncompressed.
bool BitsSuit(std::uint32_t infoSize, std::uint32_t compression, std::uint32_t bits, bool* plainRows) {
  *plainRows = false;
  if (infoSize == kOs2HeaderSize) {
    switch (compression) {
      case kRgb: *plainRows = true; return PlainBitCount(bits);
      case kRle8: return bits == 8;
      case kRle4: return bits == 4;
      case 3: return bits == 1;   // Huffman 1D
      case 4: return bits == 24;  // RLE24
      default: return false;
    }
  }
  switch (compression) {
    case kRgb: *plainRows = true; return PlainBitCount(bits);
    case kRle8: return bits == 8;
    case kRle4: return bits == 4;
    case kBitFields:
    case kAlphaBitFields: *plainRows = true; return bits == 16 || bits == 32;
    case kJpeg:
    case kPng: return bits == 0 || PlainBitCount(bits);
    default: return false;
  }
}

// Whether `rows` rows of `width` pixels of `bits` fit in `room` bytes.
bool RowsFit(std::uint64_t width, std::uint32_t bits, std::uint64_t rows, std::uint64_t room) {
  // width < 2^32 and bits <= 32: no overflow in 64 bits.
  const std::uint64_t rowBytes = (width * bits + 31) / 32 * 4;
  return rowBytes != 0 && rows <= room / rowBytes;
}

// The strict test of the candidate at i, whose file size, pixel offset and
// information-header size passed the tests of Accepted.
template <class Reader>
bool Plausible(Reader& reader, std::int64_t i, std::uint32_t fileSize, std::uint32_t pixelOffset,
               std::uint32_t infoSize) {
  if (!KnownInfoSize(infoSize) || pixelOffset < kFileHeaderSize + infoSize) return false;
  // Now [i + 14, i + 14 + infoSize) lies below i + pixelOffset < i + fileSize
  // <= length: every field below is inside.
  const std::uint64_t room = fileSize - pixelOffset;
  if (infoSize == kCoreHeaderSize) {
    std::uint8_t scratch[kCoreFields];
    const std::uint8_t* f = reader.Fields(i + kHeaderBytes, kCoreFields, scratch);
    const std::uint32_t width = ReadLe16(f);
    const std::uint32_t height = ReadLe16(f + 2);
    const std::uint32_t planes = ReadLe16(f + 4);
    const std::uint32_t bits = ReadLe16(f + 6);
    if (width == 0 || height == 0 || planes != 1) return false;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 24) return false;
    const std::uint64_t table = bits <= 8 ? std::uint64_t{3} << bits : 0;
    if (kFileHeaderSize + kCoreHeaderSize + table > pixelOffset) return false;
    return RowsFit(width, bits, height, room);
  }
  std::uint8_t scratch[kInfoFields];
  const std::uint8_t* f = reader.Fields(i + kHeaderBytes, kInfoFields, scratch);
  const auto width = static_cast<std::int32_t>(ReadLe32(f));
  const auto height = static_cast<std::int32_t>(ReadLe32(f + 4));
  const std::uint32_t planes = ReadLe16(f + 8);
  const std::uint32_t bits = ReadLe16(f + 10);
  const std::uint32_t compression = ReadLe32(f + 12);
  const std::uint32_t used = ReadLe32(f + 28);
  bool plainRows = false;
  if (width <= 0 || height == 0 || planes != 1 || !BitsSuit(infoSize, compression, bits, &plainRows)) {
    return false;
  }
  if (height < 0 && !plainRows) return false;
  std::uint64_t masks = 0;
  if (infoSize == 40 && compression == kBitFields) masks = 12;
  if (infoSize == 40 && compression == kAlphaBitFields) masks = 16;
  const std::uint64_t colours = used != 0 ? used : bits != 0 && bits <= 8 ? std::uint64_t{1} << bits : 0;
  // At most 14 + 124 + 16 + 4 * (2^32 - 1): far inside 64 bits.
  if (kFileHeaderSize + infoSize + masks + 4 * colours > pixelOffset) return false;
  if (!plainRows) return true;
  // |height| as 64 bits, also for -2^31.
  const std::uint64_t rows = height < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(std::int64_t{height})
                                        : static_cast<std::uint64_t>(height);
  return RowsFit(static_cast<std::uint64_t>(width), bits, rows, room);
}

// The candidate at i whose 18 header bytes are at h ("BM" at h[0] already
// seen): its file size when accepted, else 0. Each field is read once.
template <class Reader>
inline std::uint32_t Accepted(Reader& reader, const std::uint8_t* h, std::int64_t i, std::int64_t length,
                              bool strict) {
  if (h[1] != 'M') return 0;
  const std::uint32_t fileSize = ReadLe32(h + 2);
  if (fileSize < kMinFileSize || i + static_cast<std::int64_t>(fileSize) > length) return 0;
  const std::uint32_t pixelOffset = ReadLe32(h + 10);
  if (pixelOffset >= fileSize) return 0;
  const std::uint32_t infoSize = ReadLe32(h + 14);
  // The information header is bounded by the buffer, not by the bitmap's
  // own size.
  if (infoSize < kMinInfoHeaderSize || i + 14 + static_cast<std::int64_t>(infoSize) > length) {
    return 0;
  }
  // Rarely reached: few candidates pass the tests above.
  if (strict && !Plausible(reader, i, fileSize, pixelOffset, infoSize)) return 0;
  return fileSize;
}

// The scan. Its reader, made by open(), is its own local, which lets the
// compiler keep a span's fields in registers.
template <class Open>
void Scan(Open open, const HitCallback& onHit, bool strict) {
  auto reader = open();
  const std::int64_t length = reader.Length();
  const std::int64_t end = length - kTail;
  std::int64_t i = 0;
  while (i < end) {
    // The byte at end lies inside: end is 50 bytes short of the length.
    i = FindPairIn(reader, i, end, 'B', 'M');
    if (i == end) return;
    std::uint8_t scratch[kHeaderBytes];
    const std::uint8_t* header = reader.Fields(i, kHeaderBytes, scratch);
    if (const std::uint32_t fileSize = Accepted(reader, header, i, length, strict); fileSize != 0) {
      onHit(i, fileSize);
      // Nothing inside an accepted bitmap is examined.
      i += fileSize;
      continue;
    }
    ++i;
  }
}

}  // namespace

void FindBitmaps(const std::uint8_t* data, std::int64_t length, const HitCallback& onHit,
                 const ScanLimits& limits) {
  if (data == nullptr || length <= kTail) return;
  Scan([&] { return SpanReader(data, length); }, onHit, limits.strict);
}

void FindBitmaps(const std::uint8_t* data, std::int64_t length, const HitCallback& onHit) {
  FindBitmaps(data, length, onHit, ScanLimits{});
}

void FindBitmapsIn(ByteSource& source, const HitCallback& onHit, const ScanLimits& limits) {
  if (limits.peakBytes != nullptr) *limits.peakBytes = 0;  // no side tables
  if (source.Length() <= kTail) return;
  Scan([&] { return SlotReader(source, 0); }, onHit, limits.strict);
}

}  // namespace qx
