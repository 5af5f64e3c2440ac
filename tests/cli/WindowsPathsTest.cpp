// Arguments in the forms only Windows has: drive letters, drive-relative
// patterns, '\' as well as '/' between directories, and names matched by the
// runtime's own wildcard rules. Skipped where paths have no drives.
#include <string>
#include <vector>

#include "CliFixture.h"
#include "platform/platform.h"

namespace qx::cli {
namespace {

class WindowsPathsTest : public CliTest {
 protected:
  void SetUp() override {
    if (!plat::kHasDrives) GTEST_SKIP() << "no drive letters on this platform";
    CliTest::SetUp();
    for (const char* file : {"Sub/x.bin", "Sub/Y.BIN", "Sub/noext", "top.bin"}) {
      const std::string bitmap = Bitmap(56 + static_cast<std::uint32_t>(bitmaps_.size()),
                                        static_cast<char>('p' + bitmaps_.size()));
      bitmaps_[file] = bitmap;
      WriteOld(Root() / file, Filler(3) + bitmap);
    }
    before_ = Snapshot();
  }
  std::string Drive() const { return Root().string().substr(0, 2); }

  std::map<std::string, std::string> bitmaps_;
  FileMap before_;
};

TEST_F(WindowsPathsTest, ADriveRelativePatternUsesThatDrivesCurrentDirectory) {
  const auto result = Run({"-extract=BMP", Drive() + "*.bin"}, Root() / "Sub");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, At("Sub/x.bin") + "\n  " + At("Sub/x_000.bmp") + "\n" + At("Sub/Y.BIN") +
                            "\n  " + At("Sub/Y_000.bmp") + "\n");
  EXPECT_EQ(Written(before_, Snapshot()),
            (FileMap{{"Sub/x_000.bmp", bitmaps_["Sub/x.bin"]},
                     {"Sub/Y_000.bmp", bitmaps_["Sub/Y.BIN"]}}));

  // A directory matched that way is walked under its full path too.
  const auto walked = Run({"-extract=BMP", "-verbosity=3", Drive() + "S?b"});
  EXPECT_EQ(walked.out, At("Sub/noext") + "\n  " + At("Sub/noext_000.bmp") + "\n" +
                            At("Sub/x.bin") + "\n  " + At("Sub/x_000.bmp") + "\n" +
                            At("Sub/Y.BIN") + "\n  " + At("Sub/Y_000.bmp") + "\n");
}

TEST_F(WindowsPathsTest, BothSeparatorsSplitAndTheDirectoryIsKeptAsTyped) {
  const auto result = Run({"-extract=BMP", "-verbosity=3", "Sub\\x.bin", "sub/y.bin", "SUB\\n*"});
  EXPECT_EQ(result.exitCode, 0);
  // The directory as typed, the name as the listing stores it.
  EXPECT_EQ(result.out,
            "Sub\\x.bin\n  Sub\\x_000.bmp\nsub/Y.BIN\n  sub/Y_000.bmp\nSUB\\noext\n  SUB\\noext_000.bmp\n");
  EXPECT_EQ(Written(before_, Snapshot()),
            (FileMap{{"Sub/x_000.bmp", bitmaps_["Sub/x.bin"]},
                     {"Sub/Y_000.bmp", bitmaps_["Sub/Y.BIN"]},
                     {"Sub/noext_000.bmp", bitmaps_["Sub/noext"]}}));
}

TEST_F(WindowsPathsTest, AnAbsolutePatternWithItsDriveIsUsedAsTyped) {
  const std::string pattern = At("Sub") + "\\*.*";
  const auto result = Run({"-extract=BMP", "-verbosity=2", pattern}, Root() / "Sub");
  // "*.*" matches the name without a dot as well.
  EXPECT_EQ(result.out, "noext\nx.bin\nY.BIN\n");
  const auto top = Run({"-extract=BMP", At("TOP.BIN")});
  EXPECT_EQ(top.out, At("top.bin") + "\n  " + At("top_000.bmp") + "\n");
}

}  // namespace
}  // namespace qx::cli
