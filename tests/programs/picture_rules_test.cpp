// How each kind of picture is rebuilt from its resource, on programs built
// here: the bitmap's pixel offset for every header, table and mask layout,
// what is not written; the icon file's fields and sizes, the image chosen
// among languages, entries left out; the cursor file's fields taken from its
// images.
#include <gtest/gtest.h>

#include "program_helpers.h"

namespace {

using namespace qx::testprograms;

constexpr std::uint32_t kEnglish = 0x409;
constexpr std::uint32_t kGerman = 0x407;

std::uint32_t Le32(const Bytes& b, std::size_t at) { return GetLe32(b, static_cast<std::int64_t>(at)); }
std::uint32_t Le16(const Bytes& b, std::size_t at) { return b[at] | (b[at + 1] << 8); }

Resource Bitmap(std::uint32_t id, Bytes dib) { return Resource{2, u"", id, kEnglish, std::move(dib)}; }

struct BitmapCase {
  const char* what;
  Bytes dib;
  std::int64_t pixelOffset;  // -1: not written
};

TEST(BitmapRules, PixelOffsetFollowsHeaderTableAndMasks) {
  const BitmapCase cases[] = {
      {"core 1 bit", Dib(12, 5, 5, 1, 0, 0, 6, 20), 14 + 12 + 6},
      {"core 8 bits", Dib(12, 5, 5, 8, 0, 0, 768, 20), 14 + 12 + 768},
      {"core 24 bits", Dib(12, 5, 5, 24, 0, 0, 0, 60), 14 + 12},
      {"40, 4 bits, table full", Dib(40, 5, 5, 4, 0, 0, 64, 20), 14 + 40 + 64},
      {"40, 8 bits, 7 used", Dib(40, 5, 5, 8, 0, 7, 28, 40), 14 + 40 + 28},
      {"40, 24 bits, 2 used", Dib(40, 2, 2, 24, 0, 2, 8, 16), 14 + 40 + 8},
      {"40, 16 bits, bit fields", Dib(40, 2, 2, 16, 3, 0, 12, 8), 14 + 40 + 12},
      {"40, 32 bits, alpha bit fields", Dib(40, 2, 2, 32, 6, 0, 16, 16), 14 + 40 + 16},
      {"40, 8 bits, bit fields and table", Dib(40, 2, 2, 8, 3, 0, 12 + 1024, 8), 14 + 40 + 12 + 1024},
      {"40, 0 bits (a PNG inside)", Dib(40, 2, 2, 0, 5, 0, 0, 30), 14 + 40},
      {"52, bit fields inside", Dib(52, 2, 2, 32, 3, 0, 0, 16), 14 + 52},
      {"56, alpha bit fields inside", Dib(56, 2, 2, 32, 6, 0, 0, 16), 14 + 56},
      {"108, 4 bits", Dib(108, 2, 2, 4, 0, 0, 64, 8), 14 + 108 + 64},
      {"124, bit fields inside", Dib(124, 2, 2, 16, 3, 0, 0, 8), 14 + 124},
      {"OS/2 64, compression 3 is not bit fields", Dib(64, 2, 2, 1, 3, 0, 8, 8), 14 + 64 + 8},
      {"OS/2 16, 4 bits", Dib(16, 2, 2, 4, 0, 0, 64, 8), 14 + 16 + 64},
      {"table reaching the end exactly", Dib(40, 2, 2, 8, 0, 0, 1024, 0), 14 + 40 + 1024},
      {"header only", Dib(40, 0, 0, 24, 0, 0, 0, 0), 14 + 40},
      {"table past the end", Dib(40, 2, 2, 8, 0, 0, 1023, 0), -1},
      {"masks past the end", Dib(40, 2, 2, 32, 6, 0, 15, 0), -1},
      {"huge biClrUsed", Dib(40, 2, 2, 8, 0, 0xFFFFFFFF, 1024, 16), -1},
      {"header of 11 bytes", Dib(11, 2, 2, 8, 0, 0, 0, 16), -1},
      {"header of 13 bytes", Dib(13, 2, 2, 8, 0, 0, 0, 16), -1},
      {"header longer than the resource", Bytes{40, 0, 0, 0, 1, 0, 0, 0, 1, 0}, -1},
      {"three bytes", Bytes{12, 0, 0}, -1},
      {"empty", Bytes{}, -1},
  };
  for (const BitmapCase& c : cases) {
    const Built built = BuildProgram({Bitmap(7, c.dib), Bitmap(8, Dib(40, 1, 1, 24, 0, 0, 0, 4))});
    const Searched run = SearchSpan(built.bytes);
    SCOPED_TRACE(c.what);
    ASSERT_EQ(c.pixelOffset < 0 ? 1u : 2u, run.found.size());
    // The bitmap after it is found either way.
    EXPECT_EQ(8u, run.found.back().id);
    EXPECT_EQ(c.pixelOffset < 0 ? 1 : 0, run.summary.notWritten);
    if (c.pixelOffset < 0) continue;
    const Bytes& bmp = run.found[0].bytes;
    ASSERT_EQ(14 + c.dib.size(), bmp.size());
    EXPECT_EQ('B', bmp[0]);
    EXPECT_EQ('M', bmp[1]);
    EXPECT_EQ(bmp.size(), Le32(bmp, 2));
    EXPECT_EQ(0u, Le32(bmp, 6));
    EXPECT_EQ(static_cast<std::uint32_t>(c.pixelOffset), Le32(bmp, 10));
    EXPECT_TRUE(std::equal(c.dib.begin(), c.dib.end(), bmp.begin() + 14));
    EXPECT_EQ(static_cast<std::int64_t>(c.dib.size()), run.found[0].resourceLength);
  }
}

TEST(BitmapRules, ALargerFileThanTheLimitIsNotWritten) {
  const Built built = BuildProgram({Bitmap(1, Dib(40, 10, 10, 24, 0, 0, 0, 986)),
                                    Bitmap(2, Dib(40, 10, 10, 24, 0, 0, 0, 985))});
  qx::ProgramLimits limits;
  limits.imageBytes = 14 + 40 + 985;
  const Searched run = SearchSpan(built.bytes, limits);
  ASSERT_EQ(1u, run.found.size());
  EXPECT_EQ(2u, run.found[0].id);
  EXPECT_EQ(1, run.summary.notWritten);
}

// Three RT_ICON images (ids 1 to 3, id 2 in two languages, German first) and
// groups over them.
std::vector<Resource> IconSet(std::vector<Resource> groups) {
  std::vector<Resource> all = {
      {3, u"", 1, kEnglish, Dib(40, 16, 32, 4, 0, 0, 64, 192)},
      {3, u"", 2, kGerman, PngHead(256, 256, 40)},
      {3, u"", 2, kEnglish, PngHead(48, 48, 10)},
      {3, u"", 3, kEnglish, Dib(40, 32, 64, 32, 0, 0, 0, 4224)},
  };
  all.insert(all.end(), groups.begin(), groups.end());
  return all;
}

struct Icon {
  std::uint8_t width, height, colours, reserved;
  std::uint16_t planes, bits;
  std::uint32_t size, offset;
};

std::vector<Icon> Directory(const Bytes& file, std::uint16_t type) {
  EXPECT_EQ(0u, Le16(file, 0));
  EXPECT_EQ(type, Le16(file, 2));
  std::vector<Icon> out;
  const std::size_t count = Le16(file, 4);
  std::uint32_t at = static_cast<std::uint32_t>(6 + 16 * count);
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t e = 6 + 16 * k;
    out.push_back(Icon{file[e], file[e + 1], file[e + 2], file[e + 3],
                       static_cast<std::uint16_t>(Le16(file, e + 4)),
                       static_cast<std::uint16_t>(Le16(file, e + 6)), Le32(file, e + 8), Le32(file, e + 12)});
    // Images follow the directory in order, without gaps.
    EXPECT_EQ(at, out.back().offset);
    at += out.back().size;
  }
  EXPECT_EQ(file.size(), at);
  return out;
}

TEST(IconRules, EntriesKeepTheGroupsFieldsWithTheImagesRealSizes) {
  const std::vector<Resource> set = IconSet({{14, u"MAIN", 0, kEnglish,
                                              Group(1, {{16, 16, 16, 0, 1, 4, 999, 1},
                                                        {48, 48, 0, 7, 1, 32, 1, 2},
                                                        {32, 32, 0, 0, 1, 32, 4264, 3}})}});
  const Built built = BuildProgram(set);
  const Searched run = SearchSpan(built.bytes);
  ASSERT_EQ(1u, run.found.size());
  const Found& f = run.found[0];
  EXPECT_EQ(qx::ProgramImageKind::kIconGroup, f.kind);
  EXPECT_TRUE(f.named);
  EXPECT_EQ(u"MAIN", f.name);
  EXPECT_EQ(3, f.images);
  const std::vector<Icon> icons = Directory(f.bytes, 1);
  ASSERT_EQ(3u, icons.size());
  // The group's stated sizes (999, 1) are not the images'; the file says the
  // real ones.
  EXPECT_EQ(set[0].data.size(), icons[0].size);
  EXPECT_EQ(set[2].data.size(), icons[1].size);  // English id 2, as the group
  EXPECT_EQ(set[3].data.size(), icons[2].size);
  EXPECT_EQ(16, icons[0].width);
  EXPECT_EQ(16, icons[0].colours);
  EXPECT_EQ(4, icons[0].bits);
  EXPECT_EQ(7, icons[1].reserved);
  EXPECT_EQ(32, icons[2].width);
  EXPECT_EQ(32, icons[2].bits);
  for (std::size_t k = 0; k < 3; ++k) {
    const Bytes& image = set[k == 0 ? 0 : k == 1 ? 2 : 3].data;
    EXPECT_TRUE(std::equal(image.begin(), image.end(), f.bytes.begin() + icons[k].offset)) << k;
  }
}

TEST(IconRules, TheGroupsLanguageIsTakenElseTheFirstStored) {
  for (const std::uint32_t language : {kEnglish, kGerman, 0x410u}) {
    const std::vector<Resource> set =
        IconSet({{14, u"", 9, language, Group(1, {{0, 0, 0, 0, 1, 32, 0, 2}})}});
    const Searched run = SearchSpan(BuildProgram(set).bytes);
    ASSERT_EQ(1u, run.found.size());
    // Italian is not stored: the first stored, German.
    const Bytes& expected = set[language == kEnglish ? 2 : 1].data;
    const Bytes& file = run.found[0].bytes;
    EXPECT_EQ(22 + expected.size(), file.size()) << language;
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), file.begin() + 22)) << language;
  }
}

TEST(IconRules, EntriesWithoutAnImageAreLeftOutAndAnEmptyGroupIsNotWritten) {
  const std::vector<Resource> set = IconSet({
      {14, u"", 10, kEnglish, Group(1, {{16, 16, 16, 0, 1, 4, 0, 77}, {32, 32, 0, 0, 1, 32, 0, 3}, {1, 1, 0, 0, 1, 1, 0, 78}})},
      {14, u"", 11, kEnglish, Group(1, {{16, 16, 16, 0, 1, 4, 0, 77}})},
      // Five entries stated, two stored: the two are taken.
      {14, u"", 12, kEnglish, Group(1, {{16, 16, 16, 0, 1, 4, 0, 1}, {32, 32, 0, 0, 1, 32, 0, 3}}, 5)},
      {14, u"", 13, kEnglish, Group(1, {}, 0)},
      {14, u"", 14, kEnglish, Bytes{0, 0, 1}},
  });
  const Searched run = SearchSpan(BuildProgram(set).bytes);
  ASSERT_EQ(2u, run.found.size());
  EXPECT_EQ(10u, run.found[0].id);
  EXPECT_EQ(1, run.found[0].images);
  EXPECT_EQ(2, run.found[0].imagesMissing);
  ASSERT_EQ(1u, Directory(run.found[0].bytes, 1).size());
  EXPECT_EQ(32, Directory(run.found[0].bytes, 1)[0].width);
  EXPECT_EQ(12u, run.found[1].id);
  EXPECT_EQ(2u, Directory(run.found[1].bytes, 1).size());
  EXPECT_EQ(3, run.summary.notWritten);
}

TEST(IconRules, AnEmptyImageIsLeftOut) {
  const Searched run = SearchSpan(BuildProgram({{3, u"", 1, kEnglish, Bytes{}},
                                                {3, u"", 2, kEnglish, PngHead(1, 1, 0)},
                                                {14, u"", 1, kEnglish, Group(1, {{1, 1, 0, 0, 1, 32, 0, 1}, {1, 1, 0, 0, 1, 32, 0, 2}})}})
                                      .bytes);
  ASSERT_EQ(1u, run.found.size());
  EXPECT_EQ(1, run.found[0].images);
  EXPECT_EQ(1, run.found[0].imagesMissing);
}

Bytes WithHotSpot(std::uint16_t x, std::uint16_t y, const Bytes& image) {
  Bytes b(4 + image.size());
  b[0] = static_cast<std::uint8_t>(x);
  b[1] = static_cast<std::uint8_t>(x >> 8);
  b[2] = static_cast<std::uint8_t>(y);
  b[3] = static_cast<std::uint8_t>(y >> 8);
  std::copy(image.begin(), image.end(), b.begin() + 4);
  return b;
}

TEST(CursorRules, EntriesTakeSizesFromTheImagesAndTheHotSpot) {
  const std::vector<Resource> set = {
      {1, u"", 1, kEnglish, WithHotSpot(3, 5, Dib(40, 32, 64, 1, 0, 0, 8, 256))},
      {1, u"", 2, kEnglish, WithHotSpot(300, 2, Dib(40, 48, -96, 32, 0, 0, 0, 64))},
      {1, u"", 3, kEnglish, WithHotSpot(0, 0, Dib(12, 20, 40, 4, 0, 0, 48, 64))},
      {1, u"", 4, kEnglish, WithHotSpot(7, 8, PngHead(256, 300, 20))},
      {1, u"", 5, kEnglish, WithHotSpot(1, 1, PngHead(255, 1, 0))},
      {1, u"", 6, kEnglish, WithHotSpot(1, 1, Dib(40, 256, 512, 8, 0, 0, 1024, 16))},
      {12, u"POINTER", 0, kGerman, Group(2, {{0, 0, 0, 0, 1, 1, 0, 1}, {0, 0, 0, 0, 1, 1, 0, 2}, {0, 0, 0, 0, 1, 1, 0, 3},
                                             {0, 0, 0, 0, 1, 1, 0, 4}, {0, 0, 0, 0, 1, 1, 0, 5}, {0, 0, 0, 0, 1, 1, 0, 6}})},
  };
  const Searched run = SearchSpan(BuildProgram(set).bytes);
  ASSERT_EQ(1u, run.found.size());
  const Found& f = run.found[0];
  EXPECT_EQ(qx::ProgramImageKind::kCursorGroup, f.kind);
  EXPECT_EQ(12u, f.type);
  EXPECT_EQ(kGerman, f.language);
  const std::vector<Icon> cursors = Directory(f.bytes, 2);
  ASSERT_EQ(6u, cursors.size());
  const Icon expected[] = {
      {32, 32, 2, 0, 3, 5, 0, 0},  {48, 48, 0, 0, 300, 2, 0, 0}, {20, 20, 16, 0, 0, 0, 0, 0},
      {0, 0, 0, 0, 7, 8, 0, 0},    {255, 1, 0, 0, 1, 1, 0, 0},   {0, 0, 0, 0, 1, 1, 0, 0},
  };
  for (std::size_t k = 0; k < 6; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(expected[k].width, cursors[k].width);
    EXPECT_EQ(expected[k].height, cursors[k].height);
    EXPECT_EQ(expected[k].colours, cursors[k].colours);
    EXPECT_EQ(0, cursors[k].reserved);
    EXPECT_EQ(expected[k].planes, cursors[k].planes);  // the hot spot's x
    EXPECT_EQ(expected[k].bits, cursors[k].bits);      // and y
    // The image is the resource after its hot spot.
    EXPECT_EQ(set[k].data.size() - 4, cursors[k].size);
    EXPECT_TRUE(std::equal(set[k].data.begin() + 4, set[k].data.end(), f.bytes.begin() + cursors[k].offset));
  }
}

TEST(CursorRules, ImagesThatAreNeitherDibNorPngAreLeftOut) {
  Bytes noIhdr = PngHead(5, 5, 0);
  noIhdr[12] = 'X';
  const std::vector<Resource> set = {
      {1, u"", 1, kEnglish, Bytes{1, 0, 1, 0}},                          // only a hot spot
      {1, u"", 2, kEnglish, WithHotSpot(1, 1, Dib(11, 1, 2, 1, 0, 0, 0, 8))},  // no header size
      {1, u"", 3, kEnglish, WithHotSpot(1, 1, noIhdr)},
      {1, u"", 4, kEnglish, WithHotSpot(1, 1, Bytes{40, 0, 0})},         // shorter than a header
      {1, u"", 5, kEnglish, WithHotSpot(1, 1, Dib(40, 1, 2, 1, 0, 0, 8, 8))},
      {12, u"", 1, kEnglish, Group(2, {{0, 0, 0, 0, 1, 1, 0, 1}, {0, 0, 0, 0, 1, 1, 0, 2}, {0, 0, 0, 0, 1, 1, 0, 3},
                                       {0, 0, 0, 0, 1, 1, 0, 4}, {0, 0, 0, 0, 1, 1, 0, 5}})},
  };
  const Searched run = SearchSpan(BuildProgram(set).bytes);
  ASSERT_EQ(1u, run.found.size());
  EXPECT_EQ(1, run.found[0].images);
  EXPECT_EQ(4, run.found[0].imagesMissing);
  EXPECT_EQ(1, Directory(run.found[0].bytes, 2)[0].width);
}

TEST(CursorRules, ACursorGroupDoesNotTakeIconImages) {
  const std::vector<Resource> set = {
      {3, u"", 1, kEnglish, PngHead(16, 16, 0)},
      {12, u"", 1, kEnglish, Group(2, {{0, 0, 0, 0, 1, 1, 0, 1}})},
      {14, u"", 1, kEnglish, Group(1, {{16, 16, 0, 0, 1, 32, 0, 1}})},
  };
  const Searched run = SearchSpan(BuildProgram(set).bytes);
  ASSERT_EQ(1u, run.found.size());
  EXPECT_EQ(14u, run.found[0].type);
  EXPECT_EQ(1, run.summary.notWritten);
}

}  // namespace
