#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "reference_jpeg.h"
#include "scanners/JpegSearch.h"
#include "scanners/Scanners.h"
#include "scanners/SourceScanners.h"
#include "support/ByteSource.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Hits = qx::testref::JpegHits;
using Hit = std::pair<std::int64_t, std::int64_t>;

Hits Find(const Bytes& b) {
  Hits hits;
  qx::FindJpegs(b.data(), static_cast<std::int64_t>(b.size()),
                [&](std::int64_t start, std::int64_t length) { hits.emplace_back(start, length); });
  return hits;
}

Hits FindWith(const Bytes& b, const qx::ScanLimits& limits) {
  Hits hits;
  qx::FindJpegsWith(b.data(), static_cast<std::int64_t>(b.size()),
                    [&](std::int64_t start, std::int64_t length) { hits.emplace_back(start, length); },
                    limits);
  return hits;
}

qx::ScanLimits DirectSteps(std::int64_t steps) {
  qx::ScanLimits limits;
  limits.jpegDirectSteps = steps;
  return limits;
}

// The search as shipped and with every candidate judged by the backward
// table; for inputs small enough, also with every candidate walked one by one.
// All must give `expected`.
void ExpectEveryWay(const Bytes& b, const Hits& expected, bool small = true) {
  EXPECT_EQ(Find(b), expected);
  EXPECT_EQ(FindWith(b, DirectSteps(0)), expected) << "judged by the table";
  if (small) {
    EXPECT_EQ(FindWith(b, DirectSteps(std::numeric_limits<std::int64_t>::max())), expected)
        << "walked one by one";
  }
}

// Both scanners, and they must agree.
Hits FindChecked(const Bytes& b) {
  Hits hits = Find(b);
  EXPECT_EQ(hits, qx::testref::FindJpegsReference(b.data(), static_cast<std::int64_t>(b.size())));
  return hits;
}

void Append(Bytes& b, std::initializer_list<int> values) {
  for (int v : values) b.push_back(static_cast<std::uint8_t>(v));
}
void Append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

// A marker segment: FF code, big-endian length (counting itself), payload of
// length - 2 filler bytes.
Bytes Segment(int code, int length, std::uint8_t fill = 0x11) {
  Bytes s{0xFF, static_cast<std::uint8_t>(code), static_cast<std::uint8_t>(length >> 8),
          static_cast<std::uint8_t>(length & 0xFF)};
  for (int k = 2; k < length; ++k) s.push_back(fill);
  return s;
}

// SOI, `segments` header segments, three bytes of entropy-coded data, EOI.
Bytes Image(int segments) {
  Bytes b{0xFF, 0xD8};
  for (int k = 0; k < segments; ++k) Append(b, Segment(0xE0 + k, 6));
  Append(b, {0x12, 0x34, 0x56, 0xFF, 0xD9});
  return b;
}

Bytes Filler(std::size_t n, std::uint8_t value = 0x00) { return Bytes(n, value); }

// The image at `at` in a buffer of `total` bytes filled with zeros.
Bytes Embed(const Bytes& image, std::size_t at, std::size_t total) {
  Bytes b = Filler(total);
  std::copy(image.begin(), image.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
  return b;
}

Hit HitOf(std::size_t start, std::size_t length) {
  return {static_cast<std::int64_t>(start), static_cast<std::int64_t>(length)};
}

TEST(JpegScanner, BufferLengthAndStartBounds) {
  const Bytes image = Image(3);
  ASSERT_LT(image.size(), 100u);
  // The image alone, padded to exactly 100 bytes, is not scanned; at 101 it is.
  EXPECT_TRUE(FindChecked(Embed(image, 0, 100)).empty());
  EXPECT_EQ(FindChecked(Embed(image, 0, 101)), (Hits{HitOf(0, image.size())}));
  // The last position tried is length - 101, even when the image is whole.
  EXPECT_EQ(FindChecked(Embed(image, 199, 300)), (Hits{HitOf(199, image.size())}));
  EXPECT_TRUE(FindChecked(Embed(image, 200, 300)).empty());
  EXPECT_TRUE(Find(Bytes{}).empty());
  qx::FindJpegs(nullptr, 0, [](std::int64_t, std::int64_t) { FAIL(); });
}

TEST(JpegScanner, NeedsThreeCountedSegmentsAndSkipsStandaloneMarkers) {
  EXPECT_TRUE(FindChecked(Embed(Image(2), 5, 200)).empty());
  EXPECT_EQ(FindChecked(Embed(Image(3), 5, 200)), (Hits{HitOf(5, Image(3).size())}));

  // FF 01 and FF D0..D7 are stepped over without being counted.
  Bytes two{0xFF, 0xD8, 0xFF, 0xD0, 0xFF, 0x01};
  Append(two, Segment(0xE0, 4));
  Append(two, {0xFF, 0xD7});
  Append(two, Segment(0xDB, 4));
  Append(two, {0xFF, 0xD3, 0x42, 0xFF, 0xD9});
  EXPECT_TRUE(FindChecked(Embed(two, 3, 200)).empty());

  Bytes three = two;
  three.resize(three.size() - 3);  // drop the entropy byte and EOI
  Append(three, Segment(0xC0, 5));
  Append(three, {0x42, 0xFF, 0xD9});
  EXPECT_EQ(FindChecked(Embed(three, 3, 200)), (Hits{HitOf(3, three.size())}));
}

TEST(JpegScanner, EveryOtherCodeIsASegmentWithALength) {
  // Entropy-coded data starting with a stuffed FF 00: read as a third segment
  // whose length 0x0006 jumps over the FF D9 lying inside it.
  Bytes stuffed{0xFF, 0xD8};
  Append(stuffed, Segment(0xE0, 4));
  Append(stuffed, Segment(0xDB, 4));
  Append(stuffed, {0xFF, 0x00, 0x00, 0x06, 0xFF, 0xD9, 0x77, 0x88, 0x99, 0xFF, 0xD9});
  EXPECT_EQ(FindChecked(Embed(stuffed, 0, 200)), (Hits{HitOf(0, stuffed.size())}));

  // FF D9 at a boundary is a segment too, not the end of the image.
  Bytes eoiInWalk{0xFF, 0xD8};
  Append(eoiInWalk, Segment(0xE0, 4));
  Append(eoiInWalk, Segment(0xD9, 5));
  Append(eoiInWalk, Segment(0xC4, 4));
  Append(eoiInWalk, {0x55, 0xFF, 0xD9});
  EXPECT_EQ(FindChecked(Embed(eoiInWalk, 1, 200)), (Hits{HitOf(1, eoiInWalk.size())}));

  // So are FF D8 and FF FF.
  Bytes odd{0xFF, 0xD8};
  Append(odd, Segment(0xD8, 4));
  Append(odd, Segment(0xFF, 4));
  Append(odd, Segment(0xE1, 4));
  Append(odd, {0x55, 0xFF, 0xD9});
  EXPECT_EQ(FindChecked(Embed(odd, 0, 200)), (Hits{HitOf(0, odd.size())}));
}

TEST(JpegScanner, LengthsZeroAndOneEndTheWalkOnTheLengthField) {
  for (int length : {0, 1}) {
    SCOPED_TRACE(length);
    // The third segment counts; the walk ends on its length bytes, so the end
    // search starts right there and finds the FF D9 directly after them.
    Bytes b{0xFF, 0xD8};
    Append(b, Segment(0xE0, 4));
    Append(b, Segment(0xDB, 4));
    Append(b, {0xFF, 0xC0, 0x00, length, 0xFF, 0xD9});
    EXPECT_EQ(FindChecked(Embed(b, 7, 200)), (Hits{HitOf(7, b.size())}));

    Bytes two{0xFF, 0xD8};
    Append(two, Segment(0xE0, 4));
    Append(two, {0xFF, 0xC0, 0x00, length, 0xFF, 0xD9});
    EXPECT_TRUE(FindChecked(Embed(two, 7, 200)).empty());
  }
}

TEST(JpegScanner, EndMarkerCarvingAndResume) {
  // End marker as the last two bytes of the buffer; the image must be longer
  // than 100 bytes for its start to be tried.
  Bytes tail = Filler(10, 0x20);
  Append(tail, {0xFF, 0xD8});
  Append(tail, Segment(0xE0, 120));
  Append(tail, Segment(0xE1, 4));
  Append(tail, Segment(0xE2, 4));
  Append(tail, {0x01, 0xFF, 0xD9});
  EXPECT_EQ(FindChecked(tail), (Hits{HitOf(10, tail.size() - 10)}));

  const Bytes image = Image(3);

  // Only the first FF D9 after the header closes the image; the scan resumes
  // right behind it and finds an image that follows at once.
  Bytes b = image;
  b.insert(b.end() - 2, {0xFF, 0xD9, 0x01, 0x02});
  const std::size_t firstLength = image.size();
  Append(b, image);
  b.resize(300, 0x00);
  EXPECT_EQ(FindChecked(b), (Hits{HitOf(0, firstLength), HitOf(firstLength + 4, image.size())}));

  // A start marker inside an accepted image is not tried again.
  Bytes outer{0xFF, 0xD8};
  Append(outer, Segment(0xE0, 4));
  Append(outer, Segment(0xE1, 4));
  Append(outer, Segment(0xE2, 4));
  Append(outer, {0x01, 0xFF, 0xD8});
  Append(outer, Segment(0xE0, 4));
  Append(outer, Segment(0xE1, 4));
  Append(outer, Segment(0xE2, 4));
  Append(outer, {0x01, 0x02, 0xFF, 0xD9});
  EXPECT_EQ(FindChecked(Embed(outer, 0, 200)), (Hits{HitOf(0, outer.size())}));
}

// An image whose first segment holds a complete thumbnail image.
Bytes WithThumbnail(int outerSegments, bool outerEnd, std::size_t& thumbAt) {
  const Bytes thumb = Image(3);
  Bytes b{0xFF, 0xD8, 0xFF, 0xE1};
  const int length = static_cast<int>(2 + 6 + thumb.size() + 6);
  Append(b, {length >> 8, length & 0xFF, 'E', 'x', 'i', 'f', 0, 0});
  thumbAt = b.size();
  Append(b, thumb);
  Append(b, Filler(6, 0x33));
  for (int k = 1; k < outerSegments; ++k) Append(b, Segment(0xDB + k, 5));
  Append(b, {0x10, 0x20, 0x30});
  if (outerEnd) Append(b, {0xFF, 0xD9});
  return b;
}

TEST(JpegScanner, ThumbnailInsideASegment) {
  std::size_t thumbAt = 0;
  const Bytes thumb = Image(3);

  // Outer image accepted: the walk jumps over the thumbnail, which is not
  // carved separately.
  Bytes accepted = WithThumbnail(3, true, thumbAt);
  Bytes b = Filler(11);
  Append(b, accepted);
  b.resize(400);
  EXPECT_EQ(FindChecked(b), (Hits{HitOf(11, accepted.size())}));

  // Outer image rejected for too few segments or for lack of an end marker:
  // the scan moves on byte by byte and finds the thumbnail alone.
  for (const auto& [segments, end] : {std::pair{2, true}, std::pair{3, false}}) {
    Bytes rejected = WithThumbnail(segments, end, thumbAt);
    Bytes r = Filler(11);
    Append(r, rejected);
    r.resize(400);
    EXPECT_EQ(FindChecked(r), (Hits{HitOf(11 + thumbAt, thumb.size())}));
  }
}

TEST(JpegScanner, WalkReachingTheLastBytesRejectsWithoutOverreading) {
  // Three segments, the first long enough that the candidate lies before
  // length - 100, then the bytes of the final boundary at the buffer's end.
  auto build = [](std::initializer_list<int> last) {
    Bytes b{0xFF, 0xD8};
    Append(b, Segment(0xE0, 150));
    Append(b, Segment(0xE1, 4));
    Append(b, Segment(0xE2, 4));
    Append(b, last);
    return b;
  };
  // FF alone in the last byte: its code would lie beyond the buffer.
  EXPECT_TRUE(FindChecked(build({0xFF})).empty());
  // FF and a segment code in the last two bytes: no room for the length.
  EXPECT_TRUE(FindChecked(build({0xFF, 0xC0})).empty());
  // FF, code and one length byte: still no room.
  EXPECT_TRUE(FindChecked(build({0xFF, 0xC0, 0x00})).empty());
  // A standalone marker as the last two bytes steps to the end of the buffer.
  EXPECT_TRUE(FindChecked(build({0xFF, 0xD0})).empty());
  // A length that lands exactly on the buffer's end.
  EXPECT_TRUE(FindChecked(build({0xFF, 0xC0, 0x00, 0x02})).empty());
  // One byte more and the walk ends inside; the end marker then still fits.
  const Bytes fits = build({0xFF, 0xC0, 0x00, 0x02, 0x00, 0xFF, 0xD9});
  EXPECT_EQ(FindChecked(fits), (Hits{HitOf(0, fits.size())}));
  // The end marker's FF as the very last byte does not count.
  EXPECT_TRUE(FindChecked(build({0xFF, 0xC0, 0x00, 0x02, 0x00, 0xFF})).empty());
}

TEST(JpegScanner, WalkJoiningAnEarlierWalkCountsFromTheJoint) {
  // The candidate at 0 jumps over the one at 6 and is rejected with two
  // segments; the one at 6 reaches the same boundary (16) after two segments
  // of its own and is accepted with three.
  Bytes b{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x0C,                          //
          0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x02, 0xFF, 0xC1, 0x00, 0x02,  //
          0xFF, 0xC2, 0x00, 0x02, 0x00, 0xFF, 0xD9};
  b.resize(130);
  EXPECT_EQ(FindChecked(b), (Hits{HitOf(6, 17)}));

  // When the shared part runs off the buffer, both are rejected.
  b[19] = 0x70;
  b.resize(120);
  EXPECT_TRUE(FindChecked(b).empty());
}

// --- Real images made by tests/data/make_jpeg.py ---------------------------

Bytes ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::filesystem::path> DataJpegs() {
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::directory_iterator(QX_TEST_DATA_DIR)) {
    if (e.path().extension() == ".jpg") files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(JpegScanner, RealImagesEmbeddedInRandomBytesAreCarvedExactly) {
  const auto files = DataJpegs();
  ASSERT_GE(files.size(), 4u) << "expected the generated images in " << QX_TEST_DATA_DIR;
  std::mt19937 rng(1234);
  std::uniform_int_distribution<int> byte(0, 0xFE);  // no FF: the filler holds no markers
  Bytes buffer;
  Hits expected;
  for (const auto& f : files) {
    SCOPED_TRACE(f.string());
    const Bytes image = ReadFile(f);
    ASSERT_GT(image.size(), 100u);
    const std::size_t gap = 1 + 2 * (rng() % 500);  // odd offsets
    for (std::size_t k = 0; k < gap; ++k) buffer.push_back(static_cast<std::uint8_t>(byte(rng)));
    expected.push_back(HitOf(buffer.size(), image.size()));
    Append(buffer, image);

    // Each image alone, at an odd offset, with random bytes around it.
    Bytes alone(33, 0x5A);
    Append(alone, image);
    for (int k = 0; k < 77; ++k) alone.push_back(static_cast<std::uint8_t>(byte(rng)));
    const Hits got = FindChecked(alone);
    ASSERT_EQ(got, (Hits{HitOf(33, image.size())}));
    EXPECT_TRUE(std::equal(image.begin(), image.end(), alone.begin() + got[0].first));
  }
  for (int k = 0; k < 101; ++k) buffer.push_back(static_cast<std::uint8_t>(byte(rng)));
  EXPECT_EQ(FindChecked(buffer), expected);
}

// --- Randomized comparison with the reference ------------------------------

// Random "segment soups": start and end markers, standalone markers,
// segments with small lengths (0 and 1 included), stuffed FF 00, FF runs and
// plain bytes, so that walks branch, merge and end everywhere.
Bytes Soup(std::mt19937& rng, std::size_t size) {
  Bytes b;
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  while (b.size() < size) {
    switch (pick(11)) {
      case 0:
        Append(b, {0xFF, 0xD8, 0xFF});
        break;
      case 1: {
        // A plausible header: start marker and a few short segments.
        Append(b, {0xFF, 0xD8});
        for (int k = 1 + pick(4); k > 0; --k) {
          const int length = 2 + pick(6);
          Append(b, {0xFF, 0xC0 + pick(0x20), 0, length});
          for (int n = 2; n < length; ++n) b.push_back(static_cast<std::uint8_t>(pick(256)));
        }
        break;
      }
      case 10:
        Append(b, {0xFF, 0xD8, 0xFF});
        break;
      case 2:
        Append(b, {0xFF, 0xD9});
        break;
      case 3:
        Append(b, {0xFF, pick(3) == 0 ? 0x01 : 0xD0 + pick(8)});
        break;
      case 4:
      case 5: {
        const int code = pick(4) == 0 ? (pick(2) ? 0xD8 : 0xD9) : 0xC0 + pick(0x3F);
        const int length = pick(4) == 0 ? pick(2) : pick(24);
        Append(b, {0xFF, code, length >> 8, length & 0xFF});
        break;
      }
      case 6:
        Append(b, {0xFF, 0x00});
        break;
      case 7:
        b.insert(b.end(), static_cast<std::size_t>(1 + pick(4)), 0xFF);
        break;
      default:
        b.push_back(static_cast<std::uint8_t>(pick(256)));
    }
  }
  b.resize(size);
  return b;
}

TEST(JpegScanner, AgreesWithReferenceOnSegmentSoups) {
  std::mt19937 rng(20240501);
  std::size_t totalHits = 0;
  for (int round = 0; round < 4000; ++round) {
    const std::size_t size = 90 + rng() % 700;
    const Bytes b = Soup(rng, size);
    const Hits expected = qx::testref::FindJpegsReference(b.data(), static_cast<std::int64_t>(b.size()));
    SCOPED_TRACE(round);
    ExpectEveryWay(b, expected);
    if (HasFailure()) return;
    totalHits += expected.size();
  }
  EXPECT_GT(totalHits, 100u);  // the soups do exercise acceptance
}

TEST(JpegScanner, AgreesWithReferenceOnMutatedChains) {
  // Long chains entered by many candidates, with random damage: walks merge
  // into each other, run off the buffer or end where the end search fails.
  std::mt19937 rng(77);
  std::size_t totalHits = 0;
  for (int round = 0; round < 300; ++round) {
    Bytes b;
    const std::size_t units = 50 + rng() % 400;
    for (std::size_t u = 0; u < units; ++u) Append(b, {0xFF, 0xC0, 0x00, 0x04, 0xFF, 0xD8});
    const int mutations = static_cast<int>(rng() % 12);
    for (int m = 0; m < mutations; ++m) {
      const std::size_t at = rng() % b.size();
      switch (rng() % 4) {
        case 0: b[at] = 0x00; break;                                   // end a walk here
        case 1: b[at] = 0xD9; break;                                   // maybe an end marker
        case 2: b[at] = static_cast<std::uint8_t>(rng() % 16); break;  // change a length
        default: b[at] = 0xD0; break;                                  // standalone marker
      }
    }
    const Hits expected = qx::testref::FindJpegsReference(b.data(), static_cast<std::int64_t>(b.size()));
    SCOPED_TRACE(round);
    ExpectEveryWay(b, expected);
    if (HasFailure()) return;
    totalHits += expected.size();
  }
  EXPECT_GT(totalHits, 20u);
}

// --- Inputs that would make a quadratic scan hang --------------------------
// Their results are known by construction; the reference would need hours.

Bytes Repeat(std::initializer_list<int> unit, std::size_t times) {
  Bytes b;
  b.reserve(unit.size() * times);
  for (std::size_t k = 0; k < times; ++k) Append(b, unit);
  return b;
}

TEST(JpegScanner, LongChainEnteredByEveryCandidate) {
  // Every FF D8 is followed by FF, so each unit starts a candidate whose walk
  // would run the whole remaining chain.
  const std::size_t units = 300000;
  Bytes dead = Repeat({0xFF, 0xC0, 0x00, 0x04, 0xFF, 0xD8}, units);
  EXPECT_TRUE(Find(dead).empty());  // the last step leaves the buffer

  // The chain ends in entropy-coded data without an end marker.
  Bytes noEnd = dead;
  Append(noEnd, Filler(200, 0x00));
  EXPECT_TRUE(Find(noEnd).empty());

  // With an end marker the first candidate takes everything.
  Bytes withEnd = noEnd;
  Append(withEnd, {0xFF, 0xD9, 0x00});
  EXPECT_EQ(Find(withEnd), (Hits{HitOf(4, withEnd.size() - 1 - 4)}));
}

TEST(JpegScanner, StandaloneRunEnteredThroughCountedSegments) {
  // A real image first, then 10,000 candidates whose single counted segment
  // jumps into a long run of FF D0, which runs off the end of the buffer.
  Bytes b = Image(3);
  const std::size_t imageSize = b.size();
  const std::size_t candidates = 10000;
  const std::size_t runStart = imageSize + candidates * 6 + 2;  // kept even below
  Bytes front;
  for (std::size_t k = 0; k < candidates; ++k) {
    const std::size_t at = imageSize + k * 6;
    const std::size_t target = runStart + 2 * (k % 1000);
    const std::size_t length = target - (at + 2) - 2;
    ASSERT_LE(length, 0xFFFFu);
    Append(front, {0xFF, 0xD8, 0xFF, 0xC0, static_cast<int>(length >> 8),
                   static_cast<int>(length & 0xFF)});
  }
  Append(b, front);
  Append(b, {0x00, 0x00});
  ASSERT_EQ(b.size(), runStart);
  Append(b, Repeat({0xFF, 0xD0}, 1000000));
  EXPECT_EQ(Find(b), (Hits{HitOf(0, imageSize)}));

  // Ending the run with two more segments and an end marker makes the first
  // candidate after the image take the rest.
  b.resize(b.size() - 2);
  Append(b, Segment(0xC4, 2));
  Append(b, Segment(0xDA, 2));
  Append(b, {0x00, 0xFF, 0xD9});
  EXPECT_EQ(Find(b), (Hits{HitOf(0, imageSize), HitOf(imageSize, b.size() - imageSize)}));
}

TEST(JpegScanner, ManyValidHeadersWithoutEndMarker) {
  // An image, then 100,000 candidates with three counted segments each whose
  // walks end at scattered positions (the segments overlap one another), and
  // no FF D9 anywhere after the image: every end search fails.
  std::mt19937 rng(5);
  Bytes b = Filler(3);
  const Bytes image = Image(3);
  Append(b, image);
  const std::size_t imageAt = 3;
  for (int k = 0; k < 100000; ++k) {
    const int jump = static_cast<int>(rng() % 3000);
    Append(b, {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x02, 0xFF, 0xE1, 0x00, 0x02, 0xFF, 0xC0,
               jump >> 8, jump & 0xFF, 0x00});
  }
  Append(b, Filler(3000, 0x00));
  EXPECT_EQ(Find(b), (Hits{HitOf(imageAt, image.size())}));
}

TEST(JpegScanner, StartsAmidFfOrD8Padding) {
  // Flash dumps are padded with FF: a start marker right after the padding,
  // and padding right after the end marker.
  const Bytes image = Image(3);
  for (const std::uint8_t pad : {0xFF, 0xD8}) {
    SCOPED_TRACE(static_cast<int>(pad));
    Bytes b = Filler(57, pad);
    Append(b, image);
    Append(b, Filler(150, pad));
    EXPECT_EQ(FindChecked(b), (Hits{HitOf(57, image.size())}));
    ExpectEveryWay(b, {HitOf(57, image.size())});
  }
}

TEST(JpegScanner, LongStepsAcrossLargeBuffersAgreeWithReference) {
  // Segment lengths up to 0xFFFF in buffers several times larger than that,
  // over dense FF: steps reach the farthest boundary a step can, so the
  // backward table must keep every outcome a step can still need.
  std::mt19937 rng(4711);
  std::size_t totalHits = 0;
  for (int round = 0; round < 6; ++round) {
    Bytes b;
    const std::size_t size = 200000 + rng() % 150000;
    auto pick = [&](unsigned n) { return static_cast<int>(rng() % n); };
    while (b.size() < size) {
      switch (pick(8)) {
        case 0:
          Append(b, {0xFF, 0xD8});
          break;
        case 1: {
          const int length = pick(3) == 0 ? 0xFFFF - pick(2) : pick(0x10000);
          Append(b, {0xFF, 0xC0 + pick(0x20), length >> 8, length & 0xFF});
          break;
        }
        case 2:
          Append(b, {0xFF, 0xD0 + pick(8)});
          break;
        case 3:
          if (pick(40) == 0) Append(b, {0xFF, 0xD9});
          break;
        case 4:
          Append(b, {0xFF, 0xC4, 0x00, 4 + pick(12)});
          break;
        default:
          b.insert(b.end(), static_cast<std::size_t>(1 + pick(6)), 0xFF);
      }
    }
    Append(b, Filler(120, 0x00));
    const Hits expected = qx::testref::FindJpegsReference(b.data(), static_cast<std::int64_t>(b.size()));
    SCOPED_TRACE(round);
    ExpectEveryWay(b, expected);
    totalHits += expected.size();
  }
  EXPECT_GT(totalHits, 5u);
}

// Inputs that would cost memory per boundary walked, at a few megabytes: a
// single walk over millions of boundaries, and a candidate every 6 bytes
// whose walk runs to the end.
TEST(JpegScanner, MillionsOfBoundariesInOneWalk) {
  const Bytes header{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x02, 0xFF, 0xE1, 0x00, 0x02, 0xFF, 0xE2, 0x00, 0x02};
  Bytes b = header;
  Append(b, Repeat({0xFF, 0xD0}, 1500000));
  EXPECT_TRUE(Find(b).empty());  // the run of FF D0 leaves the buffer

  // Ended by entropy-coded data and an end marker, the walk takes it all.
  Append(b, {0x00, 0xFF, 0xD9});
  const std::size_t imageSize = b.size();
  Append(b, Filler(100, 0x00));
  ExpectEveryWay(b, {HitOf(0, imageSize)}, false);
}

TEST(JpegScanner, StartEverySixBytesWithWalksToTheEnd) {
  const std::size_t units = 500000;
  Bytes b = Repeat({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04}, units);
  EXPECT_TRUE(Find(b).empty());

  // An end marker after the chain, which runs off the buffer all the same:
  // the end search alone cannot reject the candidates.
  Bytes runsOff = b;
  Append(runsOff, {0xFF, 0xD9, 0xFF, 0xC0, 0xFF, 0xFF});
  Append(runsOff, Filler(100, 0x00));
  ExpectEveryWay(runsOff, {}, false);

  // The chain ends in data and an end marker: the first candidate takes all.
  Bytes ends = b;
  Append(ends, {0x00, 0x00, 0x00, 0xFF, 0xD9});
  const std::size_t imageSize = ends.size();
  Append(ends, Filler(100, 0x00));
  ExpectEveryWay(ends, {HitOf(0, imageSize)}, false);
}

// An allocator for the table that can be told to fail, and that records
// what it was asked for.
struct AllocationLog {
  int calls = 0;
  int failuresLeft = 0;  // negative: fail every time
  std::size_t largest = 0;
};
AllocationLog g_allocations;

void* LoggedAllocate(std::size_t bytes) {
  ++g_allocations.calls;
  g_allocations.largest = std::max(g_allocations.largest, bytes);
  if (g_allocations.failuresLeft != 0) {
    if (g_allocations.failuresLeft > 0) --g_allocations.failuresLeft;
    return nullptr;
  }
  return std::calloc(bytes, 1);
}

qx::ScanLimits Logged(int failures) {
  g_allocations = AllocationLog{};
  g_allocations.failuresLeft = failures;
  qx::ScanLimits limits;
  limits.jpegAllocateZeroed = LoggedAllocate;
  return limits;
}

// Real images, each after `candidates` candidates whose single counted
// segment jumps into a run of `run` standalone markers: every walk runs
// through much of the run and is rejected with one segment.
Bytes TrapsAndImages(std::size_t candidates, std::size_t run, Hits& images) {
  Bytes b;
  images.clear();
  for (int part = 0; part < 3; ++part) {
    const std::size_t at = b.size();
    const std::size_t runStart = at + candidates * 6 + 2;
    for (std::size_t k = 0; k < candidates; ++k) {
      const std::size_t target = runStart + 2 * (k % std::min<std::size_t>(run, 1000));
      const std::size_t length = target - (at + k * 6 + 2) - 2;
      Append(b, {0xFF, 0xD8, 0xFF, 0xC0, static_cast<int>(length >> 8),
                 static_cast<int>(length & 0xFF)});
    }
    Append(b, {0x00, 0x00});
    Append(b, Repeat({0xFF, 0xD0}, run));
    b.push_back(0x00);
    const Bytes image = Image(3 + part);
    images.push_back(HitOf(b.size(), image.size()));
    Append(b, image);
  }
  Append(b, Filler(100, 0x00));
  return b;
}

TEST(JpegScanner, TableMemoryIsAnEighthOfTheBufferAtMost) {
  Hits images;
  const Bytes b = TrapsAndImages(10000, 1000000, images);
  EXPECT_EQ(FindWith(b, Logged(0)), images);
  ASSERT_EQ(g_allocations.calls, 1);
  EXPECT_LE(g_allocations.largest, b.size() / 8 + 8 + (std::size_t{1} << 17));
}

TEST(JpegScanner, WithoutMemoryForTheTableResultsStayAndTheTableIsTriedAgain) {
  // Small enough for walks one by one and for the reference.
  Hits images;
  const Bytes b = TrapsAndImages(300, 3000, images);
  ASSERT_EQ(qx::testref::FindJpegsReference(b.data(), static_cast<std::int64_t>(b.size())), images);

  EXPECT_EQ(FindWith(b, Logged(-1)), images);
  EXPECT_GE(g_allocations.calls, 2);  // not given up after the first failure

  EXPECT_EQ(FindWith(b, Logged(1)), images);
  EXPECT_EQ(g_allocations.calls, 2);  // the second try got it and kept it

  qx::ScanLimits starved = Logged(-1);
  starved.jpegDirectSteps = 0;
  EXPECT_EQ(FindWith(b, starved), images);
}

// --- The strict search -----------------------------------------------------

qx::ScanLimits StrictWith(std::int64_t steps) {
  qx::ScanLimits limits = DirectSteps(steps);
  limits.strict = true;
  return limits;
}

// The strict search as shipped, judged by the table and (small inputs)
// walked one by one, each also through windows of 64 bytes; all must give
// the strict reference's hits, which are returned.
Hits FindStrict(const Bytes& b, bool small = true) {
  const auto length = static_cast<std::int64_t>(b.size());
  const Hits expected = qx::testref::FindJpegsReference(b.data(), length, true);
  EXPECT_EQ(FindWith(b, StrictWith(-1)), expected);
  EXPECT_EQ(FindWith(b, StrictWith(0)), expected) << "judged by the table";
  if (small) {
    EXPECT_EQ(FindWith(b, StrictWith(std::numeric_limits<std::int64_t>::max())), expected)
        << "walked one by one";
  }
  for (const std::int64_t steps : {std::int64_t{-1}, std::int64_t{0}}) {
    qx::SpanSource source(b.data(), length, 64);
    Hits windowed;
    qx::FindJpegsIn(source, [&](std::int64_t s, std::int64_t n) { windowed.emplace_back(s, n); },
                    StrictWith(steps));
    EXPECT_EQ(windowed, expected) << "through windows, steps " << steps;
  }
  return expected;
}

// SOI, the segments with these codes (6 bytes each), data, EOI.
Bytes WithCodes(std::initializer_list<int> codes) {
  Bytes b{0xFF, 0xD8};
  for (int code : codes) Append(b, Segment(code, 6));
  Append(b, {0x12, 0x34, 0x56, 0xFF, 0xD9});
  return b;
}

TEST(JpegScannerStrict, EachFrameHeaderCodeAndTheScanHeader) {
  for (int code = 0xC0; code <= 0xCF; ++code) {
    SCOPED_TRACE(code);
    const bool frame = code != 0xC4 && code != 0xC8 && code != 0xCC;
    const Bytes image = WithCodes({0xE0, code, 0xDA});
    const Bytes b = Embed(image, 9, 200);
    EXPECT_EQ(FindChecked(b), (Hits{HitOf(9, image.size())}));  // ordinary: three segments
    EXPECT_EQ(FindStrict(b), frame ? Hits{HitOf(9, image.size())} : Hits{});
  }
  // Neither markers nor other codes stand in for them.
  for (int code : {0xDB, 0xE0, 0xDD, 0xFE, 0xD8, 0xD9, 0xDE, 0xDF, 0xBF, 0xC8}) {
    SCOPED_TRACE(code);
    EXPECT_TRUE(FindStrict(Embed(WithCodes({0xC4, code, 0xDA}), 9, 200)).empty());
    EXPECT_TRUE(FindStrict(Embed(WithCodes({0xC4, 0xC0, code}), 9, 200)).empty());
  }
}

TEST(JpegScannerStrict, BothAmongTheSegmentsTheWalkCrosses) {
  const auto accepted = [](const Bytes& image) {
    return FindStrict(Embed(image, 3, 220)) == Hits{HitOf(3, image.size())};
  };
  EXPECT_TRUE(accepted(WithCodes({0xDB, 0xC0, 0xC4, 0xDA})));
  EXPECT_FALSE(accepted(WithCodes({0xDB, 0xC0, 0xC4})));  // no scan
  EXPECT_FALSE(accepted(WithCodes({0xDB, 0xC4, 0xDA})));  // no frame
  // Order is not asked; repeats are allowed; standalone markers between.
  EXPECT_TRUE(accepted(WithCodes({0xDA, 0xDB, 0xC2})));
  EXPECT_TRUE(accepted(WithCodes({0xC0, 0xC0, 0xDA, 0xDA})));
  Bytes standalone{0xFF, 0xD8, 0xFF, 0xD0};
  Append(standalone, Segment(0xC1, 5));
  Append(standalone, {0xFF, 0x01});
  Append(standalone, Segment(0xE2, 4));
  Append(standalone, Segment(0xDA, 4));
  Append(standalone, {0x00, 0xFF, 0xD9});
  EXPECT_TRUE(accepted(standalone));
  // Still three counted segments: a frame and a scan header alone are two.
  EXPECT_FALSE(accepted(WithCodes({0xC0, 0xDA})));
  // A frame header after the walk's end (past the entropy-coded data) is
  // not among them.
  Bytes late = WithCodes({0xE0, 0xDB, 0xDA});
  late.resize(late.size() - 2);
  Append(late, Segment(0xC0, 6));
  Append(late, {0xFF, 0xD9});
  EXPECT_FALSE(accepted(late));
  // Inside a segment's payload they count for nothing.
  Bytes hidden{0xFF, 0xD8};
  Append(hidden, {0xFF, 0xE1, 0x00, 0x0A, 0xFF, 0xC0, 0x00, 0x02, 0xFF, 0xDA, 0x00, 0x02});
  Append(hidden, Segment(0xDB, 4));
  Append(hidden, Segment(0xC4, 4));
  Append(hidden, {0x00, 0xFF, 0xD9});
  EXPECT_FALSE(accepted(hidden));
}

TEST(JpegScannerStrict, AJoinedWalkTakesTheMarkersFromTheJointOn) {
  // The candidate at 0 jumps with its APP0 over the one at 6 into the
  // shared part at 16; the one at 6 crosses a frame header of its own (C0)
  // before it gets there. The shared part holds the scan header.
  Bytes b{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x0C,                          //
          0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x02, 0xFF, 0xC1, 0x00, 0x02,  //
          0xFF, 0xDA, 0x00, 0x02, 0xFF, 0xDB, 0x00, 0x02, 0x00, 0xFF, 0xD9};
  b.resize(140);
  // Ordinary: the first has three segments (E0, DA, DB) and takes all.
  EXPECT_EQ(FindChecked(b), (Hits{HitOf(0, 27)}));
  // Strict: the first lacks a frame header; the second has one.
  EXPECT_EQ(FindStrict(b), (Hits{HitOf(6, 21)}));
  // With the scan header moved into the second's own part and an APP
  // segment in the shared one, only the second still has both.
  b[17] = 0xE1;
  b[13] = 0xDA;
  EXPECT_EQ(FindStrict(b), (Hits{HitOf(6, 21)}));
  // And with the shared part's scan header gone, neither.
  b[13] = 0xC1;
  EXPECT_TRUE(FindStrict(b).empty());
}

TEST(JpegScannerStrict, ARealImageAfterAJunkHeaderIsFound) {
  const auto files = DataJpegs();
  ASSERT_FALSE(files.empty());
  const Bytes image = ReadFile(files.front());
  // Junk: three segments, no frame or scan header, then bytes up to the real
  // image, whose end marker would close the junk one.
  Bytes b{0xFF, 0xD8};
  Append(b, Segment(0xE0, 8));
  Append(b, Segment(0xE1, 8));
  Append(b, Segment(0xFE, 8));
  Append(b, Filler(31, 0x42));
  const std::size_t at = b.size();
  Append(b, image);
  Append(b, Filler(120, 0x42));
  EXPECT_EQ(FindChecked(b), (Hits{HitOf(0, at + image.size())}));
  EXPECT_EQ(FindStrict(b), (Hits{HitOf(at, image.size())}));
}

TEST(JpegScannerStrict, RealImagesAreKept) {
  const auto files = DataJpegs();
  ASSERT_GE(files.size(), 4u);
  Bytes buffer;
  Hits expected;
  for (const auto& f : files) {
    SCOPED_TRACE(f.string());
    const Bytes image = ReadFile(f);
    Append(buffer, Filler(17, 0x33));
    expected.push_back(HitOf(buffer.size(), image.size()));
    Append(buffer, image);
  }
  Append(buffer, Filler(101, 0x33));
  EXPECT_EQ(FindStrict(buffer), expected);
}

TEST(JpegScannerStrict, AgreesWithTheReferenceOnSegmentSoups) {
  std::mt19937 rng(20240502);
  std::size_t hits = 0;
  std::size_t dropped = 0;
  for (int round = 0; round < 3000; ++round) {
    const Bytes b = Soup(rng, 90 + rng() % 700);
    SCOPED_TRACE(round);
    const Hits strict = FindStrict(b);
    if (HasFailure()) return;
    hits += strict.size();
    dropped += qx::testref::FindJpegsReference(b.data(), static_cast<std::int64_t>(b.size())).size() -
               std::min(strict.size(), qx::testref::FindJpegsReference(b.data(), static_cast<std::int64_t>(b.size())).size());
  }
  EXPECT_GT(hits, 50u);
  EXPECT_GT(dropped, 50u);
}

TEST(JpegScannerStrict, LongStepsAcrossLargeBuffersAgreeWithReference) {
  // Dense FF with frame, scan and other codes, lengths up to 0xFFFF: the
  // outcomes' markers must survive the ring and its longest steps.
  std::mt19937 rng(4712);
  std::size_t hits = 0;
  for (int round = 0; round < 4; ++round) {
    Bytes b;
    const std::size_t size = 200000 + rng() % 150000;
    auto pick = [&](unsigned n) { return static_cast<int>(rng() % n); };
    while (b.size() < size) {
      switch (pick(8)) {
        case 0: Append(b, {0xFF, 0xD8}); break;
        case 1: {
          const int length = pick(3) == 0 ? 0xFFFF - pick(2) : pick(0x10000);
          Append(b, {0xFF, 0xC0 + pick(0x20), length >> 8, length & 0xFF});
          break;
        }
        case 2: Append(b, {0xFF, 0xDA, 0x00, 2 + pick(8)}); break;
        case 3:
          if (pick(40) == 0) Append(b, {0xFF, 0xD9});
          break;
        case 4: Append(b, {0xFF, 0xC0 + pick(16), 0x00, 4 + pick(12)}); break;
        default: b.insert(b.end(), static_cast<std::size_t>(1 + pick(6)), 0xFF);
      }
    }
    Append(b, Filler(120, 0x00));
    SCOPED_TRACE(round);
    hits += FindStrict(b).size();
  }
  EXPECT_GT(hits, 5u);
}

TEST(JpegScannerStrict, StartEverySixBytesStaysLinear) {
  // Half a million candidates into one chain of frame and scan headers that
  // ends in data and an end marker: the first takes it all, whichever way
  // the candidates are judged; without the end marker none is taken.
  const Bytes chain = Repeat({0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x04, 0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x04}, 250000);
  {
    // Small enough for the reference.
    Bytes small = Repeat({0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x04, 0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x04}, 30);
    Append(small, {0x00, 0x00, 0x00, 0x00, 0xFF, 0xD9});
    Append(small, Filler(100, 0x00));
    EXPECT_EQ(FindStrict(small), (Hits{HitOf(0, 30 * 12 + 6)}));
  }
  Bytes ends = chain;
  // The last step lands two bytes on: the walk ends there, on data.
  Append(ends, {0x00, 0x00, 0x00, 0x00, 0xFF, 0xD9});
  const std::size_t imageSize = ends.size();
  Append(ends, Filler(100, 0x00));
  for (const std::int64_t steps : {std::int64_t{-1}, std::int64_t{0}}) {
    EXPECT_EQ(FindWith(ends, StrictWith(steps)), (Hits{HitOf(0, imageSize)}));
  }
  Bytes runsOff = chain;
  Append(runsOff, {0xFF, 0xD9, 0xFF, 0xC0, 0xFF, 0xFF});
  Append(runsOff, Filler(100, 0x00));
  EXPECT_TRUE(FindWith(runsOff, StrictWith(0)).empty());
  // Only frame headers in the chain: every candidate has three segments and
  // none a scan header, also the one that would take everything.
  Bytes frames = Repeat({0xFF, 0xC0, 0x00, 0x04, 0xFF, 0xD8}, 500000);
  Append(frames, {0x00, 0xFF, 0xD9});
  Append(frames, Filler(100, 0x00));
  EXPECT_EQ(Find(frames).size(), 1u);
  EXPECT_TRUE(FindWith(frames, StrictWith(-1)).empty());
  EXPECT_TRUE(FindWith(frames, StrictWith(0)).empty());
}

}  // namespace
