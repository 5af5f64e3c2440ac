#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "reference_scanners.h"
#include "scanners/Scanners.h"
#include "scanners/SourceScanners.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Hits = qx::testref::ScanHits;
using Hit = std::pair<std::int64_t, std::int64_t>;

// The fast search; every result is also checked against the reference.
Hits Find(const Bytes& b) {
  Hits hits;
  qx::FindBitmaps(
      b.data(), static_cast<std::int64_t>(b.size()),
      [&](std::int64_t start, std::int64_t length) { hits.emplace_back(start, length); });
  EXPECT_EQ(qx::testref::FindBitmapsReference(b.data(), static_cast<std::int64_t>(b.size())), hits);
  return hits;
}

void PutLe32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) b[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
}

// A bitmap file header at `at`: "BM", file size, pixel offset and
// information-header size. The buffer must have room for 18 bytes there.
void PutHeader(Bytes& b, std::size_t at, std::uint32_t fileSize, std::uint32_t pixelOffset = 54,
               std::uint32_t infoSize = 40) {
  b[at] = 'B';
  b[at + 1] = 'M';
  PutLe32(b, at + 2, fileSize);
  PutLe32(b, at + 10, pixelOffset);
  PutLe32(b, at + 14, infoSize);
}

// A buffer of n bytes holding one header at `at`.
Bytes WithHeader(std::size_t n, std::size_t at, std::uint32_t fileSize,
                 std::uint32_t pixelOffset = 54, std::uint32_t infoSize = 40) {
  Bytes b(n, 0x00);
  PutHeader(b, at, fileSize, pixelOffset, infoSize);
  return b;
}

Bytes ReadData(const std::string& name) {
  std::ifstream in(std::string(QX_TEST_DATA_DIR) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(BmpScanner, BufferLengthThresholds) {
  EXPECT_TRUE(Find(Bytes{}).empty());
  // 50 bytes can hold no bitmap of more than 50 bytes, whatever they say.
  EXPECT_TRUE(Find(WithHeader(50, 0, 50, 0, 12)).empty());
  EXPECT_TRUE(Find(WithHeader(50, 0, 51, 0, 12)).empty());
  // 51 bytes: offset 0 is tried, and is the only position tried.
  EXPECT_EQ(Hits({{0, 51}}), Find(WithHeader(51, 0, 51, 0, 12)));
  Bytes shifted(51, 0);
  PutHeader(shifted, 1, 50, 0, 12);
  EXPECT_TRUE(Find(shifted).empty());
  // A null buffer is an empty one.
  bool called = false;
  qx::FindBitmaps(nullptr, 1000, [&](std::int64_t, std::int64_t) { called = true; });
  EXPECT_FALSE(called);
}

TEST(BmpScanner, FileSizeBoundsAndTheEndOfTheBuffer) {
  EXPECT_TRUE(Find(WithHeader(200, 10, 50)).empty());
  EXPECT_EQ(Hits({{10, 51}}), Find(WithHeader(200, 10, 51, 0, 12)));
  // Ending exactly at the last byte is allowed; one byte further is not.
  EXPECT_EQ(Hits({{10, 190}}), Find(WithHeader(200, 10, 190)));
  EXPECT_TRUE(Find(WithHeader(200, 10, 191)).empty());
  // Sums that would wrap in 32 bits must not.
  EXPECT_TRUE(Find(WithHeader(200, 10, 0xFFFFFFFFu)).empty());
  EXPECT_TRUE(Find(WithHeader(200, 100, 0xFFFFFFF0u)).empty());
  EXPECT_TRUE(Find(WithHeader(200, 0, 0x80000000u)).empty());
}

TEST(BmpScanner, PixelOffsetBelowTheFileSize) {
  EXPECT_TRUE(Find(WithHeader(300, 7, 100, 100)).empty());
  EXPECT_EQ(Hits({{7, 100}}), Find(WithHeader(300, 7, 100, 99)));
  EXPECT_EQ(Hits({{7, 100}}), Find(WithHeader(300, 7, 100, 0)));
  // Compared unsigned: a "negative" offset is huge.
  EXPECT_TRUE(Find(WithHeader(300, 7, 100, 0xFFFFFFFFu)).empty());
}

TEST(BmpScanner, InformationHeaderSizeAndItsBound) {
  EXPECT_TRUE(Find(WithHeader(300, 5, 100, 54, 11)).empty());
  EXPECT_EQ(Hits({{5, 100}}), Find(WithHeader(300, 5, 100, 54, 12)));
  EXPECT_EQ(Hits({{5, 100}}), Find(WithHeader(300, 5, 100, 54, 40)));
  // The bound is the buffer, not the bitmap: a header running past the
  // bitmap's end but ending exactly at the buffer's end passes.
  EXPECT_EQ(Hits({{5, 100}}), Find(WithHeader(300, 5, 100, 54, 300 - 5 - 14)));
  EXPECT_TRUE(Find(WithHeader(300, 5, 100, 54, 300 - 5 - 14 + 1)).empty());
  EXPECT_TRUE(Find(WithHeader(300, 5, 100, 54, 0xFFFFFFF5u)).empty());
  EXPECT_TRUE(Find(WithHeader(300, 5, 100, 54, 0xFFFFFFFFu)).empty());
}

TEST(BmpScanner, BackToBackAndNestedCandidates) {
  Bytes b(400, 0);
  PutHeader(b, 3, 60);
  PutHeader(b, 63, 70);  // the first byte after the first bitmap
  PutHeader(b, 133, 51, 0, 12);
  EXPECT_EQ(Hits({{3, 60}, {63, 70}, {133, 51}}), Find(b));

  // A "BM" inside an accepted bitmap is never examined...
  Bytes inner(400, 0);
  PutHeader(inner, 0, 200);
  PutHeader(inner, 100, 60);
  PutHeader(inner, 200, 60);
  EXPECT_EQ(Hits({{0, 200}, {200, 60}}), Find(inner));

  // ...but one inside a rejected candidate is, the scan going on one byte on.
  Bytes rejected(400, 0);
  PutHeader(rejected, 0, 200, 200);      // pixel offset not below the file size
  PutHeader(rejected, 18, 100, 54, 11);  // rejected too
  PutHeader(rejected, 40, 100);
  EXPECT_EQ(Hits({{40, 100}}), Find(rejected));

  // "BMBM...": each B is a candidate of its own.
  Bytes letters(120, 'B');
  for (std::size_t k = 1; k < letters.size(); k += 2) letters[k] = 'M';
  PutHeader(letters, 10, 60);
  EXPECT_EQ(Hits({{10, 60}}), Find(letters));
}

TEST(BmpScanner, RealBitmapsCarvedByteExactly) {
  const char* names[] = {"bmp_8bit_palette.bmp", "bmp_24bit.bmp", "bmp_32bit_alpha.bmp",
                         "bmp_core_24bit.bmp"};
  std::mt19937 rng(2014);
  Bytes buffer;
  Hits expected;
  for (const char* name : names) {
    const Bytes image = ReadData(name);
    ASSERT_GT(image.size(), 51u) << name;
    // Random filler without a 'B', then the bitmap at an odd offset.
    const std::size_t filler = 2 * (rng() % 300) + 1;
    for (std::size_t k = 0; k < filler; ++k)
      buffer.push_back(static_cast<std::uint8_t>('C' + rng() % 150));
    expected.emplace_back(static_cast<std::int64_t>(buffer.size()),
                          static_cast<std::int64_t>(image.size()));
    buffer.insert(buffer.end(), image.begin(), image.end());
  }
  // The last bitmap ends exactly at the end of the buffer.
  const Hits hits = Find(buffer);
  ASSERT_EQ(expected, hits);
  for (std::size_t k = 0; k < hits.size(); ++k) {
    const Bytes image = ReadData(names[k]);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), buffer.begin() + hits[k].first)) << names[k];
  }
}

// Random buffers full of near-miss headers: the fast search and the
// reference must agree on every one.
TEST(BmpScanner, AgreesWithTheReferenceOnRandomHeaders) {
  std::mt19937 rng(12345);
  std::size_t total = 0;
  for (int round = 0; round < 3000; ++round) {
    Bytes b(rng() % 700, 0);
    for (auto& v : b) v = static_cast<std::uint8_t>(rng() % 4 == 0 ? 'B' : rng());
    const int headers = static_cast<int>(rng() % 8);
    for (int h = 0; h < headers && b.size() >= 18; ++h) {
      const std::size_t at = rng() % (b.size() - 17);
      const std::uint32_t n = static_cast<std::uint32_t>(b.size());
      auto near = [&](std::uint32_t v) { return v + (rng() % 5) - 2; };
      const std::uint32_t fileSize = rng() % 4 == 0   ? near(51)
                                     : rng() % 3 == 0 ? near(n - static_cast<std::uint32_t>(at))
                                                      : rng() % (n + 1);
      const std::uint32_t pixel = rng() % 3 == 0 ? near(fileSize) : rng() % (fileSize + 1);
      const std::uint32_t info = rng() % 3 == 0   ? near(12)
                                 : rng() % 3 == 0 ? near(n - static_cast<std::uint32_t>(at) - 14)
                                                  : 40;
      PutHeader(b, at, fileSize, pixel, info);
    }
    total += Find(b).size();
  }
  // The generator must actually produce bitmaps, or the comparison says little.
  EXPECT_GT(total, 500u);
}

// --- The strict search -------------------------------------------------------

namespace strict {

// The strict search; every result is also checked against the strict
// reference.
Hits Find(const Bytes& b) {
  Hits hits;
  qx::ScanLimits limits;
  limits.strict = true;
  qx::FindBitmaps(
      b.data(), static_cast<std::int64_t>(b.size()),
      [&](std::int64_t start, std::int64_t length) { hits.emplace_back(start, length); }, limits);
  EXPECT_EQ(qx::testref::FindBitmapsReference(b.data(), static_cast<std::int64_t>(b.size()), true), hits);
  return hits;
}

void PutLe16(Bytes& b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

// The fields of a bitmap's headers, by default an 8 x 4 bitmap of 24 bits
// with a 40-byte information header, its rows exactly filling the file.
struct Fields {
  std::uint32_t infoSize = 40;
  std::int32_t width = 8;
  std::int32_t height = 4;
  std::uint32_t planes = 1;
  std::uint32_t bits = 24;
  std::uint32_t compression = 0;
  std::uint32_t used = 0;
  std::uint32_t offset = 54;
  std::uint32_t fileSize = 54 + 24 * 4;
};

// The bitmap alone, in a buffer of its own size (at least 51 bytes), then
// `after` zero bytes.
Bytes Make(const Fields& f, std::size_t after = 0) {
  Bytes b(std::max<std::size_t>(f.fileSize, 14 + 40) + after, 0x00);
  PutHeader(b, 0, f.fileSize, f.offset, f.infoSize);
  if (f.infoSize == 12) {
    PutLe16(b, 18, static_cast<std::uint32_t>(f.width));
    PutLe16(b, 20, static_cast<std::uint32_t>(f.height));
    PutLe16(b, 22, f.planes);
    PutLe16(b, 24, f.bits);
  } else {
    PutLe32(b, 18, static_cast<std::uint32_t>(f.width));
    PutLe32(b, 22, static_cast<std::uint32_t>(f.height));
    PutLe16(b, 26, f.planes);
    PutLe16(b, 28, f.bits);
    PutLe32(b, 30, f.compression);
    PutLe32(b, 46, f.used);
  }
  return b;
}

bool Accepted(const Fields& f) {
  const Hits hits = Find(Make(f));
  EXPECT_TRUE(hits.empty() || hits == Hits({{0, f.fileSize}}));
  return !hits.empty();
}

// The smallest file size and pixel offset the fields need, for a bitmap of
// one row of one pixel.
Fields Smallest(std::uint32_t infoSize, std::uint32_t compression, std::uint32_t bits) {
  Fields f;
  f.infoSize = infoSize;
  f.width = 1;
  f.height = 1;
  f.compression = compression;
  f.bits = bits;
  std::uint32_t table = bits >= 1 && bits <= 8 ? (1u << bits) * (infoSize == 12 ? 3 : 4) : 0;
  std::uint32_t masks = infoSize == 40 && compression == 3 ? 12 : infoSize == 40 && compression == 6 ? 16 : 0;
  f.offset = 14 + infoSize + masks + table;
  f.fileSize = std::max<std::uint32_t>(f.offset + 4, 51);
  return f;
}

TEST(BmpScannerStrict, DefaultFieldsPassAndTheOrdinarySearchIsUnchanged) {
  const Fields f;
  EXPECT_TRUE(Accepted(f));
  // A header of random fields passes the ordinary tests only.
  Bytes junk = WithHeader(300, 0, 200);
  for (std::size_t k = 18; k < 200; ++k) junk[k] = static_cast<std::uint8_t>(k * 37 + 11);
  EXPECT_EQ(::Find(junk), Hits({{0, 200}}));
  EXPECT_TRUE(Find(junk).empty());
}

TEST(BmpScannerStrict, InformationHeaderSizes) {
  for (const std::uint32_t size : {12u, 40u, 52u, 56u, 64u, 108u, 124u}) {
    EXPECT_TRUE(Accepted(Smallest(size, 0, 24))) << size;
  }
  for (const std::uint32_t size : {11u, 13u, 16u, 39u, 41u, 51u, 53u, 55u, 57u, 63u, 65u, 107u, 109u, 123u, 125u, 128u}) {
    Fields f = Smallest(40, 0, 24);
    f.infoSize = size;
    f.offset = 14 + size;
    f.fileSize = f.offset + 4;
    EXPECT_FALSE(Accepted(f)) << size;
  }
}

TEST(BmpScannerStrict, OnePlane) {
  for (const std::uint32_t size : {12u, 40u}) {
    Fields f = Smallest(size, 0, 24);
    EXPECT_TRUE(Accepted(f));
    f.planes = 0;
    EXPECT_FALSE(Accepted(f)) << size;
    f.planes = 2;
    EXPECT_FALSE(Accepted(f)) << size;
    f.planes = 0x101;
    EXPECT_FALSE(Accepted(f)) << size;
  }
}

TEST(BmpScannerStrict, BitCountsAndCompressionsEachHeaderAllows) {
  struct Row {
    std::uint32_t infoSize, compression, bits;
    bool accepted;
  };
  const Row rows[] = {
      // Core: uncompressed 1, 4, 8, 24 only.
      {12, 0, 1, true}, {12, 0, 4, true}, {12, 0, 8, true}, {12, 0, 24, true},
      {12, 0, 0, false}, {12, 0, 2, false}, {12, 0, 16, false}, {12, 0, 32, false},
      // Windows headers.
      {40, 0, 1, true}, {40, 0, 4, true}, {40, 0, 8, true}, {40, 0, 16, true},
      {40, 0, 24, true}, {40, 0, 32, true}, {40, 0, 0, false}, {40, 0, 2, false},
      {40, 0, 3, false}, {40, 0, 5, false}, {40, 0, 7, false}, {40, 0, 9, false},
      {40, 0, 15, false}, {40, 0, 17, false}, {40, 0, 23, false}, {40, 0, 25, false},
      {40, 0, 31, false}, {40, 0, 33, false}, {40, 0, 48, false}, {40, 0, 64, false},
      {40, 1, 8, true}, {40, 1, 4, false}, {40, 1, 24, false},
      {40, 2, 4, true}, {40, 2, 8, false}, {40, 2, 1, false},
      {40, 3, 16, true}, {40, 3, 32, true}, {40, 3, 24, false}, {40, 3, 8, false},
      {40, 6, 16, true}, {40, 6, 32, true}, {40, 6, 24, false},
      {40, 4, 0, true}, {40, 4, 24, true}, {40, 4, 3, false},
      {40, 5, 0, true}, {40, 5, 32, true}, {40, 5, 5, false},
      {40, 7, 24, false}, {40, 8, 24, false}, {40, 0xFFFFFFFFu, 24, false},
      {52, 3, 16, true}, {56, 6, 32, true}, {108, 3, 32, true}, {124, 5, 0, true},
      {124, 1, 8, true}, {108, 2, 4, true},
      // OS/2 2.x: 3 is Huffman 1D with 1 bit, 4 is RLE24; no JPEG, PNG or
      // bit fields.
      {64, 0, 24, true}, {64, 0, 1, true}, {64, 1, 8, true}, {64, 2, 4, true},
      {64, 3, 1, true}, {64, 4, 24, true}, {64, 3, 16, false}, {64, 3, 32, false},
      {64, 4, 0, false}, {64, 5, 0, false}, {64, 6, 32, false}, {64, 0, 0, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Accepted(Smallest(row.infoSize, row.compression, row.bits)), row.accepted)
        << row.infoSize << " " << row.compression << " " << row.bits;
  }
}

TEST(BmpScannerStrict, WidthAndHeight) {
  Fields f = Smallest(40, 0, 24);
  f.width = 0;
  EXPECT_FALSE(Accepted(f));
  f.width = -1;
  EXPECT_FALSE(Accepted(f));
  f.width = 1;
  f.height = 0;
  EXPECT_FALSE(Accepted(f));
  // Top-down rows: uncompressed (bit fields too), never compressed.
  f.height = -1;
  EXPECT_TRUE(Accepted(f));
  Fields fields = Smallest(40, 3, 32);
  fields.height = -1;
  EXPECT_TRUE(Accepted(fields));
  Fields rle = Smallest(40, 1, 8);
  EXPECT_TRUE(Accepted(rle));
  rle.height = -1;
  EXPECT_FALSE(Accepted(rle));
  Fields png = Smallest(40, 5, 0);
  png.height = -1;
  EXPECT_FALSE(Accepted(png));
  // The core header's are unsigned 16-bit: 0xFFFF is wide, zero is not.
  Fields core = Smallest(12, 0, 1);
  core.width = 0;
  EXPECT_FALSE(Accepted(core));
  core.width = 1;
  core.height = 0;
  EXPECT_FALSE(Accepted(core));
  core.height = 0xFFFF;  // 0xFFFF rows of 4 bytes
  core.fileSize = core.offset + 4 * 0xFFFF;
  EXPECT_TRUE(Accepted(core));
}

TEST(BmpScannerStrict, PixelOffsetAtTheEndOfTheHeadersAndTable) {
  struct Row {
    Fields fields;
    std::uint32_t headersEnd;
  };
  const auto with = [](std::uint32_t infoSize, std::uint32_t compression, std::uint32_t bits,
                       std::uint32_t used) {
    Fields f = Smallest(infoSize, compression, bits);
    f.used = used;
    return f;
  };
  const Row rows[] = {
      {with(40, 0, 24, 0), 54},               // no table
      {with(40, 0, 8, 0), 54 + 1024},         // 2^8 entries of 4 bytes
      {with(40, 0, 8, 3), 54 + 12},           // the used colours
      {with(40, 0, 1, 0), 54 + 8},
      {with(40, 0, 24, 2), 54 + 8},           // a table for display, beside 24 bits
      {with(12, 0, 8, 0), 26 + 768},          // core: 3-byte entries
      {with(12, 0, 4, 0), 26 + 48},
      {with(12, 0, 24, 0), 26},
      {with(40, 3, 16, 0), 54 + 12},          // masks after a 40-byte header
      {with(40, 6, 32, 0), 54 + 16},
      {with(56, 3, 16, 0), 70},               // inside the larger ones
      {with(108, 3, 32, 0), 122},
      {with(124, 0, 8, 0), 138 + 1024},
      {with(64, 0, 4, 0), 78 + 64},
      {with(40, 4, 0, 0), 54},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.fields.infoSize << " " << row.fields.compression << " "
                                    << row.fields.bits << " " << row.fields.used);
    Fields f = row.fields;
    f.offset = row.headersEnd;
    f.fileSize = std::max<std::uint32_t>(f.offset + 4, 51);
    EXPECT_TRUE(Accepted(f));
    f.offset = row.headersEnd + 3;
    f.fileSize = std::max<std::uint32_t>(f.offset + 4, 51);
    EXPECT_TRUE(Accepted(f));
    f.offset = row.headersEnd - 1;
    EXPECT_FALSE(Accepted(f));
  }
  // A used-colours field of billions does not wrap.
  Fields huge = Smallest(40, 0, 8);
  huge.used = 0xFFFFFFFFu;
  EXPECT_FALSE(Accepted(huge));
  huge.used = 0x40000000u;  // 4 * 2^30 = 2^32 bytes of table
  EXPECT_FALSE(Accepted(huge));
}

TEST(BmpScannerStrict, UncompressedRowsFitTheFile) {
  struct Row {
    std::uint32_t infoSize, compression, bits;
    std::int32_t width, height;
    std::uint32_t rowBytes;
  };
  const Row rows[] = {
      {40, 0, 24, 3, 5, 12},     // 9 bytes, padded to 12
      {40, 0, 24, 4, 2, 12},
      {40, 0, 1, 1, 7, 4},       // one bit still takes 4 bytes
      {40, 0, 1, 33, 3, 8},
      {40, 0, 4, 9, 2, 8},
      {40, 0, 16, 3, -4, 8},
      {40, 0, 32, 5, 1, 20},
      {40, 3, 16, 2, 3, 4},
      {12, 0, 24, 13, 9, 40},    // the core bitmap of tests/data
      {124, 0, 8, 5, 2, 8},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.bits << " bits, " << row.width << " x " << row.height);
    Fields f = Smallest(row.infoSize, row.compression, row.bits);
    f.width = row.width;
    f.height = row.height;
    const std::uint32_t rowsBytes = row.rowBytes * static_cast<std::uint32_t>(row.height < 0 ? -row.height : row.height);
    f.fileSize = std::max<std::uint32_t>(f.offset + rowsBytes, 51);
    if (f.fileSize != f.offset + rowsBytes) f.offset = f.fileSize - rowsBytes;  // tiny bitmaps
    EXPECT_TRUE(Accepted(f));
    --f.fileSize;
    EXPECT_FALSE(Accepted(f));
  }
  // Sizes whose product would overflow 64 bits are compared, not multiplied.
  Fields wide = Smallest(40, 0, 32);
  wide.width = 0x7FFFFFFF;
  wide.height = 0x7FFFFFFF;
  EXPECT_FALSE(Accepted(wide));
  wide.height = -0x7FFFFFFF - 1;
  EXPECT_FALSE(Accepted(wide));
  // Compressed rows are not counted: an RLE bitmap may be any size.
  Fields rle = Smallest(40, 1, 8);
  rle.width = 0x7FFFFFFF;
  rle.height = 0x7FFFFFFF;
  EXPECT_TRUE(Accepted(rle));
}

TEST(BmpScannerStrict, ARealBitmapInsideARejectedOneIsFound) {
  const Bytes image = ReadData("bmp_24bit.bmp");
  // Junk whose file header claims the real bitmap and more, and whose
  // information header is random bytes.
  Bytes b(100 + image.size() + 50, 0x20);
  PutHeader(b, 0, static_cast<std::uint32_t>(b.size()), 54, 40);
  for (std::size_t k = 18; k < 100; ++k) b[k] = static_cast<std::uint8_t>(k * 91 + 5);
  std::copy(image.begin(), image.end(), b.begin() + 100);
  EXPECT_EQ(::Find(b), Hits({{0, static_cast<std::int64_t>(b.size())}}));
  EXPECT_EQ(Find(b), Hits({{100, static_cast<std::int64_t>(image.size())}}));
}

TEST(BmpScannerStrict, RealBitmapsAreKept) {
  for (const char* name : {"bmp_8bit_palette.bmp", "bmp_24bit.bmp", "bmp_32bit_alpha.bmp", "bmp_core_24bit.bmp"}) {
    const Bytes image = ReadData(name);
    // Alone, ending with the buffer, and at an odd offset among other bytes.
    EXPECT_EQ(Find(image), Hits({{0, static_cast<std::int64_t>(image.size())}})) << name;
    Bytes b(77 + image.size() + 9, 0x41);
    std::copy(image.begin(), image.end(), b.begin() + 77);
    EXPECT_EQ(Find(b), Hits({{77, static_cast<std::int64_t>(image.size())}})) << name;
  }
}

// Random buffers of near-miss strict headers: the strict search and the
// strict reference agree on each.
TEST(BmpScannerStrict, AgreesWithTheReferenceOnNearMisses) {
  std::mt19937 rng(808);
  std::size_t hits = 0;
  const std::uint32_t sizes[] = {12, 40, 52, 56, 64, 108, 124, 41, 11};
  const std::uint32_t counts[] = {0, 1, 2, 4, 8, 16, 24, 32, 33};
  for (int round = 0; round < 3000; ++round) {
    Fields f;
    f.infoSize = sizes[rng() % std::size(sizes)];
    f.compression = rng() % 8;
    f.bits = counts[rng() % std::size(counts)];
    f.width = static_cast<std::int32_t>(rng() % 4 == 0 ? rng() : rng() % 20) - (rng() % 8 == 0 ? 10 : 0);
    f.height = static_cast<std::int32_t>(rng() % 20) - 5;
    f.planes = rng() % 6 == 0 ? 2 : 1;
    f.used = rng() % 3 == 0 ? rng() % 20 : 0;
    f.offset = 14 + f.infoSize + rng() % 100;
    f.fileSize = f.offset + 1 + rng() % 600;
    Bytes b = Make(f, rng() % 40);
    hits += Find(b).size();
  }
  EXPECT_GT(hits, 150u);
}

// Random bytes in which every "BM" the ordinary search could take is made
// to pass its tests (file size, pixel offset and header size fitting, as in
// high-entropy data it now and then does): none is a plausible bitmap.
TEST(BmpScannerStrict, JunkHeadersInRandomBytesAreAllDropped) {
  std::mt19937_64 rng(1);
  Bytes b(16 << 20);
  for (auto& v : b) v = static_cast<std::uint8_t>(rng() >> 20);
  for (std::size_t at = 0; at + 70000 < b.size(); at += 1000 + rng() % 3000) {
    const auto fileSize = static_cast<std::uint32_t>(51 + rng() % 65536);
    PutHeader(b, at, fileSize, static_cast<std::uint32_t>(rng() % fileSize),
              static_cast<std::uint32_t>(12 + rng() % 4000));
  }
  std::size_t ordinary = 0;
  qx::FindBitmaps(b.data(), static_cast<std::int64_t>(b.size()), [&](std::int64_t, std::int64_t) { ++ordinary; });
  EXPECT_GT(ordinary, 300u);  // each skips the headers inside it
  EXPECT_TRUE(Find(b).empty());
}

}  // namespace strict

}  // namespace
