// Runs over trees that other people can write into: links planted at output
// names, full disks and file size limits, interruptions, closed standard
// descriptors, link mazes, private sources, and directory arguments given
// by their form.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "CliFixture.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "platform/testing_fs.h"

namespace qx::cli {
namespace {

using plat::testing::RunOptions;

class SafeOutputTest : public CliTest {
 protected:
  // Every temporary the output step may have left anywhere in the tree.
  std::vector<std::string> Temporaries() const {
    std::vector<std::string> found;
    for (auto it = fs::recursive_directory_iterator(Root());
         it != fs::recursive_directory_iterator(); ++it) {
      const std::string name = it->path().filename().string();
      if (name.rfind(".qx", 0) == 0) found.push_back(name);
    }
    return found;
  }

  // Removes the images earlier runs wrote below `dir`: a later run that
  // starts a second after they were written would scan them as sources.
  static void RemoveImages(const fs::path& dir) {
    std::vector<fs::path> images;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
         ++it) {
      if (!it->is_symlink() && it->path().extension() == ".bmp") images.push_back(it->path());
    }
    for (const fs::path& image : images) fs::remove(image);
  }

  static bool IsPosix() { return !plat::kHasDrives; }
};

TEST_F(SafeOutputTest, LinksAtOutputNamesAreReplacedNeverFollowed) {
  if (!IsPosix()) GTEST_SKIP() << "links are a POSIX matter here";
  const std::vector<std::string> images = {Bitmap(60, '0'), Bitmap(61, '1'), Bitmap(62, '2'),
                                           Bitmap(63, '3')};
  const std::string source = Filler(5) + images[0] + images[1] + images[2] + images[3];
  WriteOld(Root() / "src.bin", source);
  WriteOld(Root() / "victim.txt", "root's secret\n");
  fs::permissions(Root() / "victim.txt", fs::perms::owner_read | fs::perms::owner_write);
  // A link to another file, a dangling one, one to the source itself, and a
  // hard link to the source.
  fs::create_symlink(Root() / "victim.txt", Root() / "src_000.bmp");
  fs::create_symlink(Root() / "ghost.txt", Root() / "src_001.bmp");
  fs::create_symlink("src.bin", Root() / "src_002.bmp");
  fs::create_hard_link(Root() / "src.bin", Root() / "src_003.bmp");

  const auto result = Run({"-extract=BMP", "src.bin"});
  EXPECT_EQ(result.exitCode, 0);
  std::string expected = At("src.bin") + "\n";
  for (int i = 0; i < 4; ++i) expected += "  " + At("src_00" + std::to_string(i) + ".bmp") + "\n";
  EXPECT_EQ(result.out, expected);
  EXPECT_EQ(ReadAll(Root() / "victim.txt"), "root's secret\n");
  EXPECT_FALSE(fs::exists(Root() / "ghost.txt"));
  EXPECT_EQ(ReadAll(Root() / "src.bin"), source);
  for (int i = 0; i < 4; ++i) {
    const fs::path output = Root() / ("src_00" + std::to_string(i) + ".bmp");
    EXPECT_FALSE(fs::is_symlink(output)) << output;
    EXPECT_EQ(fs::hard_link_count(output), 1u) << output;
    EXPECT_EQ(ReadAll(output), images[static_cast<std::size_t>(i)]) << output;
  }
  EXPECT_EQ(Temporaries(), std::vector<std::string>{});
}

TEST_F(SafeOutputTest, AnExistingOutputIsReplacedWhole) {
  // Longer than the new image, so that a write into the old file would leave
  // its tail behind.
  WriteOld(Root() / "Data/a_000.bmp", std::string(500, 'o'));
  WriteOld(Root() / "Data/a.bin", Bitmap(77, 'n'));
  const auto result = Run({"-extract=BMP", "-verbosity=1", "Data" + Sep() + "a.bin"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(ReadAll(Root() / "Data/a_000.bmp"), Bitmap(77, 'n'));
  EXPECT_EQ(Temporaries(), std::vector<std::string>{});
}

TEST_F(SafeOutputTest, WritesThatFailLeaveNothingAndTheRunGoesOn) {
  if (!IsPosix()) GTEST_SKIP() << "needs a file size limit or a small disk";
  // Under a 100-byte file size limit (ulimit -f) the 300-byte bitmap cannot
  // be written: no file, no output line (standard error says it), and its
  // number goes to the 70-byte one. The limit must not end the run: the
  // next file is still read.
  const std::string big = Bitmap(300, 'b');
  const std::string small = Bitmap(70, 's');
  WriteOld(Root() / "a.bin", Filler(9) + big + small);
  WriteOld(Root() / "b.bin", Bitmap(80, 'n'));
  RunOptions limited;
  limited.fileSizeLimit = 100;
  const auto result = RunWith({"-extract=BMP", "a.bin", "b.bin"}, limited);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.err, Failures({{At("a_000.bmp"), "File too large"}}));
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.out, At("a.bin") + "\n  " + At("a_000.bmp") + "\n" + At("b.bin") + "\n  " +
                            At("b_000.bmp") + "\n");
  EXPECT_EQ(ReadAll(Root() / "a_000.bmp"), small);
  EXPECT_FALSE(fs::exists(Root() / "a_001.bmp"));
  EXPECT_EQ(ReadAll(Root() / "b_000.bmp"), Bitmap(80, 'n'));
  EXPECT_EQ(Temporaries(), std::vector<std::string>{});

  // The same on a disk that is really full.
  const fs::path disk = Root() / "disk";
  fs::create_directories(disk);
  if (!plat::testing::MountSmallDisk(disk.string(), 64 * 1024)) {
    GTEST_SKIP() << "no small disk can be mounted here";
  }
  struct Unmounter {
    std::string path;
    ~Unmounter() { plat::testing::Unmount(path); }
  } unmounter{disk.string()};
  // 48 KiB of sources leave about 16 KiB free: the 40 KiB image runs out of
  // space, the 8 KiB one after it is written under its number.
  WriteOld(disk / "full.bin", Filler(3) + Bitmap(40 * 1024, 'h') + Bitmap(8 * 1024, 'f'));
  const auto full = Run({"-extract=BMP", "-verbosity=2", "disk" + Sep() + "full.bin"});
  EXPECT_EQ(full.exitCode, 1);
  EXPECT_EQ(full.err, Failures({{"disk/full_000.bmp", "No space left on device"}}));
  EXPECT_EQ(full.out, "full.bin\n");
  EXPECT_EQ(ReadAll(disk / "full_000.bmp"), Bitmap(8 * 1024, 'f'));
  EXPECT_FALSE(fs::exists(disk / "full_001.bmp"));
  EXPECT_EQ(Temporaries(), std::vector<std::string>{});
}

TEST_F(SafeOutputTest, AnInterruptedRunKeepsItsLogAndLeavesNoTemporary) {
  if (!IsPosix()) GTEST_SKIP() << "sends POSIX signals";
  constexpr int kFiles = 4000;
  for (int i = 0; i < kFiles; ++i) {
    WriteOld(Root() / "Data" / ("f" + std::to_string(10000 + i) + ".bin"),
             Bitmap(2000 + static_cast<std::uint32_t>(i % 7), static_cast<char>('a' + i % 26)));
  }
  for (const int signal : {plat::testing::kSignalInterrupt, plat::testing::kSignalTerminate,
                           plat::testing::kSignalHangUp}) {
    SCOPED_TRACE(signal);
    RemoveImages(Root() / "Data");
    RunOptions options;
    options.signal = signal;
    options.signalWhen = (Root() / "Data" / "f10040_000.bmp").string();
    options.timeoutSeconds = 120;
    const auto result = RunWith({"-extract=BMP", "Data"}, options);
    ASSERT_EQ(result.signal, signal) << "the run ended before the signal came";
    EXPECT_EQ(result.exitCode, -1);
    EXPECT_EQ(Temporaries(), std::vector<std::string>{});
    // Every line is whole, every output reported is on disk and complete,
    // and every output on disk was reported.
    ASSERT_FALSE(result.out.empty());
    EXPECT_EQ(result.out.back(), '\n');
    int reported = 0;
    std::size_t begin = 0;
    while (begin < result.out.size()) {
      const std::size_t end = result.out.find('\n', begin);
      const std::string line = result.out.substr(begin, end - begin);
      begin = end + 1;
      if (line.rfind("  ", 0) != 0) continue;
      ++reported;
      const fs::path output = line.substr(2);
      const int index = std::stoi(output.filename().string().substr(1, 5)) - 10000;
      EXPECT_EQ(ReadAll(output), Bitmap(2000 + static_cast<std::uint32_t>(index % 7),
                                        static_cast<char>('a' + index % 26)))
          << output;
    }
    int onDisk = 0;
    for (const auto& entry : fs::directory_iterator(Root() / "Data")) {
      if (entry.path().extension() == ".bmp") ++onDisk;
    }
    EXPECT_GE(reported, 41);
    EXPECT_LT(reported, kFiles);
    EXPECT_EQ(onDisk, reported);
  }
}

TEST_F(SafeOutputTest, AClosedStandardOutputNeverLandsInAnImage) {
  if (!IsPosix()) GTEST_SKIP() << "closes POSIX descriptors";
  // Enough images that the log is written out while the run is busy with
  // its files, not only at its end.
  std::string source;
  std::vector<std::string> images;
  for (int i = 0; i < 1500; ++i) {
    images.push_back(Bitmap(60 + static_cast<std::uint32_t>(i % 50), static_cast<char>('a' + i % 26)));
    source += Filler(1) + images.back();
  }
  WriteOld(Root() / "a.bin", source);
  RunOptions closed;
  closed.closeStdin = true;
  closed.closeStdout = true;
  const auto result = RunWith({"-extract=BMP", "a.bin"}, closed);
  EXPECT_EQ(result.exitCode, 0);
  for (std::size_t i = 0; i < images.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "a_%03zu.bmp", i);
    ASSERT_EQ(ReadAll(Root() / name), images[i]) << name;
  }
  EXPECT_EQ(ReadAll(Root() / "a.bin"), source);
}

TEST_F(SafeOutputTest, DirectoriesReachedByManyLinksAreWalkedOnce) {
  if (!IsPosix()) GTEST_SKIP() << "links are a POSIX matter here";
  // Level i links twice to level i + 1: walked naively, the last level is
  // reached 2^24 times.
  constexpr int kLevels = 25;
  for (int i = 0; i < kLevels; ++i) {
    const fs::path level = Root() / "Maze" / ("L" + std::to_string(i));
    WriteOld(level / "x.bin", Bitmap(60 + static_cast<std::uint32_t>(i), 'm'));
    if (i + 1 < kLevels) {
      fs::create_directory_symlink("../L" + std::to_string(i + 1), level / "a");
      fs::create_directory_symlink("../L" + std::to_string(i + 1), level / "b");
    }
  }
  RunOptions bounded;
  bounded.timeoutSeconds = 60;
  const auto result =
      RunWith({"-extract=BMP", "-subdirs", "-verbosity=2", "Maze" + Sep() + "L0"}, bounded);
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 0);
  std::string expected;
  for (int i = 0; i < kLevels; ++i) expected += "x.bin\n";
  EXPECT_EQ(result.out, expected);
  // A link back up the walk's own path is still passed over.
  RemoveImages(Root() / "Maze");
  fs::create_directory_symlink("..", Root() / "Maze" / "L3" / "up");
  const auto cycle = RunWith({"-extract=BMP", "-subdirs", "-verbosity=2", "Maze"}, bounded);
  ASSERT_FALSE(cycle.timedOut);
  EXPECT_EQ(cycle.out, expected);
}

TEST_F(SafeOutputTest, OutputsTakeTheirSourcesReadAndWriteBits) {
  if (!IsPosix()) GTEST_SKIP() << "POSIX permission bits";
  using P = fs::perms;
  const std::vector<std::pair<std::string, P>> sources = {
      {"private.bin", P::owner_read | P::owner_write},
      {"shared.bin", P::owner_read | P::owner_write | P::group_read | P::others_read},
      {"program.bin", P::owner_all | P::group_read | P::group_exec | P::others_read |
                          P::others_exec},
      {"open.bin", P::owner_read | P::owner_write | P::group_read | P::group_write |
                       P::others_read | P::others_write}};
  for (const auto& [name, mode] : sources) {
    WriteOld(Root() / name, Bitmap(70, 'p'));
    fs::permissions(Root() / name, mode);
  }
  const auto outputMode = [&](const std::string& name) {
    return fs::status(Root() / (name.substr(0, name.size() - 4) + "_000.bmp")).permissions();
  };
  RunOptions usual;
  usual.umask = 022;
  ASSERT_EQ(RunWith({"-extract=BMP", "*.bin"}, usual).exitCode, 0);
  EXPECT_EQ(outputMode("private.bin"), P::owner_read | P::owner_write);
  EXPECT_EQ(outputMode("shared.bin"), P::owner_read | P::owner_write | P::group_read | P::others_read);
  EXPECT_EQ(outputMode("program.bin"), P::owner_read | P::owner_write | P::group_read | P::others_read);
  EXPECT_EQ(outputMode("open.bin"), P::owner_read | P::owner_write | P::group_read | P::others_read);
  RunOptions strict;
  strict.umask = 077;
  ASSERT_EQ(RunWith({"-extract=BMP", "*.bin"}, strict).exitCode, 0);
  for (const auto& source : sources) {
    EXPECT_EQ(outputMode(source.first), P::owner_read | P::owner_write) << source.first;
  }
}

TEST_F(SafeOutputTest, ArgumentsThatNameADirectoryByTheirFormAreWalked) {
  WriteOld(Root() / "Data/a.bin", Bitmap(60, 'a'));
  WriteOld(Root() / "Data/Sub/b.bin", Bitmap(61, 'b'));
  const std::string data = At("Data");
  const std::string walked =
      data + Sep() + "a.bin\n  " + data + Sep() + "a_000.bmp\n";
  const auto run = [&](const std::vector<std::string>& args, const fs::path& cwd) {
    const auto result = Run(args, cwd);
    RemoveImages(Root() / "Data");
    return result;
  };
  const auto current = run({"-extract=BMP", "."}, Root() / "Data");
  EXPECT_EQ(current.exitCode, 0);
  EXPECT_EQ(current.out, walked);
  EXPECT_EQ(run({"-extract=BMP", ".."}, Root() / "Data" / "Sub").out, walked);
  // As shells complete a directory's name: with a separator at its end.
  EXPECT_EQ(run({"-extract=BMP", "-subdirs", "Data" + Sep()}, {}).out,
            walked + data + Sep() + "Sub" + Sep() + "b.bin\n  " + data + Sep() + "Sub" + Sep() +
                "b_000.bmp\n");
  EXPECT_EQ(run({"-extract=BMP", "Data" + Sep() + "."}, {}).out, walked);
  // A file is no directory, whatever its form.
  const auto file = Run({"-extract=BMP", "Data" + Sep() + "a.bin" + Sep()});
  EXPECT_EQ(file.exitCode, 0);
  EXPECT_EQ(file.out, "");
  EXPECT_EQ(Temporaries(), std::vector<std::string>{});
}

}  // namespace
}  // namespace qx::cli
