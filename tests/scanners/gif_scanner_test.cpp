// The GIF search: real files found byte-exactly among other bytes, cut
// short, with fields changed; walks that share their blocks; and the cost of
// hostile content counted in views, which grows with the length and not
// with its square.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "reference_scanners.h"
#include "scanners/Scanners.h"
#include "scanners/SourceScanners.h"
#include "structured_content.h"
#include "test_sources.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Hits = qx::testref::ScanHits;

const char* const kFiles[] = {"gif87a_global.gif", "gif89a_animated.gif", "gif89a_local.gif"};

Bytes ReadData(const std::string& name) {
  std::ifstream in(std::string(QX_TEST_DATA_DIR) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Hits SpanHits(const Bytes& b) {
  Hits hits;
  qx::FindGifs(b.data(), static_cast<std::int64_t>(b.size()),
               [&](std::int64_t start, std::int64_t length) { hits.emplace_back(start, length); });
  return hits;
}

Hits WindowedHits(qx::ByteSource& source, const qx::ScanLimits& limits = {}) {
  Hits hits;
  qx::FindGifsIn(source, [&](std::int64_t start, std::int64_t length) { hits.emplace_back(start, length); },
                 limits);
  return hits;
}

// The span search, checked against the reference and against the windowed
// search through small views, each a separate copy.
Hits Find(const Bytes& b) {
  const Hits hits = SpanHits(b);
  EXPECT_EQ(qx::testref::FindGifsReference(b.data(), static_cast<std::int64_t>(b.size())), hits);
  qx::testsrc::CopyingSource source(b.data(), static_cast<std::int64_t>(b.size()), 16, 7);
  EXPECT_EQ(WindowedHits(source), hits);
  return hits;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes Filler(std::size_t n, std::uint32_t seed) {
  // No 'G' and no block introducer, so that nothing in it starts or continues a GIF.
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& v : b) v = static_cast<std::uint8_t>('a' + rng() % 26);
  return b;
}

const Bytes kScreen = {'G', 'I', 'F', '8', '9', 'a', 8, 0, 8, 0, 0, 0, 0};  // no global table
// An image descriptor without a local table, code size 2, one data sub-block.
const Bytes kImage = {0x2C, 0, 0, 0, 0, 8, 0, 8, 0, 0, 2, 2, 0x8C, 0x2D, 0};
const Bytes kTrailer = {0x3B};

// Where each block and sub-block of a well-formed GIF begins: the walk's
// own positions, for cutting and changing files at them.
std::vector<std::size_t> Boundaries(const Bytes& g) {
  std::vector<std::size_t> at = {6, 13};
  std::size_t pos = 13 + ((g[10] & 0x80) ? 3u << ((g[10] & 7) + 1) : 0);
  const auto chain = [&](std::size_t k) {
    while (g[k] != 0) {
      at.push_back(k);
      k += 1 + g[k];
    }
    at.push_back(k);
    return k + 1;
  };
  while (g[pos] != 0x3B) {
    at.push_back(pos);
    if (g[pos] == 0x21) {
      pos = chain(pos + 2);
    } else {
      const std::size_t code = pos + 10 + ((g[pos + 9] & 0x80) ? 3u << ((g[pos + 9] & 7) + 1) : 0);
      at.push_back(code);
      pos = chain(code + 1);
    }
  }
  at.push_back(pos);
  return at;
}

TEST(GifScanner, RealFilesAmongOtherBytesBackToBackAndAtTheEnd) {
  std::mt19937 rng(89);
  Bytes buffer;
  Hits expected;
  for (int round = 0; round < 2; ++round) {
    for (const char* name : kFiles) {
      const Bytes image = ReadData(name);
      ASSERT_GT(image.size(), 28u) << name;
      // Filler of odd length before the first round's images; none before
      // the second round's, which follow each other directly.
      if (round == 0) {
        const Bytes filler = Filler(2 * (rng() % 200) + 1, rng());
        buffer.insert(buffer.end(), filler.begin(), filler.end());
      }
      expected.emplace_back(static_cast<std::int64_t>(buffer.size()), static_cast<std::int64_t>(image.size()));
      buffer.insert(buffer.end(), image.begin(), image.end());
    }
  }
  const Hits hits = Find(buffer);
  ASSERT_EQ(hits, expected);
  for (std::size_t k = 0; k < hits.size(); ++k) {
    const Bytes image = ReadData(kFiles[k % 3]);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), buffer.begin() + hits[k].first)) << k;
  }
}

// Cut at every byte, the walk runs out before the trailer (the letters
// after the cut are no blocks, and as sizes they reach past the end). With
// a byte taken out before a block or sub-block, the walk is out of step; it
// may fall back into step further on (a size byte read from data), so the
// search must only agree with the reference and the windowed search there.
TEST(GifScanner, CutShortAnywhereAndShortenedAtEveryBoundary) {
  for (const char* name : kFiles) {
    SCOPED_TRACE(name);
    const Bytes image = ReadData(name);
    const Bytes after = Filler(40, 3);
    for (std::size_t cut = 0; cut < image.size(); ++cut) {
      Bytes b(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(cut));
      b.insert(b.end(), after.begin(), after.end());
      ASSERT_TRUE(SpanHits(b).empty()) << cut;
    }
    std::size_t none = 0;
    const std::vector<std::size_t> boundaries = Boundaries(image);
    for (const std::size_t at : boundaries) {
      Bytes b = image;
      b.erase(b.begin() + static_cast<std::ptrdiff_t>(at - 1));
      b.insert(b.end(), after.begin(), after.end());
      none += Find(b).empty() ? 1 : 0;
    }
    EXPECT_GT(none, boundaries.size() / 2);
  }
}

// Changed fields: the rules the format sets, each on its own.
TEST(GifScanner, FieldsTheFormatFixes) {
  const Bytes good = Cat({kScreen, kImage, kTrailer});
  ASSERT_EQ(Find(good), (Hits{{0, 29}}));
  const auto with = [&](std::size_t at, std::uint8_t value) {
    Bytes b = good;
    b[at] = value;
    return Find(b);
  };
  EXPECT_EQ(with(4, '7'), (Hits{{0, 29}}));  // GIF87a
  EXPECT_EQ(with(4, '8'), Hits{});
  EXPECT_EQ(with(5, 'b'), Hits{});
  // LZW minimum code size: 2 to 8.
  for (int size : {0, 1, 9, 12, 255}) EXPECT_EQ(with(23, static_cast<std::uint8_t>(size)), Hits{}) << size;
  for (int size = 2; size <= 8; ++size) EXPECT_EQ(with(23, static_cast<std::uint8_t>(size)), (Hits{{0, 29}}));
  // Image data must not be empty.
  EXPECT_EQ(Find(Cat({kScreen, {0x2C, 0, 0, 0, 0, 8, 0, 8, 0, 0, 2, 0}, kTrailer})), Hits{});
  // Only 21, 2C and 3B are blocks.
  for (int block : {0x00, 0x20, 0x22, 0x2B, 0x2D, 0x3A, 0x3C}) {
    EXPECT_EQ(with(13, static_cast<std::uint8_t>(block)), Hits{}) << block;
  }
  // A trailer without an image before it is no GIF, nor one of extensions only.
  EXPECT_EQ(Find(Cat({kScreen, kTrailer, kImage, kTrailer})), Hits{});
  EXPECT_EQ(Find(Cat({kScreen, {0x21, 0xFE, 1, 'x', 0}, kTrailer})), Hits{});
  // Colour tables are skipped by their size field: global and local.
  Bytes global = kScreen;
  global[10] = 0x81;  // 4 entries
  global.insert(global.end(), 12, 0x3B);
  EXPECT_EQ(Find(Cat({global, kImage, kTrailer})), (Hits{{0, 41}}));
  Bytes local = kImage;
  local[9] = 0x87;  // 256 entries
  local.insert(local.begin() + 10, 768, 0x21);
  EXPECT_EQ(Find(Cat({kScreen, local, kTrailer})), (Hits{{0, 29 + 768}}));
  local[9] = 0x86;  // 128 entries: the walk lands inside the table
  EXPECT_EQ(Find(Cat({kScreen, local, kTrailer})), Hits{});
}

TEST(GifScanner, ExtensionsWithFixedFirstSubBlocks) {
  const auto gif = [&](const Bytes& extension) { return Find(Cat({kScreen, extension, kImage, kTrailer})); };
  const auto hit = [](std::size_t extension) { return Hits{{0, static_cast<std::int64_t>(29 + extension)}}; };
  // Graphic control: one sub-block of exactly 4 bytes.
  EXPECT_EQ(gif({0x21, 0xF9, 4, 1, 2, 3, 4, 0}), hit(8));
  EXPECT_EQ(gif({0x21, 0xF9, 5, 1, 2, 3, 4, 5, 0}), Hits{});
  EXPECT_EQ(gif({0x21, 0xF9, 3, 1, 2, 3, 0}), Hits{});
  EXPECT_EQ(gif({0x21, 0xF9, 4, 1, 2, 3, 4, 1, 9, 0}), Hits{});
  // Application: 11 bytes first; plain text: 12 first; then any sub-blocks.
  Bytes application = {0x21, 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 0, 0, 0};
  EXPECT_EQ(gif(application), hit(application.size()));
  application[2] = 10;
  EXPECT_EQ(gif(application), Hits{});
  Bytes text = {0x21, 0x01, 12, 0, 0, 0, 0, 8, 0, 8, 0, 8, 8, 1, 0, 2, 'h', 'i', 0};
  EXPECT_EQ(gif(text), hit(text.size()));
  text[2] = 13;
  EXPECT_EQ(gif(text), Hits{});
  // Comments and labels of no known meaning: any chain, even none.
  EXPECT_EQ(gif({0x21, 0xFE, 0}), hit(3));
  EXPECT_EQ(gif({0x21, 0x99, 2, 'a', 'b', 255}), Hits{});  // runs out
  Bytes long_comment = {0x21, 0xFE};
  for (int k = 0; k < 3; ++k) {
    long_comment.push_back(255);
    long_comment.insert(long_comment.end(), 255, 0x3B);
  }
  long_comment.push_back(0);
  EXPECT_EQ(gif(long_comment), hit(long_comment.size()));
}

TEST(GifScanner, BufferEndsAndTheSmallestGif) {
  const Bytes smallest = {'G', 'I', 'F', '8', '7', 'a', 1, 0, 1, 0, 0, 0, 0, 0x2C, 0, 0,
                          0, 0, 1, 0, 1, 0, 0, 2, 1, 0x44, 0, 0x3B};
  ASSERT_EQ(smallest.size(), 28u);
  EXPECT_EQ(Find(smallest), (Hits{{0, 28}}));
  EXPECT_EQ(Find(Cat({Filler(5, 1), smallest})), (Hits{{5, 28}}));
  EXPECT_EQ(Find(Bytes(smallest.begin(), smallest.end() - 1)), Hits{});
  EXPECT_TRUE(SpanHits(Bytes{}).empty());
  bool called = false;
  qx::FindGifs(nullptr, 100, [&](std::int64_t, std::int64_t) { called = true; });
  EXPECT_FALSE(called);
}

// A sub-block whose data ends with a header, so that the header's walk goes
// on at the size byte after the sub-block: after an image descriptor (its
// data) or a comment's label (its sub-blocks). `more` follows the header
// inside the sub-block.
Bytes Hidden(bool image, std::size_t pad, const Bytes& more = {}) {
  Bytes b(1 + pad, 'p');
  b.insert(b.end(), kScreen.begin(), kScreen.end());
  if (image) {
    b.insert(b.end(), {0x2C, 0, 0, 0, 0, 8, 0, 8, 0, 0, 2});
  } else {
    b.insert(b.end(), {0x21, 0xFE});
  }
  b.insert(b.end(), more.begin(), more.end());
  b[0] = static_cast<std::uint8_t>(b.size() - 1);
  return b;
}

// Walks that meet: headers hidden in the data of one chain of sub-blocks.
// The first, without an image, walks the chain to its end; the later ones
// meet what it left there, or what a later walk left.
TEST(GifScanner, WalksThatJoinARecordedChain) {
  const Bytes opening = Cat({kScreen, {0x21, 0xFE}});
  Bytes chain;
  for (int k = 0; k < 50; ++k) chain.insert(chain.end(), {3, 'x', 'y', 'z'});
  for (const bool trailer : {true, false}) {
    SCOPED_TRACE(trailer ? "the chain reaches a trailer" : "the chain runs out");
    const Bytes end = trailer ? Bytes{0, 0x3B} : Bytes{};
    // A header without an image joins, then one with: the second is a GIF
    // that ends at the trailer.
    const Bytes withoutImage = Hidden(false, 3);
    const Bytes b = Cat({opening, chain, withoutImage, chain, Hidden(true, 0), chain, end});
    const auto at = static_cast<std::int64_t>(opening.size() + 2 * chain.size() + withoutImage.size() + 1);
    const Hits joined = {{at, static_cast<std::int64_t>(b.size()) - at}};
    EXPECT_EQ(Find(b), trailer ? joined : Hits{});

    // A header without an image walks a chain of its own, hidden in the
    // long chain's data, into the long chain; a header with an image, in
    // the data of that chain, joins it: it is a GIF only if the first
    // walk's path was recorded as leading to the trailer.
    const Bytes inner = Cat({Hidden(true, 0), {2, 'a', 'b'}});
    const Bytes nested = Hidden(false, 0, inner);
    const Bytes c = Cat({opening, chain, nested, chain, end});
    const auto inside = static_cast<std::int64_t>(opening.size() + chain.size() + 1 + 15 + 1);
    const Hits nestedJoin = {{inside, static_cast<std::int64_t>(c.size()) - inside}};
    EXPECT_EQ(Find(c), trailer ? nestedJoin : Hits{});
  }
}

// Content with many kinds of candidates: span, reference and windowed agree.
TEST(GifScanner, AgreesWithTheReferenceOnStructuredContent) {
  std::mt19937 rng(1987);
  std::size_t total = 0;
  for (int round = 0; round < 60; ++round) {
    Bytes b = qx::testgen::GifContent(rng, 1000 + rng() % 30000);
    total += Find(b).size();
  }
  EXPECT_GT(total, 50u);
}

// Views asked of a source with small windows follow the bytes read: walks
// that reread a chain for every header need thousands of times more of
// them, and sixteen times more for four times the length.
std::int64_t ViewsFor(const Bytes& b) {
  qx::testsrc::CopyingSource source(b.data(), static_cast<std::int64_t>(b.size()), 256, 1);
  EXPECT_EQ(WindowedHits(source), Hits{});
  return source.calls();
}

TEST(GifScanner, HostileContentCostsViewsInProportionToItsLength) {
  // Headers hidden in one long chain of sub-blocks, each of whose walks
  // enters the chain at the next sub-block: a chain that never ends, one
  // that ends in a trailer (none of them has an image), and headers with an
  // image before a chain that runs out.
  const auto hostile = [](std::size_t size, int kind) {
    const Bytes unit = Hidden(kind == 2, 0);
    Bytes b;
    while (b.size() < size / 2) b.insert(b.end(), unit.begin(), unit.end());
    while (b.size() < size) b.insert(b.end(), {1, 'w'});
    if (kind == 1) b.insert(b.end(), {0, 0x3B});
    return b;
  };
  for (int kind = 0; kind < 3; ++kind) {
    const std::int64_t small = ViewsFor(hostile(1 << 18, kind));
    const std::int64_t large = ViewsFor(hostile(1 << 20, kind));
    EXPECT_LT(large, 6 * small) << kind;
    // A view per hundred bytes or so (about 8,000 here); walks that reread
    // the chain for every header would need tens of millions.
    EXPECT_LT(large, (1 << 20) / 32) << kind;
  }
}

}  // namespace
