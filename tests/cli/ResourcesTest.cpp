// -resources: the pictures of Windows programs, as the MinGW-made test
// programs hold them, written after the file's own images and before its
// containers', each exactly the picture file the program was built from;
// and nothing of the kind without the option.
#include <zlib.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "CliFixture.h"

namespace qx::cli {
namespace {

std::string Data(const std::string& name) {
  std::ifstream in(fs::path(QX_TEST_DATA_DIR) / "programs" / name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The pictures of the programs in table order: (type, file), from the
// manifest the script that made them wrote.
std::vector<std::pair<int, std::string>> Manifest() {
  std::vector<std::pair<int, std::string>> pictures;
  std::istringstream lines(Data("manifest.txt"));
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    int type = 0;
    std::string name, language, file;
    fields >> type >> name >> language >> file;
    pictures.emplace_back(type, file);
  }
  return pictures;
}


class ResourcesTest : public CliTest {};

TEST_F(ResourcesTest, AProgramsPicturesFollowTheFilesOwnImagesAndPrecedeItsContainers) {
  const std::string own = Bitmap(60, 'o');
  // A program at an odd offset, then another inside a gzip member.
  WriteOld(Root() / "a.bin", own + Filler(7) + Data("pictures64.dll") + Gzip(Data("pictures32.exe")));
  const auto pictures = Manifest();
  ASSERT_FALSE(pictures.empty());

  const FileMap before = Snapshot();
  const auto result = Run({"-extract=BMP", "-extract=ICO", "-resources", "-unpack", "-verbosity=1", "a.bin"});
  EXPECT_EQ(result.exitCode, 0);
  FileMap expected{{"a_000.bmp", own}};
  // The file's own program first, its table's order (bitmaps, cursors,
  // icons: types 2, 12, 14), numbered on; then the one in the container.
  int numbers[15] = {};
  numbers[2] = 1;  // after the file's own bitmap
  const auto name = [](const std::string& ext, int n) {
    std::string digits = std::to_string(n);
    return "a_" + std::string(3 - std::min<std::size_t>(3, digits.size()), '0') + digits + "." + ext;
  };
  for (int copy = 0; copy < 2; ++copy) {
    for (const auto& [type, file] : pictures) {
      const std::string ext = type == 2 ? "bmp" : type == 12 ? "cur" : "ico";
      expected[name(ext, numbers[type]++)] = Data("pictures/" + file);
    }
  }
  // Compared by names, and byte for byte (the pictures are too long to
  // print).
  const FileMap written = Written(before, Snapshot());
  std::string differ;
  for (const auto& [name, bytes] : written) {
    if (expected.count(name) == 0 || expected.at(name) != bytes) differ += name + " ";
  }
  EXPECT_EQ(written.size(), expected.size());
  EXPECT_EQ(differ, "");

  // Without the option, none of them; the kinds alone select.
  const auto plain = Run({"-extract=BMP", "-unpack", "-verbosity=1", "a.bin"});
  EXPECT_EQ(plain.exitCode, 0);
  EXPECT_EQ(ReadAll(Root() / "a_000.bmp"), own);
  for (const auto& entry : fs::directory_iterator(Root())) {
    if (entry.path().filename() != "a.bin") fs::remove(entry.path());
  }
  const auto icons = Run({"-extract=ICO", "-resources", "-verbosity=2", "a.bin"});
  EXPECT_EQ(icons.out, "a.bin\n");
  EXPECT_TRUE(fs::exists(Root() / "a_000.ico"));
  EXPECT_TRUE(fs::exists(Root() / "a_000.cur"));
  EXPECT_FALSE(fs::exists(Root() / "a_000.bmp"));
}

TEST_F(ResourcesTest, TheReportNamesEachPicturesResource) {
  WriteOld(Root() / "p.dll", Data("pictures64.dll"));
  const auto result = Run({"-extract=ALL", "-resources", "-verbosity=1", "-report=r.jsonl", "p.dll"});
  EXPECT_EQ(result.exitCode, 0);
  const std::string report = ReadAll(Root() / "r.jsonl");
  EXPECT_NE(report.find("\"kind\":\"bmp\",\"output\":\"" + JsonAt("p_000.bmp") + "\""), std::string::npos) << report;
  EXPECT_NE(report.find("\"resource\":{\"type\":2,\"name\":\"CORE\",\"language\":1031}"), std::string::npos);
  EXPECT_NE(report.find("\"resource\":{\"type\":14,\"id\":20,\"language\":1033}"), std::string::npos);
}

TEST_F(ResourcesTest, APictureFoundAsAFileAndAsAResourceIsWrittenOnceWithDedup) {
  // The icon file windres compiled in, lying raw in one file, and rebuilt
  // from the program's group in another: the same bytes by two roads.
  const std::string icon = Data("pictures/app.ico");
  WriteOld(Root() / "a.bin", Filler(9) + icon);
  WriteOld(Root() / "p.dll", Data("pictures64.dll"));
  const auto result =
      Run({"-extract=ICO", "-resources", "-dedup", "-verbosity=1", "-report=r.jsonl", "a.bin", "p.dll"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_TRUE(ReadAll(Root() / "a_000.ico") == icon);
  const std::string report = ReadAll(Root() / "r.jsonl");
  EXPECT_NE(report.find("\"output\":null"), std::string::npos);
  EXPECT_NE(report.find("\"duplicate_of\":\"" + JsonAt("a_000.ico") + "\""), std::string::npos);
  // Of the program's three groups (small.ico twice, in two languages, and
  // app.ico) one is written; its number is the first.
  EXPECT_TRUE(ReadAll(Root() / "p_000.ico") == Data("pictures/small.ico"));
  EXPECT_FALSE(fs::exists(Root() / "p_001.ico"));
  EXPECT_NE(report.find("\"duplicates\":2,"), std::string::npos);
}

}  // namespace
}  // namespace qx::cli
