// -files-from and -files0-from: names taken exactly as written, after the
// arguments and in the options' order, from files and from standard input;
// each name processed while the list is still being written, and the run's
// memory the same for a thousand names and a hundred thousand.
#include <chrono>
#include <string>
#include <vector>

#include "CliFixture.h"
#include "platform/platform.h"

namespace qx::cli {
namespace {

// The bytes of a literal, NULs inside included.
template <std::size_t N>
std::string Bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

class NameListTest : public CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    for (const char* file : {"a.bin", "ab.bin", "-x.bin", "-extract=ALL", "with space.bin",
                             "Dir/in.bin", "Dir/Sub/deep.bin"}) {
      Add(file);
    }
  }

  // Each source holds a bitmap of its own, so every output names its source.
  void Add(const std::string& relative) {
    const std::string bitmap = Bitmap(60 + static_cast<std::uint32_t>(bitmaps_.size()),
                                      static_cast<char>('a' + bitmaps_.size() % 26));
    bitmaps_[relative] = bitmap;
    WriteOld(Root() / Utf8Path(relative), Filler(3) + bitmap);
  }
  void WriteList(const std::string& relative, const std::string& bytes) {
    WriteOld(Root() / Utf8Path(relative), bytes);
  }

  // The output of a source: its last extension dropped.
  static std::string OutputOf(const std::string& source) {
    const std::size_t slash = source.rfind('/');
    const std::size_t dot = source.rfind('.');
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (hasExtension ? source.substr(0, dot) : source) + "_000.bmp";
  }
  // What a verbose run prints for the source a list names as `source`
  // (relative to the root; without a directory part it is printed with the
  // current directory's path, as an argument is), and the output it writes.
  std::string Lines(const std::string& source) {
    const std::string output = OutputOf(source);
    expected_[output] = bitmaps_.at(source);
    if (source.find('/') != std::string::npos) return source + "\n  " + output + "\n";
    return At(source) + "\n  " + At(output) + "\n";
  }
  // Runs, then removes what the run wrote, so that the next run does not
  // take the outputs for sources; returns what it printed and wrote.
  std::string RunAndClear(const std::vector<std::string>& args, FileMap* written) {
    const FileMap before = Snapshot();
    const auto result = Run(args);
    EXPECT_EQ(result.exitCode, 0);
    *written = Written(before, Snapshot());
    for (const auto& [name, content] : *written) fs::remove(Root() / Utf8Path(name));
    return result.out;
  }
  FileMap TakeExpected() {
    FileMap expected;
    expected.swap(expected_);
    return expected;
  }

  std::map<std::string, std::string> bitmaps_;
  FileMap expected_;
};

TEST_F(NameListTest, NamesThatLookLikeOptionsOrPatternsAreTakenAsWritten) {
  if (!plat::kHasDrives) Add("a*.bin");  // no Windows name holds a '*'
  WriteList("list", "-x.bin\n-extract=ALL\nwith space.bin\na*.bin\na?.bin\n-subdirs\n");
  const FileMap before = Snapshot();
  // The list names the only kind; "-extract=ALL" there is a file, and
  // "-subdirs" names nothing: Dir's own subdirectory stays unwalked.
  const auto result = Run({"-extract=BMP", "-files-from=list", "Dir"});
  EXPECT_EQ(result.exitCode, 0);
  const std::string star = plat::kHasDrives ? "" : Lines("a*.bin");
  EXPECT_EQ(result.out, At("Dir/in.bin") + "\n  " + At("Dir/in_000.bmp") + "\n" +
                            Lines("-x.bin") + Lines("-extract=ALL") + Lines("with space.bin") +
                            star);
  expected_["Dir/in_000.bmp"] = bitmaps_.at("Dir/in.bin");
  EXPECT_EQ(Written(before, Snapshot()), TakeExpected());
  EXPECT_EQ(result.err, "");
}

TEST_F(NameListTest, LinesMayEndInCrLfAndEmptyLinesAreSkipped) {
  WriteList("list", "\r\na.bin\r\n\r\n\n\nDir/in.bin\r\nab.bin");
  const FileMap before = Snapshot();
  const auto result = Run({"-extract=BMP", "-files-from=list"});
  EXPECT_EQ(result.out, Lines("a.bin") + Lines("Dir/in.bin") + Lines("ab.bin"));
  EXPECT_EQ(Written(before, Snapshot()), TakeExpected());
}

TEST_F(NameListTest, NulSeparatedNamesMayHoldNewlinesAndAnyBytes) {
  if (plat::kHasDrives) GTEST_SKIP() << "names are not byte strings on this platform";
  Add("two\nlines.bin");
  Add("bad\xFF\xFE.bin");
  Add("cr\r.bin");
  WriteList("list0", Bytes("two\nlines.bin\0bad\xFF\xFE.bin\0\0cr\r.bin\0"));
  const FileMap before = Snapshot();
  const auto result = Run({"-extract=BMP", "-files0-from=list0"});
  EXPECT_EQ(result.out, Lines("two\nlines.bin") + Lines("bad\xFF\xFE.bin") + Lines("cr\r.bin"));
  EXPECT_EQ(Written(before, Snapshot()), TakeExpected());
}

TEST_F(NameListTest, ANameListedTwiceIsProcessedTwiceUnderTheSameOutputNames) {
  WriteList("list0", Bytes("a.bin\0ab.bin\0a.bin\0"));
  const FileMap before = Snapshot();
  const auto result = Run({"-extract=BMP", "-files0-from=list0"});
  const std::string once = Lines("a.bin");
  EXPECT_EQ(result.out, once + Lines("ab.bin") + once);
  EXPECT_EQ(Written(before, Snapshot()), TakeExpected());
}

TEST_F(NameListTest, ADirectoryIsWalkedAsADirectoryArgumentIs) {
  WriteList("list", "Dir\n");
  WriteList("list-forms", "Dir/\nDir/Sub/.\n");
  const std::string in = At("Dir/in.bin") + "\n  " + At("Dir/in_000.bmp") + "\n";
  const std::string deep = At("Dir/Sub/deep.bin") + "\n  " + At("Dir/Sub/deep_000.bmp") + "\n";
  const FileMap inOutput{{"Dir/in_000.bmp", bitmaps_.at("Dir/in.bin")}};
  const FileMap both{{"Dir/in_000.bmp", bitmaps_.at("Dir/in.bin")},
                     {"Dir/Sub/deep_000.bmp", bitmaps_.at("Dir/Sub/deep.bin")}};
  FileMap written;
  EXPECT_EQ(RunAndClear({"-extract=BMP", "-files-from=list"}, &written), in);
  EXPECT_EQ(written, inOutput);
  EXPECT_EQ(RunAndClear({"-extract=BMP", "-files-from=list", "-subdirs"}, &written), in + deep);
  EXPECT_EQ(written, both);
  // Named a directory by their form: a trailing separator, a last ".".
  EXPECT_EQ(RunAndClear({"-extract=BMP", "-files-from=list-forms"}, &written), in + deep);
  EXPECT_EQ(written, both);
}

TEST_F(NameListTest, NewerMissingAndOverlongNamesArePassedOver) {
  fs::last_write_time(Root() / "ab.bin", fs::file_time_type::clock::now() + std::chrono::hours(1));
  const std::string overlong(static_cast<std::size_t>(plat::kPathCapacity) + 10, 'x');
  WriteList("list", "ab.bin\nmissing.bin\nNo/Such/Dir/\n" + overlong + "\na.bin\n");
  const FileMap before = Snapshot();
  const auto result = Run({"-extract=BMP", "-files-from=list"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, Lines("a.bin"));
  EXPECT_EQ(Written(before, Snapshot()), TakeExpected());
}

TEST_F(NameListTest, ArgumentsComeFirstThenEachListInTheOptionsOrder) {
  WriteList("first0", Bytes("with space.bin\0a.bin\0"));
  WriteList("second", "Dir/in.bin\n-x.bin\n");
  const FileMap before = Snapshot();
  const auto result = Run({"-extract=BMP", "-FILES0-FROM=first0", "ab.bin",
                           "-Files-From=second", "Dir/Sub/deep.bin"});
  EXPECT_EQ(result.out, Lines("ab.bin") + Lines("Dir/Sub/deep.bin") + Lines("with space.bin") +
                            Lines("a.bin") + Lines("Dir/in.bin") + Lines("-x.bin"));
  EXPECT_EQ(Written(before, Snapshot()), TakeExpected());
}

TEST_F(NameListTest, TheValueIsAPathTakenExactlyAndWithoutItTheOptionIsAPattern) {
  WriteList("List", "a.bin\n");
  const FileMap before = Snapshot();
  // "-files-from" without "=" is a pattern that matches nothing; an empty
  // value names no list; a list that is not there is said, passed over, and
  // the run goes on.
  const auto result = Run({"-extract=BMP", "-files-from", "-files-from=", "-files0-from=missing",
                           "-files-from=List", "-files-from=LIST"});
  EXPECT_EQ(result.exitCode, 0);
  // A file system that folds case finds "LIST" too; elsewhere it is missing.
  const bool folds = fs::exists(Root() / "LIST");
  std::vector<std::pair<std::string, std::string>> missing{{"missing", "No such file or directory"}};
  if (!folds) missing.emplace_back("LIST", "No such file or directory");
  EXPECT_EQ(ReasonsHidden(result.err), Failures(missing));
  const std::string once = Lines("a.bin");
  EXPECT_EQ(result.out, folds ? once + once : once);
  EXPECT_EQ(Written(before, Snapshot()), TakeExpected());
}

TEST_F(NameListTest, StandardInputIsTheListNamedDash) {
  plat::testing::RunOptions options;
  options.input = Bytes("-x.bin\0Dir/in.bin\0");
  const FileMap before = Snapshot();
  const auto result = RunWith({"-extract=BMP", "-files0-from=-", "a.bin"}, options);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, Lines("a.bin") + Lines("-x.bin") + Lines("Dir/in.bin"));
  EXPECT_EQ(Written(before, Snapshot()), TakeExpected());

  options.input = "ab.bin\r\n";
  EXPECT_EQ(RunWith({"-extract=BMP", "-files-from=-"}, options).out, Lines("ab.bin"));
}

// The writer of the list gives the first name, then waits: the first
// file's output must appear meanwhile, at any thread count.
TEST_F(NameListTest, EachNameIsProcessedWhileTheListIsStillBeingWritten) {
  const fs::path firstOutput = Root() / "a_000.bmp";
  for (const char* threads : {"-threads=1", "-threads=4"}) {
    SCOPED_TRACE(threads);
    fs::remove(firstOutput);
    fs::remove(Root() / "ab_000.bmp");
    bool seenWhileHeld = false;
    const auto start = std::chrono::steady_clock::now();
    plat::testing::RunOptions options;
    options.input = Bytes("a.bin\0ab.bin\0");
    options.inputHeldFrom = 6;
    options.releaseInput = [&] {
      if (fs::exists(firstOutput)) {
        seenWhileHeld = true;
        return true;
      }
      return std::chrono::steady_clock::now() - start > std::chrono::seconds(20);
    };
    const auto result = RunWith({"-extract=BMP", threads, "-files0-from=-"}, options);
    EXPECT_TRUE(seenWhileHeld) << "a.bin's output did not appear before the list went on";
    EXPECT_EQ(result.out, Lines("a.bin") + Lines("ab.bin"));
  }
}

// One small file named 10^3 and 10^5 times: the peak resident memory stays
// the same (the list is never held whole).
TEST_F(NameListTest, MemoryDoesNotGrowWithTheList) {
#ifdef QX_SANITIZED
  GTEST_SKIP() << "the sanitizers hold freed memory back, so peak memory grows with the work";
#endif
  WriteOld(Root() / "small.bin", Filler(100));
  std::string names;
  for (int i = 0; i < 1000; ++i) names.append("small.bin", 10);  // with its NUL
  WriteList("thousand0", names);
  std::string many;
  for (int i = 0; i < 100; ++i) many += names;
  WriteList("many0", many);
  const auto few = Run({"-extract=ALL", "-verbosity=1", "-threads=1", "-files0-from=thousand0"});
  EXPECT_EQ(few.exitCode, 0);
  if (few.peakKiB == 0) GTEST_SKIP() << "this platform does not report peak memory";
  const auto lots = Run({"-extract=ALL", "-verbosity=1", "-threads=1", "-files0-from=many0"});
  EXPECT_EQ(lots.exitCode, 0);
  // The list of 10^5 names is 1,000,000 bytes; held whole, it and its names
  // would cost several times that.
  EXPECT_LT(lots.peakKiB, few.peakKiB + 512) << "10^3 names: " << few.peakKiB << " KiB";
}

}  // namespace
}  // namespace qx::cli
