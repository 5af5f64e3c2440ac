// Hostile containers: bombs, limits, refused memory, and inputs packed with
// candidates, which must cost about one pass however they are laid.
#include <gtest/gtest.h>

#include <string>

#include "unpack_helpers.h"

namespace {

using namespace qx::testunpack;

constexpr std::int64_t kMiB = 1 << 20;

TEST(UnpackLimits, GigabytesOfZerosAreCutAtTheStreamLimit) {
  const Bytes bomb = GzipAround(ZeroBomb(4096), {});  // 4 GiB in about 4 MB
  const Unpacked run = UnpackBytes(bomb);
  ASSERT_EQ(1u, run.found.size());
  const Found& f = run.found[0];
  EXPECT_EQ(100'000'000, f.length);
  EXPECT_EQ(ZerosCrc(100'000'000), f.crc);
  EXPECT_TRUE(f.cut);
  EXPECT_FALSE(f.complete);
  // The stream, and while it last grew, the block it grew from (64 MiB).
  EXPECT_LT(run.summary.peakMemory, 100'000'000 + 64 * kMiB + kMiB);
}

// Each level holds a bomb after the next level's member: three streams of
// the full stream limit are held at once, and no more.
TEST(UnpackLimits, BombsAtEveryDepthStayUnder400MiB) {
  Bytes level = GzipAround(ZeroBomb(4096), {});
  level = GzipAround(ZeroBomb(4096, level), {});
  level = GzipAround(ZeroBomb(4096, level), {});
  const Unpacked run = UnpackBytes(level);
  ASSERT_EQ(3u, run.found.size());
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(k + 1, run.found[static_cast<std::size_t>(k)].depth);
    EXPECT_EQ(100'000'000, run.found[static_cast<std::size_t>(k)].length);
    EXPECT_TRUE(run.found[static_cast<std::size_t>(k)].cut);
  }
  EXPECT_GT(run.summary.peakMemory, 300'000'000);
  EXPECT_LT(run.summary.peakMemory, 400 * kMiB);
}

TEST(UnpackLimits, TotalBoundsAllStreamsAndEndsTheSearch) {
  Bytes input;
  for (int k = 0; k < 10; ++k) Append(input, GzipAround(ZeroBomb(4), {}));
  qx::UnpackLimits limits;
  limits.streamBytes = kMiB;
  limits.totalBytes = 5 * kMiB + kMiB / 2;
  const Unpacked run = UnpackAllWindows(input, limits);
  ASSERT_EQ(6u, run.found.size());
  for (int k = 0; k < 5; ++k) EXPECT_EQ(kMiB, run.found[static_cast<std::size_t>(k)].length);
  EXPECT_EQ(kMiB / 2, run.found[5].length);
  EXPECT_TRUE(run.found[5].cut);
  EXPECT_TRUE(run.summary.totalSpent);
  EXPECT_EQ(limits.totalBytes, run.summary.decodedBytes);
}

TEST(UnpackLimits, StreamEndingExactlyAtTheLimitIsComplete) {
  Bytes data;
  for (int k = 0; k < 3000; ++k) data.push_back(static_cast<std::uint8_t>(k * k % 251));
  const Bytes member = Gzip(data);
  qx::UnpackLimits limits;
  limits.streamBytes = 3000;
  Unpacked run = UnpackAllWindows(member, limits);
  ASSERT_EQ(1u, run.found.size());
  EXPECT_TRUE(run.found[0].complete);
  EXPECT_FALSE(run.found[0].cut);
  EXPECT_EQ(data, run.found[0].bytes);

  limits.streamBytes = 2999;
  run = UnpackAllWindows(member, limits);
  ASSERT_EQ(1u, run.found.size());
  EXPECT_TRUE(run.found[0].cut);
  EXPECT_EQ(Bytes(data.begin(), data.end() - 1), run.found[0].bytes);
}

TEST(UnpackLimits, RefusedMemoryEndsTheStreamAsALimitDoes) {
  Bytes data;
  for (int k = 0; k < 1 << 20; ++k) data.push_back(static_cast<std::uint8_t>('a' + k % 7 + k / 4096 % 5));
  const Bytes entry = ZipEntry("big.txt", data);
  qx::UnpackLimits limits;
  limits.memoryBytes = 300 * 1024;
  Unpacked run = UnpackAllWindows(entry, limits);
  ASSERT_EQ(1u, run.found.size());
  EXPECT_TRUE(run.found[0].cut);
  EXPECT_GT(run.found[0].length, 0);
  EXPECT_TRUE(std::equal(run.found[0].bytes.begin(), run.found[0].bytes.end(), data.begin()));
  EXPECT_LE(run.summary.peakMemory, limits.memoryBytes);

  // Not even the inflater's state: nothing is reported, nothing breaks.
  limits.memoryBytes = 4096;
  EXPECT_TRUE(UnpackBytes(entry, limits).found.empty());
}

Bytes Repeat(const Bytes& unit, std::int64_t total) {
  Bytes out;
  while (static_cast<std::int64_t>(out.size()) < total) Append(out, unit);
  return out;
}

TEST(UnpackHostile, PackedSignaturesCostAboutOnePass) {
  const std::int64_t size = 4 * kMiB;
  const Bytes zipSignatures = Repeat({'P', 'K', 3, 4}, size);
  // gzip headers naming a file whose name never ends.
  const Bytes namedGzips = Repeat({0x1F, 0x8B, 8, 8, 1, 2, 3, 4, 5, 6}, size);
  const Bytes bareGzips = Repeat({0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3}, size);
  for (const Bytes* input : {&zipSignatures, &namedGzips, &bareGzips}) {
    const Unpacked run = UnpackBytes(*input);
    EXPECT_TRUE(run.found.empty());
    EXPECT_LE(run.summary.examinedBytes, size);
  }
}

// Zip headers whose names all lead into one stretch of empty deflate blocks,
// which produce nothing however long they run: each is given up after a few
// hundred bytes instead of running the whole stretch.
TEST(UnpackHostile, HeadersIntoOneQuietStretchAreGivenUpEarly) {
  const std::int64_t headers = 20000;
  const std::int64_t stretch = 256 * 1024;
  const std::int64_t quietAt = headers * 30;
  Bytes input;
  for (std::int64_t k = 0; k < headers; ++k) {
    const std::int64_t name = quietAt - (k + 1) * 30;  // name runs up to the stretch
    Bytes h(30, 0);
    h[0] = 'P', h[1] = 'K', h[2] = 3, h[3] = 4, h[4] = 20, h[8] = 8;
    h[26] = static_cast<std::uint8_t>(name % 65536), h[27] = static_cast<std::uint8_t>(name % 65536 >> 8);
    Append(input, h);
  }
  // Four empty fixed-code blocks in five bytes, over and over.
  Append(input, Repeat({0x02, 0x08, 0x20, 0x80, 0x00}, stretch));
  const Unpacked run = UnpackBytes(input);
  EXPECT_TRUE(run.found.empty());
  // Headers whose name length fits a 16-bit field reach the stretch.
  const std::int64_t reaching = 65536 / 30;
  EXPECT_GE(run.summary.examinedBytes, reaching * 400) << "the stretch is quiet deflate";
  EXPECT_LE(run.summary.examinedBytes, headers * 512);
}

TEST(UnpackHostile, LongRunsThatAreNotBase64CostOnePass) {
  const std::int64_t size = 4 * kMiB;
  std::string hexLines;
  std::string growing;
  for (std::int64_t k = 0; static_cast<std::int64_t>(hexLines.size()) < size; ++k) {
    std::string line;
    for (int c = 0; c < 60; ++c) line += "0123456789abcdef"[(k * 7 + c * 13) % 16];
    hexLines += line + "\n";
    // Lines each longer than the last: every one starts a block of its own.
    growing += std::string(static_cast<std::size_t>(32 + k % 200), "ABCDEFGHIJKLMNOP"[k % 16]) + "\n";
  }
  const std::string oneLine(static_cast<std::size_t>(size), 'Q');
  const std::string* texts[] = {&hexLines, &growing, &oneLine};
  for (const std::string* text : texts) {
    const Unpacked run = UnpackBytes(ToBytes(*text));
    EXPECT_TRUE(run.found.empty());
    EXPECT_LE(run.summary.examinedBytes, static_cast<std::int64_t>(text->size()));
  }
}

}  // namespace
