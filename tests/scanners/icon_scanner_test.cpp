// The icon and cursor search: real files found byte-exactly among other
// bytes and cut short; each field of the directory, its entries and their
// images on its own; directories inside others; and the cost of directories
// packed into each other's entries.
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

Bytes ReadData(const std::string& name) {
  std::ifstream in(std::string(QX_TEST_DATA_DIR) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Hits SpanHits(const Bytes& b) {
  Hits hits;
  qx::FindIcons(b.data(), static_cast<std::int64_t>(b.size()),
                [&](std::int64_t start, std::int64_t length) { hits.emplace_back(start, length); });
  return hits;
}

Hits WindowedHits(qx::ByteSource& source) {
  Hits hits;
  qx::FindIconsIn(source, [&](std::int64_t start, std::int64_t length) { hits.emplace_back(start, length); });
  return hits;
}

// The span search, checked against the reference and against the windowed
// search through small views, each a separate copy.
Hits Find(const Bytes& b) {
  const Hits hits = SpanHits(b);
  EXPECT_EQ(qx::testref::FindIconsReference(b.data(), static_cast<std::int64_t>(b.size())), hits);
  qx::testsrc::CopyingSource source(b.data(), static_cast<std::int64_t>(b.size()), 16, 3);
  EXPECT_EQ(WindowedHits(source), hits);
  return hits;
}

void PutLe16(Bytes& b, unsigned v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void PutLe32(Bytes& b, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) b.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
}
void SetLe32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) b[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
}

Bytes Filler(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& v : b) v = static_cast<std::uint8_t>('a' + rng() % 26);
  return b;
}

struct Dib {
  std::uint32_t headerSize = 40;
  std::uint32_t width = 16;
  std::uint32_t height = 32;  // colour rows and mask rows
  unsigned planes = 1;
  unsigned depth = 8;
  std::uint32_t compression = 0;
  std::uint32_t used = 0;
};

// The bytes an icon image of this header needs: header, bit field masks,
// palette and colour rows; and the AND mask after them.
std::size_t Needed(const Dib& d) {
  const std::size_t palette = d.used != 0 ? d.used : (d.depth <= 8 ? 1u << d.depth : 0);
  const std::size_t masks = d.compression == 3 && d.headerSize == 40 ? 12 : 0;
  const std::size_t stride = (std::size_t{d.width} * d.depth + 31) / 32 * 4;
  return d.headerSize + masks + 4 * palette + stride * ((d.height + 1) / 2);
}

Bytes DibImage(const Dib& d, std::size_t extra = 0) {
  Bytes b;
  PutLe32(b, d.headerSize);
  PutLe32(b, d.width);
  PutLe32(b, d.height);
  PutLe16(b, d.planes);
  PutLe16(b, d.depth);
  PutLe32(b, d.compression);
  PutLe32(b, 0);
  PutLe32(b, 2835);
  PutLe32(b, 2835);
  PutLe32(b, d.used);
  PutLe32(b, 0);
  const std::size_t mask = (d.width + 31) / 32 * 4 * ((d.height + 1) / 2);
  b.resize(std::max(Needed(d), b.size()) + mask + extra, 0x5A);
  return b;
}

Bytes PngImage(std::size_t size = 57) {
  Bytes b = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
  b.resize(size, 0x11);
  return b;
}

struct Entry {
  Bytes image;
  unsigned planes = 1;  // or hot spot x
  unsigned bits = 32;   // or hot spot y
  std::int64_t offsetDelta = 0;  // added to the image's true offset
  std::int64_t sizeDelta = 0;
};

// A directory of `type` with one entry per image, the images after it in
// order. `count` overrides the count field.
Bytes Icon(unsigned type, const std::vector<Entry>& entries, int count = -1) {
  Bytes b;
  PutLe16(b, 0);
  PutLe16(b, type);
  PutLe16(b, count >= 0 ? static_cast<unsigned>(count) : static_cast<unsigned>(entries.size()));
  std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * entries.size());
  for (const Entry& e : entries) {
    b.insert(b.end(), {16, 16, 0, 0});
    PutLe16(b, e.planes);
    PutLe16(b, e.bits);
    PutLe32(b, static_cast<std::uint32_t>(static_cast<std::int64_t>(e.image.size()) + e.sizeDelta));
    PutLe32(b, static_cast<std::uint32_t>(offset + e.offsetDelta));
    offset += static_cast<std::uint32_t>(e.image.size());
  }
  for (const Entry& e : entries) b.insert(b.end(), e.image.begin(), e.image.end());
  return b;
}

Hits Whole(const Bytes& icon, std::int64_t at = 0) { return {{at, static_cast<std::int64_t>(icon.size())}}; }

const char* const kFiles[] = {"icon_dib.ico", "icon_png.ico", "cursor.cur"};

TEST(IconScanner, RealFilesAmongOtherBytesBackToBackAndAtTheEnd) {
  std::mt19937 rng(1995);
  Bytes buffer;
  Hits expected;
  for (int round = 0; round < 2; ++round) {
    for (const char* name : kFiles) {
      const Bytes image = ReadData(name);
      ASSERT_GT(image.size(), 62u) << name;
      if (round == 0) {
        const Bytes filler = Filler(2 * (rng() % 300) + 1, rng());
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
    // The caller tells a cursor from an icon by the type field.
    EXPECT_EQ(buffer[static_cast<std::size_t>(hits[k].first) + 2], k % 3 == 2 ? 2 : 1);
  }
}

// Cut anywhere, some image no longer fits in the bytes; with a byte taken
// out at the start of any image, or at the end, an image is no longer what
// its entry says.
TEST(IconScanner, CutShortAnywhereAndShortenedAtEveryImage) {
  for (const char* name : kFiles) {
    SCOPED_TRACE(name);
    const Bytes icon = ReadData(name);
    const Bytes before = Filler(101, 5);
    for (std::size_t cut = 0; cut < icon.size(); ++cut) {
      Bytes b = before;
      b.insert(b.end(), icon.begin(), icon.begin() + static_cast<std::ptrdiff_t>(cut));
      ASSERT_TRUE(SpanHits(b).empty()) << cut;
    }
    const unsigned count = icon[4];
    std::vector<std::size_t> starts;
    for (unsigned k = 0; k < count; ++k) {
      const std::size_t e = 6 + 16 * k;
      starts.push_back(icon[e + 12] | icon[e + 13] << 8 | icon[e + 14] << 16);
    }
    starts.push_back(icon.size() - 1);
    for (const std::size_t at : starts) {
      Bytes b = icon;
      b.erase(b.begin() + static_cast<std::ptrdiff_t>(at));
      EXPECT_EQ(Find(b), Hits{}) << "a byte taken out at " << at;
    }
  }
}

TEST(IconScanner, DirectoryFields) {
  const Bytes good = Icon(1, {{PngImage()}});
  ASSERT_EQ(Find(good), Whole(good));
  EXPECT_EQ(Find(Icon(2, {{PngImage()}})), Whole(good));
  for (unsigned type : {0u, 3u, 0x101u}) EXPECT_EQ(Find(Icon(type, {{PngImage()}})), Hits{}) << type;
  Bytes reserved = good;
  reserved[1] = 1;
  EXPECT_EQ(Find(reserved), Hits{});
  EXPECT_EQ(Find(Icon(1, {{PngImage()}}, 0)), Hits{});
  // The count: 64 images at most.
  std::vector<Entry> many(64, Entry{PngImage()});
  const Bytes sixtyFour = Icon(1, many);
  EXPECT_EQ(Find(sixtyFour), Whole(sixtyFour));
  many.push_back(Entry{PngImage()});
  EXPECT_EQ(Find(Icon(1, many)), Hits{});
  // A count claiming more entries than the bytes hold.
  Bytes more = good;
  more[4] = 40;
  EXPECT_EQ(Find(more), Hits{});
}

TEST(IconScanner, EntryFields) {
  const auto one = [](Entry e, unsigned type = 1) { return Find(Icon(type, {std::move(e)})); };
  const Bytes png = PngImage(60);
  const std::int64_t length = 6 + 16 + 60;
  const Hits hit = {{0, length}};
  // Icons: planes 0 or 1, bit counts of real depths (0: not given).
  for (unsigned bits : {0u, 1u, 2u, 4u, 8u, 16u, 24u, 32u}) EXPECT_EQ(one({png, 1, bits}), hit) << bits;
  for (unsigned bits : {3u, 5u, 33u, 64u}) EXPECT_EQ(one({png, 1, bits}), Hits{}) << bits;
  EXPECT_EQ(one({png, 0, 32}), hit);
  EXPECT_EQ(one({png, 2, 32}), Hits{});
  // Cursors: the same fields are the hot spot, any value.
  EXPECT_EQ(one({png, 0xFFFF, 0x1234}, 2), hit);
  // The image's place: after the entries and inside the bytes.
  EXPECT_EQ(one({png, 1, 32, -1}), Hits{});
  EXPECT_EQ(one({png, 1, 32, 0, 1}), Hits{});
  EXPECT_EQ(one({png, 1, 32, 0, -1}), (Hits{{0, length - 1}}));
  Bytes longer = Icon(1, {{png, 1, 32, 0, 1}});
  longer.push_back(0);  // now the image ends at the last byte
  EXPECT_EQ(Find(longer), Whole(longer));
  EXPECT_EQ(one({png, 1, 32, 0, 0xFFFFFFFFll - 60}), Hits{});  // offset + size = 2^32 + 21
  EXPECT_EQ(one({png, 1, 32, 0xFFFFFFFFll - 22, 0}), Hits{});
  // At least 40 bytes, whatever the image.
  EXPECT_EQ(Find(Icon(1, {{PngImage(39)}})), Hits{});
}

// Icons of one bitmap whose entry's bit count is 0 (not given), so that
// only the image's own header decides.
bool Accepted(const Bytes& image) {
  const Bytes icon = Icon(1, {{image, 1, 0}});
  return Find(icon) == Whole(icon);
}

TEST(IconScanner, BitmapHeaderFields) {
  const auto judged = [](const Dib& d) { return Accepted(DibImage(d)); };
  EXPECT_TRUE(judged({}));
  for (std::uint32_t size : {40u, 108u, 124u}) EXPECT_TRUE(judged({size})) << size;
  for (std::uint32_t size : {12u, 39u, 52u, 56u, 64u}) EXPECT_FALSE(judged({size})) << size;
  for (unsigned depth : {1u, 4u, 8u, 16u, 24u, 32u}) EXPECT_TRUE(judged({40, 16, 32, 1, depth})) << depth;
  for (unsigned depth : {0u, 2u, 3u, 15u, 48u}) EXPECT_FALSE(judged({40, 16, 32, 1, depth})) << depth;
  EXPECT_TRUE(judged({40, 256, 512, 1, 32}));
  EXPECT_TRUE(judged({40, 1, 1, 1, 1}));
  EXPECT_FALSE(judged({40, 257, 512, 1, 32}));
  EXPECT_FALSE(judged({40, 256, 513, 1, 32}));
  EXPECT_FALSE(judged({40, 0, 32}));
  EXPECT_FALSE(judged({40, 16, 0}));
  EXPECT_TRUE(judged({40, 16, 31}));  // odd: the colour rows are rounded up
  Bytes topDown = DibImage({});
  SetLe32(topDown, 8, static_cast<std::uint32_t>(-32));
  EXPECT_FALSE(Accepted(topDown));
  EXPECT_FALSE(judged({40, 16, 32, 0}));
  EXPECT_FALSE(judged({40, 16, 32, 2}));
  // Compression: none, or bit fields at 16 and 32 bits.
  EXPECT_TRUE(judged({40, 16, 32, 1, 32, 3}));
  EXPECT_TRUE(judged({108, 16, 32, 1, 16, 3}));
  EXPECT_FALSE(judged({40, 16, 32, 1, 8, 3}));
  for (std::uint32_t c : {1u, 2u, 4u, 5u}) EXPECT_FALSE(judged({40, 16, 32, 1, 8, c})) << c;
  // Palette colours: up to the depth's, 256 beyond 8 bits.
  EXPECT_TRUE(judged({40, 16, 32, 1, 4, 0, 16}));
  EXPECT_TRUE(judged({40, 16, 32, 1, 4, 0, 3}));
  EXPECT_FALSE(judged({40, 16, 32, 1, 4, 0, 17}));
  EXPECT_TRUE(judged({40, 16, 32, 1, 24, 0, 256}));
  EXPECT_FALSE(judged({40, 16, 32, 1, 24, 0, 257}));
  // The size must hold header, masks, palette and colour rows; the AND
  // mask may be missing.
  for (const Dib& d : {Dib{}, Dib{40, 17, 33, 1, 1}, Dib{40, 48, 96, 1, 24}, Dib{40, 20, 40, 1, 32, 3},
                       Dib{124, 32, 64, 1, 4, 0, 5}}) {
    Bytes image = DibImage(d);
    image.resize(Needed(d));
    EXPECT_TRUE(Accepted(image)) << d.width << " " << d.depth;
    image.pop_back();
    EXPECT_FALSE(Accepted(image)) << d.width << " " << d.depth;
  }
}

TEST(IconScanner, PngImages) {
  EXPECT_EQ(Find(Icon(1, {{PngImage(57)}})).size(), 1u);
  EXPECT_EQ(Find(Icon(1, {{PngImage(56)}})), Hits{});
  for (std::size_t at : {0u, 3u, 7u, 11u, 12u, 15u}) {
    Bytes image = PngImage();
    image[at] ^= 0x20;
    EXPECT_EQ(Find(Icon(1, {{image}})), Hits{}) << at;
  }
}

// The icon ends where its furthest image does, whatever the entries' order;
// entries may share an image.
TEST(IconScanner, LengthIsTheEndOfTheFurthestImage) {
  const Bytes first = PngImage(100);
  const Bytes second = DibImage({});
  Bytes icon = Icon(1, {{first}, {second}});
  // Swap the entries: the first now names the later image.
  std::swap_ranges(icon.begin() + 6, icon.begin() + 22, icon.begin() + 22);
  EXPECT_EQ(Find(icon), Whole(icon));
  // Both entries name the first image: the second image is not part of it.
  Bytes shared = Icon(1, {{first}, {second}});
  std::copy(shared.begin() + 6 + 8, shared.begin() + 6 + 16, shared.begin() + 22 + 8);
  EXPECT_EQ(Find(shared), (Hits{{0, 38 + 100}}));
}

TEST(IconScanner, DirectoriesInsideOthers) {
  const Bytes inner = Icon(1, {{PngImage()}});
  // Inside an accepted icon's image: never looked at.
  Bytes image = PngImage(200);
  std::copy(inner.begin(), inner.end(), image.begin() + 30);
  const Bytes outer = Icon(2, {{image}});
  EXPECT_EQ(Find(outer), Whole(outer));
  // Inside a rejected one: found, one byte on from it.
  Bytes rejected = outer;
  rejected[22 + 3] = 'X';  // the outer image is no PNG any more
  EXPECT_EQ(Find(rejected), Whole(inner, 22 + 30));
  // Back to back, and at the end of the bytes.
  const Bytes two = Icon(1, {{DibImage({})}});
  Bytes both = inner;
  both.insert(both.end(), two.begin(), two.end());
  EXPECT_EQ(Find(both), (Hits{{0, static_cast<std::int64_t>(inner.size())},
                              {static_cast<std::int64_t>(inner.size()), static_cast<std::int64_t>(two.size())}}));
  // Runs of zeros around them.
  Bytes zeros(5000, 0);
  zeros.insert(zeros.begin() + 2001, inner.begin(), inner.end());
  EXPECT_EQ(Find(zeros), Whole(inner, 2001));
}

TEST(IconScanner, AgreesWithTheReferenceOnStructuredContent) {
  std::mt19937 rng(2000);
  std::size_t total = 0;
  for (int round = 0; round < 60; ++round) {
    Bytes b = qx::testgen::IconContent(rng, 1000 + rng() % 40000);
    total += Find(b).size();
  }
  EXPECT_GT(total, 50u);
}

// Directories packed into each other's entries: the last six bytes of each
// entry are a cursor directory's head (00 00 02 00 n 00, the entry's offset
// 2 + 8 * 65536), whose entries are the eight entries that follow. Each
// points at a PNG head 512 KiB on, every eighth with a size too small for a
// PNG: every candidate reads its entries and some of its images, and is
// rejected. The
// views asked through views of 16 bytes grow with the length.
Bytes Packed(std::size_t blocks) {
  Bytes b;
  const Bytes head = PngImage(16);
  for (std::size_t block = 0; block < blocks; ++block) {
    for (unsigned u = 0; u < (512u << 10) / 16; ++u) {
      b.insert(b.end(), {16, 16, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(u % 8 == 7 ? 40 : 57), 0, 0, 0, 2, 0, 8, 0});
    }
    b.insert(b.end(), 12, 'x');
    for (unsigned u = 0; u + 1 < (512u << 10) / 16; ++u) b.insert(b.end(), head.begin(), head.end());
    b.insert(b.end(), 4, 'x');
  }
  return b;
}

TEST(IconScanner, PackedDirectoriesCostInProportionToTheirLength) {
  std::int64_t views[2] = {};
  for (int k = 0; k < 2; ++k) {
    const Bytes b = Packed(k == 0 ? 1 : 4);
    qx::testsrc::CopyingSource source(b.data(), static_cast<std::int64_t>(b.size()), 16, 9);
    EXPECT_EQ(WindowedHits(source), Hits{});
    EXPECT_EQ(SpanHits(b), Hits{});
    views[k] = source.calls();
  }
  EXPECT_LT(views[1], 5 * views[0]);
  // At most eight entries and images a candidate, one candidate in 16 bytes.
  EXPECT_LT(views[1], 4 * 8 * 4 * (std::int64_t{1} << 20) / 16);
}

}  // namespace
