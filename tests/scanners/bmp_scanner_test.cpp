#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "reference_scanners.h"
#include "scanners/Scanners.h"

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

}  // namespace
