// Scanning on many threads: whatever the count, a run gives the files, the
// bytes, the names and the standard output of a single-threaded run, also
// where outputs of two sources collide, a file is named twice, or old
// outputs of an earlier run lie in the tree.
#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "CliFixture.h"
#include "platform/testing.h"

namespace qx::cli {
namespace {

std::string DataFile(const char* name) {
  std::ifstream in(fs::path(QX_TEST_DATA_DIR) / name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ThreadsTest : public CliTest {
 protected:
  // The same tree, built afresh under `top` for every run.
  void BuildTree(const fs::path& top) {
    const std::string jpeg = DataFile("baseline_420.jpg");
    const std::string png = DataFile("png_palette.png");
    const std::string exif = DataFile("baseline_exif.jpg");
    // Two sources in one directory with the same name part: the later one's
    // outputs must win.
    WriteOld(top / "Tree/a.bin", Filler(3) + Bitmap(70, 'a') + jpeg + png);
    WriteOld(top / "Tree/a.dat", Bitmap(71, 'A') + png + Filler(9) + png);
    // An old output of an earlier run, itself holding an image: the run
    // rewrites it before the walk reaches it, so it is never a source.
    WriteOld(top / "Tree/b.bin", Bitmap(72, 'b') + Bitmap(73, 'c'));
    WriteOld(top / "Tree/b_001.bmp", Bitmap(74, 'o') + exif);
    // Many small files and a few large ones, so that files wait for each
    // other in every way.
    for (int i = 0; i < 40; ++i) {
      const std::string name = "Tree/Sub" + std::to_string(i % 3) + "/f" + std::to_string(i) + ".bin";
      std::string bytes = Filler(static_cast<std::size_t>(i) * 37);
      for (int k = 0; k <= i % 4; ++k) bytes += Bitmap(60 + static_cast<std::uint32_t>(i + k), 'f');
      if (i % 5 == 0) bytes += jpeg;
      if (i % 7 == 0) bytes += png;
      WriteOld(top / name, bytes);
    }
    std::string large = Filler(12 << 20);
    large.replace(5 << 20, jpeg.size(), jpeg);
    large.replace(11 << 20, png.size(), png);
    WriteOld(top / "Tree/Sub1/large.bin", large);
    WriteOld(top / "Tree/Sub2/large.bin", large + Bitmap(99, 'L'));
    WriteOld(top / "loose.bin", Bitmap(80, 'l') + exif);
  }

  struct Outcome {
    plat::testing::ChildResult result;
    FileMap files;
  };

  Outcome RunIn(const std::string& name, const std::vector<std::string>& options) {
    const fs::path top = Root() / name;
    BuildTree(top);
    // A relative pattern, the directory walk (which changes the current
    // directory), the same file twice, and a file after the walk.
    std::vector<std::string> args = {"-extract=ALL", "-subdirs"};
    args.insert(args.end(), options.begin(), options.end());
    for (const std::string& arg : {"Tree" + Sep() + "a.*", std::string("Tree"), std::string("loose.bin"),
                                   "Tree" + Sep() + "a.bin", std::string("loose.bin")}) {
      args.push_back(arg);
    }
    Outcome outcome{Run(args, top), {}};
    for (auto it = fs::recursive_directory_iterator(top); it != fs::recursive_directory_iterator();
         ++it) {
      if (!it->is_regular_file()) continue;
      const std::u8string relative = fs::relative(it->path(), top).generic_u8string();
      outcome.files[std::string(relative.begin(), relative.end())] = ReadAll(it->path());
    }
    fs::remove_all(top);
    // Paths printed hold the run's own directory; set it aside.
    std::string& out = outcome.result.out;
    const std::string prefix = At(name);
    for (std::size_t at = out.find(prefix); at != std::string::npos; at = out.find(prefix, at)) {
      out.replace(at, prefix.size(), "<top>");
    }
    return outcome;
  }
};

TEST_F(ThreadsTest, EveryThreadCountGivesTheSingleThreadedRun) {
  const Outcome single = RunIn("one", {"-threads=1"});
  ASSERT_EQ(single.result.exitCode, 0);
  // The run did what the tree asks of it, so that the comparisons below
  // compare something.
  EXPECT_NE(single.result.out.find("<top>" + Sep() + "Tree" + Sep() + "a_000.png"),
            std::string::npos);
  EXPECT_EQ(single.files.count("Tree/b_001_000.bmp"), 0u);
  EXPECT_EQ(single.files.at("Tree/b_001.bmp"), Bitmap(73, 'c'));
  // a.bin is named again last, after the walk gave a.dat's outputs the name.
  EXPECT_EQ(single.files.at("Tree/a_000.bmp"), Bitmap(70, 'a'));
  EXPECT_EQ(single.files.count("Tree/a_001.png"), 1u);
  EXPECT_EQ(single.files.count("Tree/Sub2/large_000.bmp"), 1u);

  int run = 0;
  for (const char* threads : {"-threads=2", "-threads=3", "-THREADS=8", "-threads=256",
                                     "-threads=0", "-threads=257", "-threads=x", "-threads="}) {
    SCOPED_TRACE(threads);
    const Outcome many = RunIn("run" + std::to_string(run++), {threads});
    EXPECT_EQ(many.result.exitCode, 0);
    EXPECT_EQ(many.result.out, single.result.out);
    EXPECT_EQ(many.result.err, single.result.err);
    EXPECT_EQ(many.files, single.files);
  }
}

TEST_F(ThreadsTest, AnInterruptedRunOnManyThreadsKeepsItsLogAndLeavesNoTemporary) {
  if (plat::kHasDrives) GTEST_SKIP() << "sends POSIX signals";
  for (int i = 0; i < 3000; ++i) {
    WriteOld(Root() / "Data" / ("f" + std::to_string(10000 + i) + ".bin"),
             Filler(static_cast<std::size_t>(i % 50) * 1000) + Bitmap(3000, static_cast<char>('a' + i % 26)));
  }
  plat::testing::RunOptions options;
  options.signal = plat::testing::kSignalTerminate;
  options.signalWhen = (Root() / "Data" / "f10050_000.bmp").string();
  options.timeoutSeconds = 120;
  const auto result = RunWith({"-extract=BMP", "-threads=4", "Data"}, options);
  ASSERT_EQ(result.signal, plat::testing::kSignalTerminate) << "the run ended before the signal";
  ASSERT_FALSE(result.out.empty());
  EXPECT_EQ(result.out.back(), '\n');
  // The log names, in order, each file and each output up to where the run
  // stopped; every output it names is whole, every output on disk is named.
  std::size_t files = 0;
  std::size_t outputs = 0;
  for (std::size_t begin = 0; begin < result.out.size();) {
    const std::size_t end = result.out.find('\n', begin);
    const std::string line = result.out.substr(begin, end - begin);
    begin = end + 1;
    if (line.rfind("  ", 0) == 0) {
      ++outputs;
      EXPECT_EQ(ReadAll(line.substr(2)).size(), 3000u) << line;
    } else {
      EXPECT_EQ(line, At("Data/f" + std::to_string(10000 + files) + ".bin"));
      ++files;
    }
  }
  std::size_t onDisk = 0;
  for (const auto& entry : fs::directory_iterator(Root() / "Data")) {
    const std::string name = entry.path().filename().string();
    EXPECT_NE(name.rfind(".qx", 0), 0u) << "temporary left: " << name;
    if (entry.path().extension() == ".bmp") ++onDisk;
  }
  EXPECT_GE(outputs, 51u);
  EXPECT_EQ(onDisk, outputs);
  EXPECT_GE(files, outputs);
  EXPECT_LE(files, outputs + 1);
}

}  // namespace
}  // namespace qx::cli
