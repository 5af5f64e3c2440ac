// Standard output far larger than the tool's output buffer: every line
// arrives, whole and in order, and characters beyond the Basic Multilingual
// Plane (a surrogate pair in UTF-16) stay intact wherever a block boundary
// falls.
#include <cstdio>
#include <map>
#include <string>

#include "CliFixture.h"

namespace qx::cli {
namespace {

class LargeOutputTest : public CliTest {};

TEST_F(LargeOutputTest, ManyLinesArriveWholeAndInOrder) {
  constexpr int kFiles = 400;
  // Names made mostly of U+1F4F7 (four UTF-8 bytes, a pair of UTF-16 units):
  // about a quarter of all output characters begin a pair, so some of the
  // many block boundaries fall inside one. The names stay within 255 bytes
  // and the paths within 259 characters.
  std::string camera;
  for (int i = 0; i < 55; ++i) camera += "\xF0\x9F\x93\xB7";
  // Stem -> bitmap. The stems hold no capital letter, so the map's byte
  // order is the listing's order on every platform.
  std::map<std::string, std::string> sources;
  for (int i = 0; i < kFiles; ++i) {
    char number[8];
    std::snprintf(number, sizeof number, "%03d", i);
    // Names of varying length move the boundaries across the pairs.
    const std::string stem = camera + std::string(static_cast<std::size_t>(i % 7), 'x') + number;
    sources[stem] = Bitmap(52 + static_cast<std::uint32_t>(i % 5), static_cast<char>('a' + i % 26));
    WriteOld(Root() / Utf8Path(stem + ".bin"), sources[stem]);
  }
  const FileMap before = Snapshot();
  const auto result = Run({"-extract=BMP", "*.bin"});
  EXPECT_EQ(result.exitCode, 0);

  std::string expected;
  FileMap outputs;
  for (const auto& [stem, bitmap] : sources) {
    expected += At(stem + ".bin") + "\n  " + At(stem + "_000.bmp") + "\n";
    outputs[stem + "_000.bmp"] = bitmap;
  }
  ASSERT_GT(expected.size(), 200u * 1024u);
  EXPECT_EQ(result.out, expected);
  EXPECT_EQ(Written(before, Snapshot()), outputs);
}

}  // namespace
}  // namespace qx::cli
