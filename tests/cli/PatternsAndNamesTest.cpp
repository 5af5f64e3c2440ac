// FILE arguments: wildcard patterns, the time filter, and how output names
// follow from source names.
#include <chrono>
#include <string>
#include <vector>

#include "CliFixture.h"
#include "platform/platform.h"

namespace qx::cli {
namespace {

class PatternTest : public CliTest {
 protected:
  // Each file holds its own bitmap, so every output is traceable to its source.
  void Add(const std::string& relative, char fill) {
    const std::string bitmap = Bitmap(52 + static_cast<std::uint32_t>(fill % 16), fill);
    bitmaps_[relative] = bitmap;
    WriteOld(Root() / relative, Filler(2) + bitmap);
  }
  const std::string& BitmapOf(const std::string& relative) { return bitmaps_[relative]; }

  // Runs with -verbosity=2 and returns the file names printed.
  std::string Names(const std::vector<std::string>& patterns, const fs::path& cwd = {}) {
    std::vector<std::string> args{"-extract=BMP", "-verbosity=2"};
    args.insert(args.end(), patterns.begin(), patterns.end());
    const auto result = Run(args, cwd);
    EXPECT_EQ(result.exitCode, 0);
    // Outputs would be listed by the next pattern run; they are removed.
    for (const auto& [name, content] : Written(before_, Snapshot())) fs::remove(Root() / name);
    return result.out;
  }

  void SetUp() override {
    CliTest::SetUp();
    Add("a.bin", 'a');
    Add("B.BIN", 'b');
    Add("ab.bin", 'c');
    Add("c.dat", 'd');
    Add("noext", 'e');
    Add("Sub/x.bin", 'f');
    Add("Sub/Deeper/y.bin", 'g');
    before_ = Snapshot();
  }

  std::map<std::string, std::string> bitmaps_;
  FileMap before_;
};

TEST_F(PatternTest, WildcardsMatchIgnoringCaseInListingOrder) {
  // "." and ".." are listed by "*" and skipped; Sub is walked one level deep.
  EXPECT_EQ(Names({"*"}), "a.bin\nab.bin\nB.BIN\nc.dat\nnoext\nx.bin\n");
  EXPECT_EQ(Names({"*.bin"}), "a.bin\nab.bin\nB.BIN\n");
  EXPECT_EQ(Names({"*.BIN"}), "a.bin\nab.bin\nB.BIN\n");
  EXPECT_EQ(Names({"?.bin"}), "a.bin\nB.BIN\n");
  EXPECT_EQ(Names({"*.*"}), "a.bin\nab.bin\nB.BIN\nc.dat\nnoext\nx.bin\n");
  EXPECT_EQ(Names({"n*t"}), "noext\n");
  EXPECT_EQ(Names({"nothing*", "missing.bin", "No/Such/Dir/*"}), "");
  // Deeper is listed before x.bin and finished before it.
  EXPECT_EQ(Names({"-subdirs", "S*"}), "y.bin\nx.bin\n");
  EXPECT_EQ(Names({"*.dat", "a*"}), "c.dat\na.bin\nab.bin\n");
}

TEST_F(PatternTest, APatternsDirectoryPartIsKeptAsTyped) {
  const auto result = Run({"-extract=BMP", "Sub/*.bin", "Sub/../a.bin"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out,
            "Sub/x.bin\n  Sub/x_000.bmp\nSub/../a.bin\n  Sub/../a_000.bmp\n");
  EXPECT_EQ(Written(before_, Snapshot()),
            (FileMap{{"Sub/x_000.bmp", BitmapOf("Sub/x.bin")}, {"a_000.bmp", BitmapOf("a.bin")}}));
}

TEST_F(PatternTest, APatternWithoutDirectoryIsResolvedInTheCurrentDirectory) {
  const auto result = Run({"-extract=BMP", "x.bin"}, Root() / "Sub");
  EXPECT_EQ(result.out, At("Sub/x.bin") + "\n  " + At("Sub/x_000.bmp") + "\n");
  EXPECT_EQ(Written(before_, Snapshot()), (FileMap{{"Sub/x_000.bmp", BitmapOf("Sub/x.bin")}}));
}

TEST_F(PatternTest, OutputsWrittenDuringTheRunAreNeverScanned) {
  // Each output is itself a bitmap: scanned, a_000.bmp would give
  // a_000_000.bmp. The second pattern lists it, the walk of the third meets
  // all of them.
  const auto result = Run({"-extract=BMP", "-verbosity=2", "a.bin", "a*", Root().string()});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, "a.bin\na.bin\nab.bin\na.bin\nab.bin\nB.BIN\nc.dat\nnoext\n");
  EXPECT_EQ(Written(before_, Snapshot()),
            (FileMap{{"a_000.bmp", BitmapOf("a.bin")},
                     {"ab_000.bmp", BitmapOf("ab.bin")},
                     {"B_000.bmp", BitmapOf("B.BIN")},
                     {"c_000.bmp", BitmapOf("c.dat")},
                     {"noext_000.bmp", BitmapOf("noext")}}));
}

TEST_F(PatternTest, FilesWrittenAfterTheStartAreSkipped) {
  fs::last_write_time(Root() / "a.bin",
                      fs::file_time_type::clock::now() + std::chrono::hours(1));
  EXPECT_EQ(Names({"?.bin"}), "B.BIN\n");
}

TEST_F(PatternTest, AFileNamedTwiceIsProcessedTwiceUnderTheSameOutputNames) {
  const auto result = Run({"-extract=BMP", "a.bin", "?.bin"});
  const std::string once = At("a.bin") + "\n  " + At("a_000.bmp") + "\n";
  EXPECT_EQ(result.out, once + once + At("B.BIN") + "\n  " + At("B_000.bmp") + "\n");
  EXPECT_EQ(Written(before_, Snapshot()),
            (FileMap{{"a_000.bmp", BitmapOf("a.bin")}, {"B_000.bmp", BitmapOf("B.BIN")}}));
}

TEST_F(PatternTest, AnEmptyFileIsAnnouncedAndYieldsNothing) {
  WriteOld(Root() / "empty.bin", "");
  WriteOld(Root() / "short.bin", Bitmap(51, 'z').substr(0, 50));
  const FileMap before = Snapshot();
  const auto result = Run({"-extract=ALL", "empty.bin", "short.bin"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, At("empty.bin") + "\n" + At("short.bin") + "\n");
  EXPECT_EQ(Written(before, Snapshot()), FileMap{});
}

// Output names: drive, directory and name part of the source, the source's
// last extension dropped.
class NamingTest : public CliTest {
 protected:
  void Expect(const std::string& source, const std::string& output) {
    SCOPED_TRACE(source);
    const std::string bitmap = Bitmap(90, 'n');
    WriteOld(Root() / Utf8Path(source), Filler(1) + bitmap);
    const FileMap before = Snapshot();
    const auto result = Run({"-extract=BMP", source});
    EXPECT_EQ(result.exitCode, 0);
    const bool typedDirectory = source.find('/') != std::string::npos;
    const std::string prefix = typedDirectory ? "" : Root().string() + Sep();
    EXPECT_EQ(result.out, prefix + source + "\n  " + prefix + output + "\n");
    EXPECT_EQ(Written(before, Snapshot()), (FileMap{{output, bitmap}}));
  }
};

TEST_F(NamingTest, OnlyTheLastExtensionIsDropped) {
  Expect("archive.tar.gz", "archive.tar_000.bmp");
  Expect("blob", "blob_000.bmp");
  // Windows drops the trailing dots of a name: there the file is "trailing".
  if (!plat::kHasDrives) Expect("trailing.", "trailing_000.bmp");
  Expect("my.dir/blob", "my.dir/blob_000.bmp");
  Expect("my.dir/blob.x.y", "my.dir/blob.x_000.bmp");
}

TEST_F(NamingTest, ALeadingDotLeavesAnEmptyNamePart) {
  Expect(".hidden", "_000.bmp");
  Expect("dir/..x", "dir/._000.bmp");
}

// Numbers have at least three digits and grow past them: the 1001st bitmap
// of one source is _1000.
TEST_F(NamingTest, TheThousandAndFirstResourceHasFourDigits) {
  std::string bytes;
  for (int i = 0; i < 1001; ++i) bytes += Bitmap(51, static_cast<char>('a' + i % 26));
  WriteOld(Root() / "many.bin", bytes);
  const auto result = Run({"-extract=BMP", "many.bin"});
  EXPECT_EQ(result.exitCode, 0);
  const std::string tail = "  " + At("many_999.bmp") + "\n  " + At("many_1000.bmp") + "\n";
  ASSERT_GE(result.out.size(), tail.size());
  EXPECT_EQ(result.out.substr(result.out.size() - tail.size()), tail);
  EXPECT_EQ(ReadAll(Root() / "many_007.bmp"), Bitmap(51, 'h'));
  EXPECT_EQ(ReadAll(Root() / "many_1000.bmp"), Bitmap(51, 'm'));
  EXPECT_FALSE(fs::exists(Root() / "many_1001.bmp"));
}

TEST_F(NamingTest, SpacesAndNonAsciiNamesKeepTheirExactBytes) {
  Expect("with  two spaces .bin", "with  two spaces _000.bmp");
  Expect("Gr\xC3\xBC\xC3\x9F" "e \xE6\x97\xA5\xE6\x9C\xAC.bin", "Gr\xC3\xBC\xC3\x9F" "e \xE6\x97\xA5\xE6\x9C\xAC_000.bmp");
  Expect("\xF0\x9F\x93\xB7 photo.bin", "\xF0\x9F\x93\xB7 photo_000.bmp");
}

TEST_F(NamingTest, NamesThatAreNotValidUtf8AreFoundAndWrittenUnderTheirBytes) {
  if (plat::kHasDrives) GTEST_SKIP() << "names are not byte strings on this platform";
  Expect("bad\xFF\xFE.bin", "bad\xFF\xFE_000.bmp");
  Expect("half\xC3.bin", "half\xC3_000.bmp");
  Expect("sur\xED\xA0\x80.\x80", "sur\xED\xA0\x80_000.bmp");
}

TEST_F(NamingTest, ABackslashIsAnOrdinaryCharacterWhereItDoesNotSeparate) {
  if (plat::IsSeparator(L'\\')) GTEST_SKIP() << "'\\' separates paths on this platform";
  Expect("back\\slash.bin", "back\\slash_000.bmp");
  Expect("C:name.bin", "C:name_000.bmp");
}

TEST_F(NamingTest, InvalidUtf8MatchesWildcards) {
  if (plat::kHasDrives) GTEST_SKIP() << "names are not byte strings on this platform";
  const std::string bitmap = Bitmap(90, 'w');
  WriteOld(Root() / "w\xFF.bin", bitmap);
  const FileMap before = Snapshot();
  const auto result = Run({"-extract=BMP", "w?.bin"});
  EXPECT_EQ(result.out, At("w\xFF.bin") + "\n  " + At("w\xFF_000.bmp") + "\n");
  EXPECT_EQ(Written(before, Snapshot()), (FileMap{{"w\xFF_000.bmp", bitmap}}));
}

}  // namespace
}  // namespace qx::cli
