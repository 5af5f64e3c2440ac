// What a run passes over and says so: files and directories it may not
// read, outputs it cannot write, paths that do not fit; standard output as
// before, a line each on standard error, and status 1 where an image was
// lost. And bytes past the read cap, passed over by design.
#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "CliFixture.h"
#include "platform/platform.h"

namespace qx::cli {
namespace {

class FailureTest : public CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    first_ = Bitmap(58, 'f');
    last_ = Bitmap(61, 'l');
    WriteOld(Root() / "Data/a.bin", Filler(3) + first_);
    WriteOld(Root() / "Data/z.bin", last_);
  }
  std::string first_;
  std::string last_;
};

TEST_F(FailureTest, AFileThatCannotBeReadIsAnnouncedSaidAndSkipped) {
  WriteOld(Root() / "Data/m.bin", Bitmap(99, 'm'));
  if (!PrepareUnprivilegedRun()) GTEST_SKIP() << "the tool cannot run as an unprivileged user here";
  fs::permissions(Root() / "Data/m.bin", fs::perms::none);
  const FileMap before = Snapshot();

  const auto result = Run({"-extract=BMP", "Data", "Data/m.bin"}, {}, true);
  // A source that cannot be read loses nothing the run had: status 0.
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, At("Data/a.bin") + "\n  " + At("Data/a_000.bmp") + "\n" +
                            At("Data/m.bin") + "\n" + At("Data/z.bin") + "\n  " +
                            At("Data/z_000.bmp") + "\nData/m.bin\n");
  EXPECT_EQ(result.err, Failures({{At("Data/m.bin"), "Permission denied"}, {"Data/m.bin", "Permission denied"}}));
  EXPECT_EQ(Written(before, Snapshot()),
            (FileMap{{"Data/a_000.bmp", first_}, {"Data/z_000.bmp", last_}}));
}

TEST_F(FailureTest, ADirectoryThatCannotBeEnteredIsSaidAndSkipped) {
  WriteOld(Root() / "Data/Locked/x.bin", Bitmap(99, 'x'));
  WriteOld(Root() / "top.bin", Bitmap(55, 't'));
  if (!PrepareUnprivilegedRun()) GTEST_SKIP() << "the tool cannot run as an unprivileged user here";
  fs::permissions(Root() / "Data/Locked", fs::perms::none);
  const FileMap before = Snapshot();

  const auto result =
      Run({"-extract=BMP", "-subdirs", "-verbosity=2", "Data", "Data/Locked", "top.bin"}, {}, true);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, "a.bin\nz.bin\ntop.bin\n");
  // Reached twice, by the walk and as an argument: said twice.
  EXPECT_EQ(result.err, Failures({{At("Data/Locked"), "Permission denied"}, {At("Data/Locked"), "Permission denied"}}));
  EXPECT_EQ(Written(before, Snapshot()),
            (FileMap{{"Data/a_000.bmp", first_},
                     {"Data/z_000.bmp", last_},
                     {"top_000.bmp", Bitmap(55, 't')}}));
}

TEST_F(FailureTest, AnOutputThatCannotBeOpenedKeepsItsNumber) {
  // Both bitmaps of a.bin are meant for a_000.bmp, which is a directory: the
  // failed first write must not move the second one on to a_001.bmp.
  WriteOld(Root() / "Data/a.bin", first_ + Bitmap(70, 'g'));
  fs::create_directories(Root() / "Data/a_000.bmp");
  const FileMap before = Snapshot();
  const auto result = Run({"-extract=BMP", "Data"});
  // Two images lost: a line each, and the status says so.
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out,
            At("Data/a.bin") + "\n" + At("Data/z.bin") + "\n  " + At("Data/z_000.bmp") + "\n");
  EXPECT_EQ(ReasonsHidden(result.err),
            Failures({{At("Data/a_000.bmp"), "Is a directory"}, {At("Data/a_000.bmp"), "Is a directory"}}));
  EXPECT_EQ(Written(before, Snapshot()), (FileMap{{"Data/z_000.bmp", last_}}));
  EXPECT_TRUE(fs::is_directory(Root() / "Data/a_000.bmp"));
  EXPECT_FALSE(fs::exists(Root() / "Data/a_001.bmp"));
}

TEST_F(FailureTest, AnOutputCutShortByAFileSizeLimitIsSaidNotCounted) {
  if (plat::kHasDrives) GTEST_SKIP() << "needs a file size limit for the child";
  // Every file the run writes is capped at 100 bytes, as a nearly full disk
  // would cap it. The 300-byte bitmap fits the stream's buffer, so its write
  // only fails when the bytes go out; the 70-byte one after it is written
  // whole under the number the failed one did not use.
  const std::string small = Bitmap(70, 's');
  WriteOld(Root() / "full.bin", Filler(9) + Bitmap(300, 'b') + small);
  const auto result = Run({"-extract=BMP", "full.bin"}, {}, false, 100);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, At("full.bin") + "\n  " + At("full_000.bmp") + "\n");
  EXPECT_EQ(result.err, Failures({{At("full_000.bmp"), "File too large"}}));
  EXPECT_EQ(ReadAll(Root() / "full_000.bmp"), small);
  EXPECT_FALSE(fs::exists(Root() / "full_001.bmp"));
}

TEST_F(FailureTest, AReadOnlyDirectoryGetsNoOutputsAndALineForEachImageLost) {
  if (!PrepareUnprivilegedRun()) GTEST_SKIP() << "the tool cannot run as an unprivileged user here";
  fs::permissions(Root() / "Data", fs::perms::owner_write | fs::perms::group_write |
                                       fs::perms::others_write,
                  fs::perm_options::remove);
  const FileMap before = Snapshot();
  const auto result = Run({"-extract=ALL", "Data/*"}, {}, true);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, "Data/a.bin\nData/z.bin\n");
  EXPECT_EQ(result.err, Failures({{"Data/a_000.bmp", "Permission denied"}, {"Data/z_000.bmp", "Permission denied"}}));
  EXPECT_EQ(Written(before, Snapshot()), FileMap{});
}

// Restores the test's own current directory when the test ends.
class CurrentDirectoryGuard {
 public:
  CurrentDirectoryGuard() : saved_(fs::current_path()) {}
  ~CurrentDirectoryGuard() { fs::current_path(saved_); }
  CurrentDirectoryGuard(const CurrentDirectoryGuard&) = delete;
  CurrentDirectoryGuard& operator=(const CurrentDirectoryGuard&) = delete;

 private:
  fs::path saved_;
};

TEST_F(FailureTest, PathsLongerThanThePlatformHoldsAreNeverUsedCut) {
  const std::size_t most = plat::kPathCapacity - 1;  // characters of the longest path
  // Nest directories until the room left below the deepest one is between
  // 30 and 230 characters, enough for every name below and within NAME_MAX.
  fs::path deep = Root() / "Data";
  std::size_t length = deep.string().size();
  const std::size_t component = plat::kPathCapacity > 1000 ? 200 : 20;
  CurrentDirectoryGuard guard;
  fs::current_path(deep);
  for (int level = 0; most - length >= 30 + component + 1; ++level) {
    // Listed between a.bin and z.bin.
    std::string name = "m" + std::to_string(level);
    name.resize(component, 'n');
    fs::create_directory(name);
    fs::current_path(name);
    length += 1 + component;
    deep /= name;
  }
  const std::size_t room = most - length;  // characters after the directory's path
  ASSERT_GE(room, 30u);
  // Output path exactly at the limit, and one character over it.
  const std::string fitsOut(room - 1 - 8, 'a');
  const std::string overOut(room - 1 - 7, 'b');
  // Source path exactly at the limit, and one character over it.
  const std::string fitsIn = "c." + std::string(room - 3, 'e');
  const std::string overIn(room, 'd');
  const std::string bitmap = Bitmap(66, 'p');
  for (const std::string& name :
       {fitsOut + ".bin", overOut + ".bin", fitsIn, overIn}) {
    WriteOld(name, bitmap);
  }
  fs::current_path(Root());
  const std::string dir = deep.string() + Sep();
  ASSERT_EQ((dir + fitsIn).size(), most);

  const std::string expected = dir + fitsOut + ".bin\n  " + dir + fitsOut + "_000.bmp\n" + dir +
                               overOut + ".bin\n" + dir + fitsIn + "\n  " + dir + "c_000.bmp\n";
  const auto walked = Run({"-extract=BMP", "-subdirs", "Data"});
  // The image whose name would not fit is lost, and said with the name it
  // would have had; the source whose path does not fit is not reached.
  EXPECT_EQ(walked.exitCode, 1);
  EXPECT_EQ(ReasonsHidden(walked.err), Failures({{dir + overOut + "_000.bmp", "File name too long"}}));
  EXPECT_EQ(walked.out, At("Data/a.bin") + "\n  " + At("Data/a_000.bmp") + "\n" + expected +
                            At("Data/z.bin") + "\n  " + At("Data/z_000.bmp") + "\n");
  // The expansion of a pattern in the deep directory composes the same paths.
  const auto listed = Run({"-extract=BMP", "*.*"}, deep);
  EXPECT_EQ(listed.out, expected);
  EXPECT_EQ(listed.exitCode, 1);

  fs::current_path(deep);
  EXPECT_EQ(ReadAll(fitsOut + "_000.bmp"), bitmap);
  EXPECT_EQ(ReadAll("c_000.bmp"), bitmap);
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(".")) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{fitsOut + ".bin", fitsOut + "_000.bmp",
                                             overOut + ".bin", fitsIn, "c_000.bmp", overIn}));
  // The tree is removed by absolute paths, which must fit.
  fs::remove(overIn);
}

TEST_F(FailureTest, OnlyTheFirstHundredMillionBytesAreScanned) {
  constexpr std::uintmax_t kCap = 100000000;
  const std::string head = Bitmap(52, 'h');
  const std::string tail = Bitmap(100, 't');
  // The tail bitmap ends exactly at the cap in one file, a byte past it in
  // the other. Both files are sparse: only the bitmaps take space.
  for (const auto& [name, end] : {std::pair<std::string, std::uintmax_t>{"exact.bin", kCap},
                                  {"over.bin", kCap + 1}}) {
    const fs::path path = Root() / name;
    {
      std::ofstream out(path, std::ios::binary);
      out.write(head.data(), static_cast<std::streamsize>(head.size()));
      out.seekp(static_cast<std::streamoff>(end - tail.size()));
      out.write(tail.data(), static_cast<std::streamsize>(tail.size()));
    }
    fs::resize_file(path, kCap + 50);
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(1));
  }
  const auto result = Run({"-extract=BMP", "-verbosity=2", "exact.bin", "over.bin"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, "exact.bin\nover.bin\n");
  // The inputs are too large to snapshot: the outputs are looked at alone.
  FileMap outputs;
  for (const auto& entry : fs::directory_iterator(Root())) {
    if (entry.path().extension() == ".bmp") {
      outputs[entry.path().filename().string()] = ReadAll(entry.path());
    }
  }
  EXPECT_EQ(outputs,
            (FileMap{{"exact_000.bmp", head}, {"exact_001.bmp", tail}, {"over_000.bmp", head}}));
}

}  // namespace
}  // namespace qx::cli
