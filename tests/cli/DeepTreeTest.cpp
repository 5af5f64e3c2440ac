// A walk nests one level per directory: deep trees must not exhaust the stack.
#include <string>

#include "CliFixture.h"
#include "platform/platform.h"

namespace qx::cli {
namespace {

class DeepTreeTest : public CliTest {};

TEST_F(DeepTreeTest, AWalkEightHundredDirectoriesDeepFindsTheBottom) {
  // Deep enough that a path buffer of a few kilobytes on the stack per level
  // would overflow the usual 8 MiB, shallow enough to stay within the
  // default limit of open files of the tool and of the tree's removal.
  constexpr int kDepth = 800;
  if (plat::kPathCapacity < 2 * kDepth + 300) {
    GTEST_SKIP() << "a tree this deep does not fit the platform's paths";
  }
  fs::path deepest = Root() / "Data";
  std::string relative = "Data";
  for (int level = 0; level < kDepth; ++level) {
    deepest /= "d";
    relative += "/d";
  }
  fs::create_directories(deepest);
  const std::string bottom = Bitmap(81, 'x');
  const std::string top = Bitmap(82, 'y');
  WriteOld(deepest / "x.bin", bottom);
  WriteOld(Root() / "Data" / "y.bin", top);
  const FileMap before = Snapshot();

  const auto result = Run({"-extract=BMP", "-subdirs", "-verbosity=2", "Data"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, "x.bin\ny.bin\n");
  EXPECT_EQ(Written(before, Snapshot()),
            (FileMap{{relative + "/x_000.bmp", bottom}, {"Data/y_000.bmp", top}}));
}

}  // namespace
}  // namespace qx::cli
