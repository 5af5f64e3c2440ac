// The option pass and the usage text, seen from the command line.
#include <string>
#include <vector>

#include "CliFixture.h"

namespace qx::cli {
namespace {

class UsageTest : public CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    WriteOld(Root() / "a.bin", Filler(7) + Bitmap(60, 'q') + Filler(3));
  }
};

TEST_F(UsageTest, NoArgumentPrintsTheUsageWithTheProgramsNamePart) {
  const auto result = Run({});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, UsageText("quarrix"));
  EXPECT_EQ(result.out.substr(0, 8), "\nUsage: ");
  EXPECT_EQ(result.err, "");
}

TEST_F(UsageTest, TheNamePartDropsDirectoryAndLastExtension) {
  const fs::path alias = Root() / "bin.d" / "Tool.v2.exe";
  fs::create_directories(alias.parent_path());
  std::error_code noLink;
  fs::create_symlink(QX_TOOL_PATH, alias, noLink);
  // Where links need privileges, a copy carries the name as well.
  if (noLink) fs::copy_file(QX_TOOL_PATH, alias);
  const auto result = plat::testing::RunProgram({alias.string()}, Root().string());
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, UsageText("Tool.v2"));
}

TEST_F(UsageTest, NoResourceKindSelectedPrintsTheUsageAndOpensNothing) {
  const std::vector<std::vector<std::string>> cases = {
      {"-subdirs", "-verbosity=2", "a.bin"},
      {"-extract=tif", "a.bin"},
      {"-extract=JPEG", "a.bin"},  // judged by "JPE"
      {"-extract=bm", "a.bin"},    // fewer than three characters
      {"-extract=", "a.bin"},
      {"-extract", "BMP", "a.bin"},  // no '=': a file pattern, not an option
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0]);
    const FileMap before = Snapshot();
    const auto result = Run(args);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, UsageText("quarrix"));
    EXPECT_EQ(Written(before, Snapshot()), FileMap{});
  }
}

TEST_F(UsageTest, TheKindsAddedLaterRunAloneWhereTheyOncePrintedTheUsage) {
  WriteOld(Root() / "a.bin", Filler(100));
  for (const char* kind : {"-extract=GIF", "-extract=ico", "-extract=Gifs"}) {
    SCOPED_TRACE(kind);
    const auto result = Run({kind, "a.bin"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, At("a.bin") + "\n");
  }
}

TEST_F(UsageTest, AKindWithoutAnyFileDoesNothingQuietly) {
  for (const char* kind : {"-extract=ALL", "-extract=bmp"}) {
    const auto result = Run({kind, "-subdirs"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "") << kind;
  }
}

// A file that holds one bitmap, and the two lines a verbose run prints for it.
class OptionTest : public CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    bitmap_ = Bitmap(64, 'r');
    WriteOld(Root() / "a.bin", Filler(5) + bitmap_ + Filler(60));
  }
  std::string Announced() const { return At("a.bin") + "\n"; }
  std::string Extracted() const { return "  " + At("a_000.bmp") + "\n"; }

  // Runs and checks the exit status and which outputs appeared.
  std::string RunExpecting(const std::vector<std::string>& args, bool bitmapWritten) {
    const FileMap before = Snapshot();
    const auto result = Run(args);
    EXPECT_EQ(result.exitCode, 0);
    const FileMap expected =
        bitmapWritten ? FileMap{{"a_000.bmp", bitmap_}} : FileMap{};
    EXPECT_EQ(Written(before, Snapshot()), expected);
    fs::remove(Root() / "a_000.bmp");
    return result.out;
  }

  std::string bitmap_;
};

TEST_F(OptionTest, ExtractValuesAreJudgedByTheirFirstThreeCharactersIgnoringCase) {
  EXPECT_EQ(RunExpecting({"-extract=BMP", "a.bin"}, true), Announced() + Extracted());
  EXPECT_EQ(RunExpecting({"-EXTRACT=bMp", "a.bin"}, true), Announced() + Extracted());
  EXPECT_EQ(RunExpecting({"-extract=bmp,jpg", "a.bin"}, true), Announced() + Extracted());
  EXPECT_EQ(RunExpecting({"-extract=all", "a.bin"}, true), Announced() + Extracted());
  // Other kinds selected: the file is read, but no bitmap scan runs.
  EXPECT_EQ(RunExpecting({"-EXTRACT=Jpg", "a.bin"}, false), Announced());
  EXPECT_EQ(RunExpecting({"-extract=PNGS", "a.bin"}, false), Announced());
  EXPECT_EQ(RunExpecting({"-extract=gif", "-extract=png", "a.bin"}, false), Announced());
  // Selections add up.
  EXPECT_EQ(RunExpecting({"-extract=png", "-extract=bmp", "a.bin"}, true),
            Announced() + Extracted());
}

TEST_F(OptionTest, VerbosityIsDecidedByTheTwelfthCharacterAlone) {
  const std::string verbose = Announced() + Extracted();
  EXPECT_EQ(RunExpecting({"-extract=bmp", "-verbosity=0", "a.bin"}, true), verbose);
  EXPECT_EQ(RunExpecting({"-extract=bmp", "-verbosity=x", "a.bin"}, true), verbose);
  EXPECT_EQ(RunExpecting({"-extract=bmp", "-verbosity=", "a.bin"}, true), verbose);
  EXPECT_EQ(RunExpecting({"-extract=bmp", "-verbosity=21", "a.bin"}, true), "a.bin\n");
  EXPECT_EQ(RunExpecting({"-extract=bmp", "-VERBOSITY=2", "a.bin"}, true), "a.bin\n");
  // An invalid value keeps what an earlier option set; a later valid one wins.
  EXPECT_EQ(RunExpecting({"-extract=bmp", "-verbosity=1", "-verbosity=7", "a.bin"}, true), "");
  EXPECT_EQ(RunExpecting({"-verbosity=1", "-extract=bmp", "-verbosity=3", "a.bin"}, true),
            verbose);
}

TEST_F(OptionTest, OptionsMayFollowTheFiles) {
  EXPECT_EQ(RunExpecting({"a.bin", "-verbosity=2", "-extract=BMP"}, true), "a.bin\n");
  EXPECT_EQ(RunExpecting({"a.bin", "-extract=BMP", "-SubDirs"}, true), Announced() + Extracted());
}

TEST_F(OptionTest, ArgumentsThatOnlyResembleOptionsAreFilePatterns) {
  const std::string bitmap = Bitmap(70, 's');
  WriteOld(Root() / "-foo", bitmap);
  WriteOld(Root() / "-subdir", bitmap);
  WriteOld(Root() / "-verbosity", bitmap);
  const FileMap before = Snapshot();
  const auto result = Run({"-extract=BMP", "-foo", "-subdir", "-verbosity"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, At("-foo") + "\n  " + At("-foo_000.bmp") + "\n" + At("-subdir") + "\n  " +
                            At("-subdir_000.bmp") + "\n" + At("-verbosity") + "\n  " +
                            At("-verbosity_000.bmp") + "\n");
  EXPECT_EQ(Written(before, Snapshot()),
            (FileMap{{"-foo_000.bmp", bitmap}, {"-subdir_000.bmp", bitmap},
                     {"-verbosity_000.bmp", bitmap}}));
}

// A recognised option is blanked whatever its value, so it never comes back
// as a file pattern, even when a file of that very name exists.
TEST_F(OptionTest, OptionsWithValuesThatSelectNothingAreStillNoFiles) {
  const std::string bitmap = Bitmap(70, 's');
  for (const char* name : {"-verbosity=x", "-extract=gif", "-verbosity=", "-extract="}) {
    WriteOld(Root() / name, bitmap);
  }
  const FileMap before = Snapshot();
  const auto result =
      Run({"-extract=BMP", "-verbosity=x", "-extract=gif", "-verbosity=", "-extract=", "a.bin"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, Announced() + Extracted());
  EXPECT_EQ(Written(before, Snapshot()), (FileMap{{"a_000.bmp", bitmap_}}));
}

// A reader that stops early (a pager, head) must not end the run: the rest of
// the output is dropped, the files are still all processed, and the status
// stays 0.
TEST_F(OptionTest, AReaderThatStopsEarlyDoesNotEndTheRun) {
  if (plat::kHasDrives || !fs::exists("/bin/bash")) GTEST_SKIP() << "needs a POSIX shell pipe";
  for (int i = 0; i < 400; ++i) WriteOld(Root() / ("many" + std::to_string(1000 + i) + ".bin"), Bitmap(60, 'm'));
  const std::string tool = QX_TOOL_PATH;
  const auto result = plat::testing::RunProgram(
      {"/bin/bash", "-c",
       "'" + tool + "' -extract=BMP 'many*.bin' | head -c 10 >/dev/null; exit ${PIPESTATUS[0]}"},
      Utf8(Root()));
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_TRUE(fs::exists(Root() / "many1399_000.bmp"));
}

TEST_F(OptionTest, EachVerbosityPrintsExactlyItsLines) {
  const std::string first = Bitmap(51, 'a');
  const std::string second = Bitmap(80, 'b');
  WriteOld(Root() / "File 1.exe", Filler(9) + first + second + Filler(51));
  const FileMap expected{{"File 1_000.bmp", first}, {"File 1_001.bmp", second}};

  for (int verbosity = 1; verbosity <= 3; ++verbosity) {
    SCOPED_TRACE(verbosity);
    const FileMap before = Snapshot();
    const auto result =
        Run({"-extract=BMP", "-verbosity=" + std::to_string(verbosity), "File 1.exe"});
    EXPECT_EQ(result.exitCode, 0);
    const std::string lines[] = {
        "",
        "File 1.exe\n",
        At("File 1.exe") + "\n  " + At("File 1_000.bmp") + "\n  " + At("File 1_001.bmp") + "\n",
    };
    EXPECT_EQ(result.out, lines[verbosity - 1]);
    EXPECT_EQ(result.err, "");
    // Every run writes the outputs anew, whatever it prints.
    EXPECT_EQ(Written(before, Snapshot()), expected);
    for (const auto& [name, content] : expected) fs::remove(Root() / name);
  }
}

}  // namespace
}  // namespace qx::cli
