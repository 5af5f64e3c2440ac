// The searches over a ByteSource must report exactly what the span searches
// report over the same bytes, whatever the windows, the budget and the
// length: checked on seeded random and structured buffers through tiny
// windows (views as separate exact-size copies for part of them), with
// budgets small enough to make the memos coarse, and on a sparse sequence of
// more than 4 GiB. The strict searches likewise, against the strict
// references, on content that puts each strict rule to work.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/TestBytes.h"
#include "allocation_control.h"
#include "reference_jpeg.h"
#include "reference_scanners.h"
#include "scanners/Scanners.h"
#include "scanners/SourceScanners.h"
#include "structured_content.h"
#include "support/ByteSource.h"
#include "test_sources.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Hits = std::vector<std::pair<std::int64_t, std::int64_t>>;
using SpanSearch = void (*)(const std::uint8_t*, std::int64_t, const qx::HitCallback&);
using SourceSearch = void (*)(qx::ByteSource&, const qx::HitCallback&, const qx::ScanLimits&);
using Reference = std::function<Hits(const std::uint8_t*, std::int64_t)>;
using LimitedSpanSearch = void (*)(const std::uint8_t*, std::int64_t, const qx::HitCallback&,
                                   const qx::ScanLimits&);
using StrictReference = Hits (*)(const std::uint8_t*, std::int64_t, bool);
using Generator = qx::testgen::Bytes (*)(std::mt19937&, std::size_t);

struct Kind {
  const char* name;
  SpanSearch span;
  SourceSearch windowed;
  Reference reference;
  // The same search taking limits, for the strict one; kinds without
  // strict rules leave these null and are passed over by the strict tests.
  LimitedSpanSearch limitedSpan;
  StrictReference strictReference;
  Generator strictContent;
};

const Kind kKinds[] = {
    {"bmp", qx::FindBitmaps, qx::FindBitmapsIn,
     [](const std::uint8_t* d, std::int64_t n) { return qx::testref::FindBitmapsReference(d, n); },
     qx::FindBitmaps, qx::testref::FindBitmapsReference, qx::testgen::BmpStrictContent},
    {"jpeg", qx::FindJpegs, qx::FindJpegsIn,
     [](const std::uint8_t* d, std::int64_t n) { return qx::testref::FindJpegsReference(d, n); },
     qx::FindJpegs, qx::testref::FindJpegsReference, qx::testgen::JpegStrictContent},
    {"png", qx::FindPngs, qx::FindPngsIn,
     [](const std::uint8_t* d, std::int64_t n) { return qx::testref::FindPngsReference(d, n); },
     qx::FindPngs, qx::testref::FindPngsReference, qx::testgen::PngStrictContent},
    {"gif", qx::FindGifs, qx::FindGifsIn, qx::testref::FindGifsReference, nullptr, nullptr, nullptr},
    {"icon", qx::FindIcons, qx::FindIconsIn, qx::testref::FindIconsReference, nullptr, nullptr, nullptr},
};

qx::ScanLimits Strict() {
  qx::ScanLimits limits;
  limits.strict = true;
  return limits;
}

Hits SpanHits(const Kind& kind, const Bytes& b);

// A kind without strict rules searches strictly as it always does.
Hits StrictSpanHits(const Kind& kind, const Bytes& b) {
  if (kind.limitedSpan == nullptr) return SpanHits(kind, b);
  Hits hits;
  kind.limitedSpan(b.data(), static_cast<std::int64_t>(b.size()),
                   [&](std::int64_t s, std::int64_t n) { hits.emplace_back(s, n); }, Strict());
  return hits;
}

Hits SpanHits(const Kind& kind, const Bytes& b) {
  Hits hits;
  kind.span(b.data(), static_cast<std::int64_t>(b.size()),
            [&](std::int64_t s, std::int64_t n) { hits.emplace_back(s, n); });
  return hits;
}

Hits SourceHits(const Kind& kind, qx::ByteSource& source, const qx::ScanLimits& limits = {}) {
  Hits hits;
  kind.windowed(source, [&](std::int64_t s, std::int64_t n) { hits.emplace_back(s, n); }, limits);
  return hits;
}

Bytes Content(const Kind& kind, std::mt19937& rng, std::size_t size) {
  switch (kind.name[0]) {
    case 'b':
      return qx::testgen::BmpContent(rng, size);
    case 'j':
      return qx::testgen::JpegContent(rng, size);
    case 'g':
      return qx::testgen::GifContent(rng, size);
    case 'i':
      return qx::testgen::IconContent(rng, size);
    default:
      return qx::testgen::PngContent(rng, size);
  }
}

// Random bytes, or the kind's structured content, of a random size.
Bytes Buffer(const Kind& kind, std::mt19937& rng, std::size_t most) {
  const std::size_t size = rng() % most;
  if (rng() % 4 == 0) {
    Bytes b(size);
    for (auto& v : b) v = static_cast<std::uint8_t>(rng());
    return b;
  }
  Bytes b = Content(kind, rng, size);
  b.resize(size);
  return b;
}

const std::int64_t kWindows[] = {16, 64, 100, 777, 1024, 4093};

// Small buffers: the reference too.
TEST(WindowedSearch, SameHitsAsSpanAndReferenceThroughTinyWindows) {
  for (const Kind& kind : kKinds) {
    SCOPED_TRACE(kind.name);
    std::mt19937 rng(20261207);
    std::size_t hits = 0;
    for (int round = 0; round < 150; ++round) {
      const Bytes b = Buffer(kind, rng, 6000);
      const auto length = static_cast<std::int64_t>(b.size());
      const Hits expected = SpanHits(kind, b);
      ASSERT_EQ(kind.reference(b.data(), length), expected) << round;
      const std::int64_t window = kWindows[round % std::size(kWindows)];
      qx::SpanSource span(b.data(), length, window);
      ASSERT_EQ(SourceHits(kind, span), expected) << round << " window " << window;
      qx::testsrc::CopyingSource copies(b.data(), length, window, round);
      ASSERT_EQ(SourceHits(kind, copies), expected) << round << " copied window " << window;
      hits += expected.size();
    }
    EXPECT_GT(hits, 30u);  // the content does hold images
  }
}

// Larger buffers with budgets from tiny to the default: the memos are
// dropped, coarsened or spread over several levels, the hits stay.
TEST(WindowedSearch, SameHitsAsSpanWithAnyBudget) {
  const std::int64_t budgets[] = {0, 300 << 10, 600 << 10, qx::kDefaultScanBudget};
  for (const Kind& kind : kKinds) {
    SCOPED_TRACE(kind.name);
    std::mt19937 rng(77);
    for (int round = 0; round < 8; ++round) {
      const Bytes b = Content(kind, rng, 1500000 + rng() % 2000000);
      const auto length = static_cast<std::int64_t>(b.size());
      const Hits expected = SpanHits(kind, b);
      for (const std::int64_t budget : budgets) {
        qx::ScanLimits limits;
        limits.memoryBudget = budget;
        // Judge JPEG candidates by the backward pass at once, so that every
        // budget goes through it.
        limits.jpegDirectSteps = round % 2 == 0 ? 0 : -1;
        std::int64_t peak = -1;
        limits.peakBytes = &peak;
        qx::SpanSource span(b.data(), length, round % 2 == 0 ? 4096 : 65536 + 7);
        ASSERT_EQ(SourceHits(kind, span, limits), expected) << round << " budget " << budget;
        // Within the budget, or one ring for JPEG's pass.
        EXPECT_LE(peak, std::max<std::int64_t>(budget, 1 << 17) + (1 << 17)) << budget;
      }
    }
  }
}

// A JPEG range too long for one level of checkpoints in a budget of 1 MiB
// (leaves of 2 M positions: one level of 7 checkpoints covers 14.7 M, two of 3 cover 18.9 M), and a budget too small
// for any, where candidates are walked one by one.
TEST(WindowedSearch, JpegJudgedOverTwoLevelsOfCheckpointsOrNone) {
  std::mt19937 rng(31);
  const Kind& kind = kKinds[1];
  const Bytes b = Content(kind, rng, 17500000);
  const auto length = static_cast<std::int64_t>(b.size());
  const Hits expected = SpanHits(kind, b);
  EXPECT_GT(expected.size(), 100u);
  for (const std::int64_t budget : {std::int64_t{1} << 20, std::int64_t{100} << 10}) {
    qx::ScanLimits limits;
    limits.memoryBudget = budget;
    limits.jpegDirectSteps = 0;
    qx::SpanSource span(b.data(), length, 1 << 16);
    EXPECT_EQ(SourceHits(kind, span, limits), expected) << budget;
  }
}

// Memory refused to the side tables changes no hit, and nothing the
// searches ask for can end in an exception.
TEST(WindowedSearch, RefusedAllocationsChangeNoResult) {
  const std::pair<const char*, std::function<bool(std::size_t, std::size_t)>> rules[] = {
      {"every request refused", [](std::size_t, std::size_t) { return false; }},
      {"every other one refused", [](std::size_t n, std::size_t) { return n % 2 == 1; }},
      {"large ones refused", [](std::size_t, std::size_t size) { return size < 100000; }},
  };
  for (const Kind& kind : kKinds) {
    std::mt19937 rng(5);
    const Bytes b = Content(kind, rng, 400000);
    const Hits expected = SpanHits(kind, b);
    for (const auto& [name, grant] : rules) {
      Hits hits;
      hits.reserve(expected.size() + 100);
      qx::SpanSource source(b.data(), static_cast<std::int64_t>(b.size()), 4096);
      qx::ScanLimits limits;
      limits.jpegDirectSteps = 0;
      limits.jpegAllocateZeroed = qx::testalloc::ScopedCalloc;
      const qx::HitCallback onHit = [&](std::int64_t s, std::int64_t n) { hits.emplace_back(s, n); };
      std::size_t throwing = 0;
      {
        qx::testalloc::NothrowAllocationScope scope(grant);
        kind.windowed(source, onHit, limits);
        throwing = scope.throwingRequests();
      }
      EXPECT_EQ(hits, expected) << kind.name << ", " << name;
      EXPECT_EQ(throwing, 0u) << kind.name << ", " << name;
    }
  }
}

// The strict searches: span, windowed and reference agree on content where
// each strict rule decides, through the same tiny windows.
TEST(WindowedSearch, StrictSameHitsAsSpanAndReferenceThroughTinyWindows) {
  for (const Kind& kind : kKinds) {
    if (kind.strictContent == nullptr) continue;
    SCOPED_TRACE(kind.name);
    std::mt19937 rng(20261208);
    std::size_t hits = 0;
    std::size_t dropped = 0;
    for (int round = 0; round < 150; ++round) {
      const std::size_t size = rng() % 6000;
      Bytes b = kind.strictContent(rng, size);
      b.resize(size);
      const auto length = static_cast<std::int64_t>(b.size());
      const Hits expected = StrictSpanHits(kind, b);
      ASSERT_EQ(kind.strictReference(b.data(), length, true), expected) << round;
      const std::int64_t window = kWindows[round % std::size(kWindows)];
      qx::SpanSource span(b.data(), length, window);
      ASSERT_EQ(SourceHits(kind, span, Strict()), expected) << round << " window " << window;
      qx::testsrc::CopyingSource copies(b.data(), length, window, round);
      ASSERT_EQ(SourceHits(kind, copies, Strict()), expected) << round << " copied window " << window;
      hits += expected.size();
      const Hits ordinary = SpanHits(kind, b);
      for (const auto& hit : ordinary) dropped += std::count(expected.begin(), expected.end(), hit) == 0 ? 1 : 0;
    }
    // Images pass, and candidates the ordinary search takes are dropped.
    EXPECT_GT(hits, 100u);
    EXPECT_GT(dropped, 100u);
  }
}

TEST(WindowedSearch, StrictSameHitsAsSpanWithAnyBudget) {
  const std::int64_t budgets[] = {0, 300 << 10, qx::kDefaultScanBudget};
  for (const Kind& kind : kKinds) {
    if (kind.strictContent == nullptr) continue;
    SCOPED_TRACE(kind.name);
    std::mt19937 rng(78);
    for (int round = 0; round < 4; ++round) {
      const Bytes b = kind.strictContent(rng, 1000000 + rng() % 1000000);
      const auto length = static_cast<std::int64_t>(b.size());
      const Hits expected = StrictSpanHits(kind, b);
      EXPECT_GT(expected.size(), 100u);
      for (const std::int64_t budget : budgets) {
        qx::ScanLimits limits = Strict();
        limits.memoryBudget = budget;
        limits.jpegDirectSteps = round % 2 == 0 ? 0 : -1;
        qx::SpanSource span(b.data(), length, round % 2 == 0 ? 4096 : 65536 + 7);
        ASSERT_EQ(SourceHits(kind, span, limits), expected) << round << " budget " << budget;
      }
    }
  }
}

Bytes ReadData(const std::string& name) {
  std::ifstream in(std::string(QX_TEST_DATA_DIR) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Real images across every window boundary: each image at each offset
// modulo a small window, so that some field of it straddles two views.
TEST(WindowedSearch, RealImagesAcrossViewBoundaries) {
  const std::pair<const Kind*, const char*> images[] = {
      {&kKinds[0], "bmp_24bit.bmp"},       {&kKinds[1], "baseline_420.jpg"},
      {&kKinds[2], "png_rgba_text.png"},   {&kKinds[3], "gif89a_animated.gif"},
      {&kKinds[3], "gif89a_local.gif"},    {&kKinds[4], "icon_png.ico"},
      {&kKinds[4], "cursor.cur"}};
  for (const auto& [kind, name] : images) {
    SCOPED_TRACE(name);
    const Bytes image = ReadData(name);
    for (std::int64_t at = 0; at < 64; at += 3) {
      Bytes b(static_cast<std::size_t>(at), 0x20);
      b.insert(b.end(), image.begin(), image.end());
      b.resize(b.size() + 120, 0x20);
      const Hits expected = {{at, static_cast<std::int64_t>(image.size())}};
      ASSERT_EQ(SpanHits(*kind, b), expected);
      qx::testsrc::CopyingSource copies(b.data(), static_cast<std::int64_t>(b.size()), 64, 5);
      ASSERT_EQ(SourceHits(*kind, copies), expected) << at;
      ASSERT_EQ(StrictSpanHits(*kind, b), expected) << "strict " << at;
      qx::testsrc::CopyingSource strictCopies(b.data(), static_cast<std::int64_t>(b.size()), 64, 6);
      ASSERT_EQ(SourceHits(*kind, strictCopies, Strict()), expected) << "strict " << at;
    }
  }
}

void PutBe32(std::uint8_t* p, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) p[k] = static_cast<std::uint8_t>(v >> (24 - 8 * k));
}

std::uint32_t Crc(const std::uint8_t* p, std::size_t n) { return qx::testbytes::BitwiseCrc32(p, n); }

Bytes PngChunk(const char* type, std::size_t size) {
  Bytes c(12 + size);
  PutBe32(c.data(), static_cast<std::uint32_t>(size));
  std::memcpy(c.data() + 4, type, 4);
  for (std::size_t k = 0; k < size; ++k) c[8 + k] = static_cast<std::uint8_t>(k);
  PutBe32(c.data() + 8 + size, Crc(c.data() + 4, size + 4));
  return c;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

const Bytes kPngSignature = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

// Positions past 4 GiB, lengths near 2^32, a JPEG whose end marker lies
// hundreds of megabytes after its header, an icon whose image lies 3 GiB
// after its directory, and a bitmap and a GIF that run to the end:
// every sum in 64 bits. Zeros in between cost little to scan.
TEST(WindowedSearch, PositionsAndLengthsBeyondFourGiB) {
  const std::int64_t gib = std::int64_t{1} << 30;
  const std::int64_t length = 4 * gib + 700 * (std::int64_t{1} << 20);
  qx::testsrc::SparseSource source(length, 1 << 20);

  // BMP: at 1 GiB one whose 0xFFFFFFFF bytes would wrap a 32-bit sum; one at
  // 4 GiB + 5; one whose declared size reaches the last byte, after one
  // that would end a byte past it.
  const auto bitmap = [](std::uint32_t size) {
    return Bytes{'B', 'M', static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8),
                 static_cast<std::uint8_t>(size >> 16), static_cast<std::uint8_t>(size >> 24),
                 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0};
  };
  source.Place(gib, bitmap(0xFFFFFFFFu));
  const std::int64_t bmpAt = 4 * gib + 5;
  source.Place(bmpAt, bitmap(100));
  const std::uint32_t lastSize = 100u << 20;
  const std::int64_t bmpLastAt = length - lastSize;
  source.Place(bmpLastAt - 1000, bitmap(lastSize + 1001));
  source.Place(bmpLastAt, bitmap(lastSize));

  // PNG: a candidate at 3 GiB whose chunk claims 0xFFFFFFF0 bytes (runs past
  // the end: walked on 4 bytes at a time), and an image at 4 GiB + 100 MiB.
  source.Place(3 * gib, Cat({kPngSignature, {0xFF, 0xFF, 0xFF, 0xF0}, {'z', 'z', 'z', 'z'}}));
  const Bytes png = Cat({kPngSignature, PngChunk("IHDR", 13), PngChunk("IDAT", 300), PngChunk("IEND", 0)});
  const std::int64_t pngAt = 4 * gib + 100 * (std::int64_t{1} << 20) + 3;
  source.Place(pngAt, png);

  // JPEG: a header at 4 GiB + 200 MiB, its end marker 300 MiB later.
  const Bytes jpegHeader = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x02, 0xFF, 0xDB, 0x00, 0x02,
                            0xFF, 0xC0, 0x00, 0x02, 0x01};
  const std::int64_t jpegAt = 4 * gib + 200 * (std::int64_t{1} << 20) + 1;
  const std::int64_t jpegEnd = jpegAt + 300 * (std::int64_t{1} << 20);
  source.Place(jpegAt, jpegHeader);
  source.Place(jpegEnd, {0xFF, 0xD9});

  // GIF: a smallest one past 4 GiB and one whose trailer is the last byte.
  const Bytes gif = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, 0x2C, 0, 0, 0, 0, 1,
                     0, 1, 0, 0, 2, 1, 0x44, 0, 0x3B};
  const std::int64_t gifAt = 4 * gib + 300 * (std::int64_t{1} << 20) + 9;
  source.Place(gifAt, gif);
  const std::int64_t gifLastAt = length - static_cast<std::int64_t>(gif.size());
  source.Place(gifLastAt, gif);

  // Icons: one at 100 MiB whose image lies 3 GiB further (a hit longer than
  // 2^31), a cursor past 4 GiB, and one whose image would end past the end.
  const auto icon = [](int type, std::uint32_t size, std::uint32_t offset) {
    Bytes b = {0, 0, static_cast<std::uint8_t>(type), 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0};
    for (const std::uint32_t v : {size, offset}) {
      for (int k = 0; k < 4; ++k) b.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
    }
    return b;
  };
  const Bytes pngHead = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
  const std::int64_t iconAt = 100 * (std::int64_t{1} << 20) + 1;
  source.Place(iconAt, icon(1, 57, 0xC0000000u));
  source.Place(iconAt + 0xC0000000ll, pngHead);
  const std::int64_t cursorAt = 4 * gib + 400 * (std::int64_t{1} << 20) + 3;
  source.Place(cursorAt, icon(2, 57, 256u << 20));
  source.Place(cursorAt + (256 << 20), pngHead);
  source.Place(length - 1000, icon(1, 57, 950));
  source.Place(length - 50, pngHead);

  Hits bmpHits;
  qx::FindBitmapsIn(source, [&](std::int64_t s, std::int64_t n) { bmpHits.emplace_back(s, n); });
  EXPECT_EQ(bmpHits, (Hits{{bmpAt, 100}, {bmpLastAt, lastSize}}));

  Hits pngHits;
  qx::FindPngsIn(source, [&](std::int64_t s, std::int64_t n) { pngHits.emplace_back(s, n); });
  EXPECT_EQ(pngHits, (Hits{{pngAt, static_cast<std::int64_t>(png.size())}}));

  Hits jpegHits;
  qx::FindJpegsIn(source, [&](std::int64_t s, std::int64_t n) { jpegHits.emplace_back(s, n); });
  EXPECT_EQ(jpegHits, (Hits{{jpegAt, jpegEnd + 2 - jpegAt}}));

  Hits gifHits;
  qx::FindGifsIn(source, [&](std::int64_t s, std::int64_t n) { gifHits.emplace_back(s, n); });
  EXPECT_EQ(gifHits, (Hits{{gifAt, 28}, {gifLastAt, 28}}));

  Hits iconHits;
  qx::FindIconsIn(source, [&](std::int64_t s, std::int64_t n) { iconHits.emplace_back(s, n); });
  EXPECT_EQ(iconHits, (Hits{{iconAt, 0xC0000000ll + 57}, {cursorAt, (256 << 20) + 57}}));
}

}  // namespace
