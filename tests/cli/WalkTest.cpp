// DIR arguments: the depth-first walk, relative directories, links and the
// current directory around a walk.
#include <string>
#include <vector>

#include "CliFixture.h"
#include "platform/platform.h"

namespace qx::cli {
namespace {

class WalkTest : public CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    for (const char* file : {"Data/a.bin", "Data/Sub/b.bin", "Data/Sub/Deeper/c.bin",
                             "Data/Sub/Deeper/Deepest/d.bin", "Data/z.bin", "top.bin"}) {
      const std::string bitmap = Bitmap(60 + static_cast<std::uint32_t>(bitmaps_.size()),
                                        static_cast<char>('a' + bitmaps_.size()));
      bitmaps_[file] = bitmap;
      WriteOld(Root() / file, Filler(4) + bitmap);
    }
    fs::create_directories(Root() / "Data" / "Empty");
    fs::create_directories(Root() / "Work");
    before_ = Snapshot();
  }

  // The two lines a verbose run prints for one source under the root, and
  // the output it writes.
  std::string Lines(const std::string& source) {
    const std::string output = source.substr(0, source.size() - 4) + "_000.bmp";
    expected_[output] = bitmaps_.at(source);
    return At(source) + "\n  " + At(output) + "\n";
  }
  FileMap TakeExpected() {
    FileMap expected;
    expected.swap(expected_);
    return expected;
  }

  std::map<std::string, std::string> bitmaps_;
  FileMap expected_;
  FileMap before_;
};

TEST_F(WalkTest, WithoutSubdirsOnlyTheDirectorysOwnFilesAreProcessed) {
  const auto result = Run({"-extract=BMP", "Data"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, Lines("Data/a.bin") + Lines("Data/z.bin"));
  EXPECT_EQ(Written(before_, Snapshot()), TakeExpected());
}

TEST_F(WalkTest, WithSubdirsTheWalkIsDepthFirstInListingOrder) {
  const auto result = Run({"-extract=BMP", "-subdirs", "Data"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, Lines("Data/a.bin") + Lines("Data/Sub/b.bin") +
                            Lines("Data/Sub/Deeper/c.bin") +
                            Lines("Data/Sub/Deeper/Deepest/d.bin") + Lines("Data/z.bin"));
  EXPECT_EQ(Written(before_, Snapshot()), TakeExpected());
}

TEST_F(WalkTest, AnAbsoluteDirectoryArgumentAndAWildcardMatchAreWalkedAlike) {
  const auto result = Run({"-extract=BMP", "-verbosity=2", At("Data/Sub"), "D*"}, Root() / "Work");
  EXPECT_EQ(result.out, "b.bin\n");
  const auto matched = Run({"-extract=BMP", "-verbosity=2", "D*"});
  EXPECT_EQ(matched.out, "a.bin\nz.bin\n");
}

TEST_F(WalkTest, RelativeDirectoryArgumentsWalkTheRealFiles) {
  const auto inner = Run({"-extract=BMP", "Data/Sub/Deeper"});
  EXPECT_EQ(inner.out, Lines("Data/Sub/Deeper/c.bin"));
  const auto up = Run({"-extract=BMP", "-subdirs", "../Data/Sub"}, Root() / "Work");
  EXPECT_EQ(up.out, Lines("Data/Sub/b.bin") + Lines("Data/Sub/Deeper/c.bin") +
                        Lines("Data/Sub/Deeper/Deepest/d.bin"));
  const auto dotted = Run({"-extract=BMP", "./Data/Sub/../Sub/Deeper/Deepest"});
  EXPECT_EQ(dotted.out, Lines("Data/Sub/Deeper/Deepest/d.bin"));
  EXPECT_EQ(Written(before_, Snapshot()), TakeExpected());
}

TEST_F(WalkTest, TheCurrentDirectoryIsTheSameAfterEveryWalk) {
  // top.bin and t*.bin are resolved against the current directory after the
  // walks; a directory that cannot be entered changes nothing either.
  const auto result =
      Run({"-extract=BMP", "-subdirs", "Data", "top.bin", "Missing", "Data/Empty", "t*.bin"});
  const std::string top = Lines("top.bin");
  EXPECT_EQ(result.out, Lines("Data/a.bin") + Lines("Data/Sub/b.bin") +
                            Lines("Data/Sub/Deeper/c.bin") +
                            Lines("Data/Sub/Deeper/Deepest/d.bin") + Lines("Data/z.bin") + top +
                            top);
  EXPECT_EQ(Written(before_, Snapshot()), TakeExpected());
}

// Each test holds a single loop, so that a walk without the guard still
// ends (at the path limit) and fails instead of branching for ever.
TEST_F(WalkTest, ALinkBackToAnAncestorEndsTheBranchWhileOtherLinksAreFollowed) {
  if (plat::kHasDrives) GTEST_SKIP() << "links to directories need privileges on this platform";
  fs::create_directory_symlink(Root() / "Data", Root() / "Data/Sub/Loop");
  const std::string other = Bitmap(77, 'o');
  WriteOld(Root() / "Other/o.bin", other);
  fs::create_directory_symlink(Root() / "Other", Root() / "Data/Sub/Elsewhere");
  before_ = Snapshot();

  const auto result = Run({"-extract=BMP", "-subdirs", "Data"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, Lines("Data/a.bin") + Lines("Data/Sub/b.bin") +
                            Lines("Data/Sub/Deeper/c.bin") +
                            Lines("Data/Sub/Deeper/Deepest/d.bin") + At("Data/Sub/Elsewhere/o.bin") +
                            "\n  " + At("Data/Sub/Elsewhere/o_000.bmp") + "\n" +
                            Lines("Data/z.bin"));
  FileMap expected = TakeExpected();
  expected["Other/o_000.bmp"] = other;
  EXPECT_EQ(Written(before_, Snapshot()), expected);
}

TEST_F(WalkTest, RelativeLinksToTheDirectoryItselfOrItsParentsArePassedOver) {
  if (plat::kHasDrives) GTEST_SKIP() << "links to directories need privileges on this platform";
  for (const char* target : {".", "..", "../.."}) {
    SCOPED_TRACE(target);
    const fs::path link = Root() / "Data/Sub/Deeper/Deepest/Link";
    fs::create_directory_symlink(target, link);
    const auto result = Run({"-extract=BMP", "-subdirs", "-verbosity=2", "Data/Sub"});
    EXPECT_EQ(result.out, "b.bin\nc.bin\nd.bin\n");
    fs::remove(link);
  }
}

TEST_F(WalkTest, ALinkedDirectoryNamedOnTheCommandLineIsWalked) {
  if (plat::kHasDrives) GTEST_SKIP() << "links to directories need privileges on this platform";
  fs::create_directory_symlink(Root() / "Data/Sub", Root() / "Work/Alias");
  fs::create_directory_symlink(Root() / "Work", Root() / "Data/Sub/Deeper/Deepest/Back");
  const auto result = Run({"-extract=BMP", "-subdirs", "-verbosity=2", "Alias"}, Root() / "Work");
  // Back leads to Work, which holds Alias, which is the walk's own start.
  EXPECT_EQ(result.out, "b.bin\nc.bin\nd.bin\n");
}

}  // namespace
}  // namespace qx::cli
