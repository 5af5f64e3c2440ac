// One file holding bitmaps, JPEG and PNG images of the project's own making,
// mixed with bytes that belong to none of them.
#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "CliFixture.h"

namespace qx::cli {
namespace {

std::vector<std::string> Images(const std::string& extension) {
  std::vector<fs::path> paths;
  for (const auto& entry : fs::directory_iterator(QX_TEST_DATA_DIR)) {
    if (entry.path().extension() == extension) paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  std::vector<std::string> images;
  for (const auto& path : paths) {
    std::ifstream in(path, std::ios::binary);
    images.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return images;
}

std::string Number(std::size_t n) {
  std::string digits = std::to_string(n);
  return std::string(digits.size() < 3 ? 3 - digits.size() : 0, '0') + digits;
}

class MixedResourcesTest : public CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    bitmaps_ = Images(".bmp");
    jpegs_ = Images(".jpg");
    pngs_ = Images(".png");
    ASSERT_FALSE(bitmaps_.empty());
    ASSERT_FALSE(jpegs_.empty());
    ASSERT_FALSE(pngs_.empty());
    // The kinds take turns, so that every scanner has to find its images
    // among the others'.
    std::string mixed = Filler(13);
    for (std::size_t i = 0; i < std::max({bitmaps_.size(), jpegs_.size(), pngs_.size()}); ++i) {
      for (const auto* kind : {&jpegs_, &pngs_, &bitmaps_}) {
        if (i < kind->size()) mixed += (*kind)[i] + Filler(7 + i);
      }
    }
    WriteOld(Root() / "Mixed Bag.dat", mixed + Filler(64));
    before_ = Snapshot();
  }

  // The lines and files of one kind, numbered from 000 in buffer order.
  void ExpectKind(const std::vector<std::string>& images, const std::string& extension,
                  std::string& lines, FileMap& files) const {
    for (std::size_t i = 0; i < images.size(); ++i) {
      const std::string name = "Mixed Bag_" + Number(i) + extension;
      lines += "  " + At(name) + "\n";
      files[name] = images[i];
    }
  }

  void Check(const std::vector<std::string>& options, bool bmp, bool jpg, bool png) {
    SCOPED_TRACE(options.front());
    std::vector<std::string> args = options;
    args.push_back("Mixed Bag.dat");
    const auto result = Run(args);
    EXPECT_EQ(result.exitCode, 0);
    std::string lines = At("Mixed Bag.dat") + "\n";
    FileMap files;
    if (bmp) ExpectKind(bitmaps_, ".bmp", lines, files);
    if (jpg) ExpectKind(jpegs_, ".jpg", lines, files);
    if (png) ExpectKind(pngs_, ".png", lines, files);
    EXPECT_EQ(result.out, lines);
    EXPECT_EQ(Written(before_, Snapshot()), files);
    for (const auto& [name, content] : files) fs::remove(Root() / name);
  }

  std::vector<std::string> bitmaps_;
  std::vector<std::string> jpegs_;
  std::vector<std::string> pngs_;
  FileMap before_;
};

TEST_F(MixedResourcesTest, AllKindsComeOutByteExactBitmapsFirstThenJpegThenPng) {
  Check({"-extract=ALL"}, true, true, true);
  // The order is the scanners', whatever the order of the options.
  Check({"-extract=png", "-extract=jpg", "-extract=bmp"}, true, true, true);
}

TEST_F(MixedResourcesTest, EachKindIsSelectedByItsOwnOption) {
  Check({"-EXTRACT=Jpg"}, false, true, false);
  Check({"-extract=bmp,jpg"}, true, false, false);
  Check({"-extract=PNGS"}, false, false, true);
  Check({"-extract=png", "-extract=JPEG", "-extract=jpgx"}, false, true, true);
}

TEST_F(MixedResourcesTest, TheLaterKindsComeAfterPngAndLeaveTheFirstThreeAlone) {
  const std::vector<std::string> gifs = Images(".gif");
  const std::vector<std::string> icons = Images(".ico");
  const std::vector<std::string> cursors = Images(".cur");
  ASSERT_GE(gifs.size(), 2u);
  ASSERT_GE(icons.size(), 2u);
  ASSERT_FALSE(cursors.empty());
  // icon_png.ico holds PNG images, which the PNG search finds as well.
  std::size_t pngs = 0;
  for (std::size_t at = icons[1].find("\x89PNG\r\n"); at != std::string::npos; at = icons[1].find("\x89PNG\r\n", at + 1)) {
    ++pngs;
  }
  ASSERT_GT(pngs, 0u);
  std::string bytes = Filler(5) + bitmaps_[0];
  for (const auto& each : gifs) bytes += Filler(9) + each;
  for (const auto& each : icons) bytes += Filler(3) + each;
  for (const auto& each : cursors) bytes += Filler(11) + each;
  WriteOld(Root() / "later.bin", bytes);
  const auto only = [&](const std::vector<std::string>& options) {
    std::vector<std::string> args = options;
    args.push_back("later.bin");
    return Run(args);
  };
  std::string lines = At("later.bin") + "\n  " + At("later_000.bmp") + "\n";
  for (std::size_t i = 0; i < pngs; ++i) lines += "  " + At("later_" + Number(i) + ".png") + "\n";
  std::string gifLines;
  for (std::size_t i = 0; i < gifs.size(); ++i) gifLines += "  " + At("later_" + Number(i) + ".gif") + "\n";
  std::string iconLines;
  for (std::size_t i = 0; i < icons.size(); ++i) iconLines += "  " + At("later_" + Number(i) + ".ico") + "\n";
  for (std::size_t i = 0; i < cursors.size(); ++i) iconLines += "  " + At("later_" + Number(i) + ".cur") + "\n";
  const FileMap before = Snapshot();
  const auto all = only({"-extract=ALL"});
  EXPECT_EQ(all.exitCode, 0);
  EXPECT_EQ(all.out, lines + gifLines + iconLines);
  const FileMap written = Written(before, Snapshot());
  // Byte for byte (too long to print).
  EXPECT_TRUE(written.at("later_000.bmp") == bitmaps_[0]);
  for (std::size_t i = 0; i < gifs.size(); ++i) EXPECT_TRUE(written.at("later_" + Number(i) + ".gif") == gifs[i]) << i;
  for (std::size_t i = 0; i < icons.size(); ++i) EXPECT_TRUE(written.at("later_" + Number(i) + ".ico") == icons[i]) << i;
  EXPECT_TRUE(written.at("later_000.cur") == cursors[0]);
  // Each selected alone; without them, the first three as ever.
  EXPECT_EQ(only({"-extract=GIF"}).out, At("later.bin") + "\n" + gifLines);
  EXPECT_EQ(only({"-extract=ico"}).out, At("later.bin") + "\n" + iconLines);
  EXPECT_EQ(only({"-extract=bmp", "-extract=jpg", "-extract=png"}).out, lines);
}

}  // namespace
}  // namespace qx::cli
