// The readers every search reads through (support/SlotReader.h), and
// FindPairIn over them: at every position near the edges of tiny views, a
// SlotReader must answer what a SpanReader over the same bytes answers, and
// what the bytes hold. Views are separate exact-size copies that abort when
// asked for outside the sequence, so a read past a view or a view asked past
// the end fails the sanitizer build or the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "scanners/ByteSearch.h"
#include "support/ByteOrder.h"
#include "support/SlotReader.h"
#include "test_sources.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes RandomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(size);
  for (auto& v : b) v = static_cast<std::uint8_t>(rng());
  return b;
}

// Windows below the reader's minimum (gathered), at it, and above it.
const std::int64_t kWindows[] = {1, 2, 5, 15, 16, 17, 31};

template <class Reader>
void ExpectReads(Reader& reader, const Bytes& b) {
  const auto length = static_cast<std::int64_t>(b.size());
  ASSERT_EQ(reader.Length(), length);
  for (std::int64_t pos = 0; pos < length; ++pos) {
    SCOPED_TRACE(pos);
    std::int64_t end = 0;
    const std::uint8_t* p = reader.View(pos, &end);
    ASSERT_GE(end, std::min(length, pos + qx::kMinReaderView));
    ASSERT_LE(end, length);
    for (std::int64_t k = 0; k < end - pos; ++k) ASSERT_EQ(p[k], b[pos + k]) << k;

    EXPECT_EQ(reader.Byte(pos), b[pos]);
    if (pos + 4 <= length) {
      EXPECT_EQ(reader.Be32(pos), qx::ReadBe32(b.data() + pos));
      EXPECT_EQ(reader.Le32(pos), qx::ReadLe32(b.data() + pos));
    }
    for (const std::int64_t n : {1, 3, 18, 40}) {
      if (pos + n > length) continue;
      std::uint8_t scratch[40];
      const std::uint8_t* f = reader.Fields(pos, n, scratch);
      for (std::int64_t k = 0; k < n; ++k) ASSERT_EQ(f[k], b[pos + k]) << "Fields, " << n;
      Bytes out(static_cast<std::size_t>(n), 0xAA);
      ASSERT_TRUE(reader.Copy(pos, n, out.data()));
      EXPECT_EQ(out, Bytes(b.begin() + pos, b.begin() + pos + n)) << "Copy, " << n;
    }
  }
  // Outside the sequence: nothing is read or copied.
  EXPECT_EQ(reader.Byte(-1), -1);
  EXPECT_EQ(reader.Byte(length), -1);
  std::uint8_t untouched[4] = {7, 7, 7, 7};
  EXPECT_FALSE(reader.Copy(length - 2, 3, untouched));
  EXPECT_FALSE(reader.Copy(-1, 2, untouched));
  EXPECT_FALSE(reader.Copy(0, -1, untouched));
  EXPECT_EQ(untouched[0], 7);
  EXPECT_TRUE(reader.Copy(length, 0, untouched));
}

TEST(Readers, EveryReadAgreesWithTheBytesAtEveryViewEdge) {
  const Bytes b = RandomBytes(150, 3);
  qx::SpanReader span(b.data(), static_cast<std::int64_t>(b.size()));
  ExpectReads(span, b);
  for (const std::int64_t window : kWindows) {
    SCOPED_TRACE(window);
    qx::testsrc::CopyingSource source(b.data(), static_cast<std::int64_t>(b.size()), window,
                                      static_cast<std::uint32_t>(window));
    qx::SlotReader reader(source, 2);
    ExpectReads(reader, b);
  }
}

// Asked for more than a view holds (up to MinView()), the reader moves on;
// a short sequence is read whole, and a view's end never passes it.
TEST(Readers, ViewsHoldWhatIsAskedUpToTheirMinimum) {
  const Bytes b = RandomBytes(200, 4);
  const auto length = static_cast<std::int64_t>(b.size());
  for (const std::int64_t window : {std::int64_t{5}, std::int64_t{40}}) {
    qx::testsrc::CopyingSource source(b.data(), length, window, 9);
    qx::SlotReader reader(source, 0);
    ASSERT_EQ(reader.MinView(), std::max(window, qx::kMinReaderView));
    for (std::int64_t pos = 0; pos < length; pos += 7) {
      std::int64_t end = 0;
      const std::uint8_t* p = reader.View(pos, &end, reader.MinView());
      ASSERT_GE(end, std::min(length, pos + reader.MinView())) << pos;
      ASSERT_LE(end, length);
      EXPECT_EQ(p[end - pos - 1], b[end - 1]);
    }
  }
  const Bytes tiny = RandomBytes(5, 5);
  qx::testsrc::CopyingSource source(tiny.data(), 5, 1);
  qx::SlotReader reader(source, 1);
  std::int64_t end = 0;
  const std::uint8_t* p = reader.View(2, &end);
  EXPECT_EQ(end, 5);
  EXPECT_EQ(Bytes(p, p + 3), Bytes(tiny.begin() + 2, tiny.end()));
}

TEST(Readers, DistanceToTheCurrentView) {
  const Bytes b(1000, 0);
  qx::SpanSource source(b.data(), 1000, 100);
  qx::SlotReader reader(source, 0);
  EXPECT_EQ(reader.DistanceTo(0), std::numeric_limits<std::int64_t>::max());  // no view yet
  std::int64_t end = 0;
  reader.View(300, &end);
  ASSERT_EQ(end, 400);
  EXPECT_EQ(reader.DistanceTo(300), 0);
  EXPECT_EQ(reader.DistanceTo(399), 0);
  EXPECT_EQ(reader.DistanceTo(299), 1);
  EXPECT_EQ(reader.DistanceTo(400), 1);
  EXPECT_EQ(reader.DistanceTo(409), 10);
}

// A naive search for the first pair in [from, to).
std::int64_t NaivePair(const Bytes& b, std::int64_t from, std::int64_t to, std::uint8_t first,
                       std::uint8_t second) {
  for (std::int64_t p = from; p < to; ++p) {
    if (b[p] == first && b[p + 1] == second) return p;
  }
  return to;
}

// Pairs laid across every view edge (the first byte on a view's last byte
// among them), dense runs of the first byte, and bounds that cut a pair.
TEST(Readers, FindPairInMeetsPairsAcrossViewEdges) {
  for (const std::int64_t window : kWindows) {
    SCOPED_TRACE(window);
    std::mt19937 rng(static_cast<std::uint32_t>(window));
    Bytes b(300, 0x00);
    for (auto& v : b) v = rng() % 3 == 0 ? 0xFF : static_cast<std::uint8_t>(rng() % 4);
    for (std::size_t at = static_cast<std::size_t>(window) - 1; at + 1 < b.size(); at += 37) {
      b[at] = 0xFF;
      b[at + 1] = 0xD9;
    }
    const auto length = static_cast<std::int64_t>(b.size());
    qx::testsrc::CopyingSource source(b.data(), length, window, 11);
    qx::SlotReader reader(source, 3);
    qx::SpanReader span(b.data(), length);
    for (std::int64_t from = 0; from < length - 1; from += 3) {
      for (const std::int64_t to : {from, from + 1, from + 20, length - 1}) {
        if (to < from || to > length - 1) continue;
        const std::int64_t expected = NaivePair(b, from, to, 0xFF, 0xD9);
        ASSERT_EQ(qx::FindPairIn(reader, from, to, 0xFF, 0xD9), expected) << from << ", " << to;
        ASSERT_EQ(qx::FindPairIn(span, from, to, 0xFF, 0xD9), expected) << from << ", " << to;
      }
    }
  }
}

}  // namespace
