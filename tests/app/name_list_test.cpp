// The names of a list: cut alike whatever pieces the bytes come in, with
// CR LF and empty lines, NUL-separated names holding anything else, and
// names no path could be passed over without cutting them; then read from a
// real list in pieces.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "app/NameList.h"
#include "platform/platform.h"
#include "platform/testing_fs.h"

namespace {

namespace fs = std::filesystem;
using qx::app::NameSeparator;
using qx::app::NameSplitter;
using Names = std::vector<std::string>;

// The bytes of a literal, NULs inside included.
template <std::size_t N>
std::string Bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

// The names of `bytes` fed in pieces of `piece` bytes.
Names Split(const std::string& bytes, NameSeparator separator, std::size_t piece) {
  Names names;
  const NameSplitter::Take take = [&](std::string_view name) { names.emplace_back(name); };
  NameSplitter splitter(separator);
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    splitter.Feed(std::string_view(bytes).substr(at, piece), take);
  }
  splitter.End(take);
  return names;
}

// The same names whatever the pieces; returned for one of them.
Names SplitEveryWay(const std::string& bytes, NameSeparator separator) {
  const Names whole = Split(bytes, separator, bytes.size() + 1);
  for (std::size_t piece = 1; piece <= bytes.size(); ++piece) {
    EXPECT_EQ(Split(bytes, separator, piece), whole) << "pieces of " << piece;
  }
  return whole;
}

TEST(NameSplitter, LinesLoseOneCarriageReturnAndEmptyLinesAreSkipped) {
  EXPECT_EQ(SplitEveryWay("a.bin\r\n\r\n\nSub/b c.bin\n-x\r\r\n*?\nlast", NameSeparator::kLine),
            (Names{"a.bin", "Sub/b c.bin", "-x\r", "*?", "last"}));
  EXPECT_EQ(SplitEveryWay("", NameSeparator::kLine), Names{});
  EXPECT_EQ(SplitEveryWay("\n\n\r\n", NameSeparator::kLine), Names{});
  EXPECT_EQ(SplitEveryWay("one\n", NameSeparator::kLine), Names{"one"});
}

TEST(NameSplitter, ALineHoldingANulIsNoName) {
  EXPECT_EQ(SplitEveryWay(Bytes("a\nb\0c\nd\n"), NameSeparator::kLine),
            (Names{"a", "d"}));
}

TEST(NameSplitter, NulSeparatedNamesKeepNewlinesAndCarriageReturns) {
  EXPECT_EQ(SplitEveryWay(Bytes("a\nb\0\0c\r\0 \0tail"), NameSeparator::kNul),
            (Names{"a\nb", "c\r", " ", "tail"}));
  EXPECT_EQ(SplitEveryWay(Bytes("\0\0"), NameSeparator::kNul), Names{});
}

TEST(NameSplitter, ANameTooLongForAnyPathIsSkippedAndTheNextOneTaken) {
  const std::size_t most = qx::app::kMostNameBytes;
  const std::string longest(most, 'x');
  const std::string tooLong(most + 1, 'y');
  for (const std::size_t piece : {std::size_t{1}, std::size_t{1000}, most, 3 * most}) {
    SCOPED_TRACE(piece);
    EXPECT_EQ(Split(longest + "\n" + tooLong + "\nnext\n" + tooLong, NameSeparator::kLine, piece),
              (Names{longest, "next"}));
    EXPECT_EQ(Split(std::string(10 * most, 'z') + '\0' + "after", NameSeparator::kNul, piece),
              Names{"after"});
  }
}

class ListDir : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device seed;
    dir_ = fs::temp_directory_path() / ("qx-names-" + std::to_string(seed()) + std::to_string(seed()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::wstring Write(const std::string& bytes) {
    const fs::path path = dir_ / "list";
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return qx::plat::testing::WidePath(path);
  }
  // The names read, or {"<unreadable>"} after them when the read failed.
  std::vector<std::wstring> Read(const std::wstring& path, NameSeparator separator,
                                 int* waits = nullptr) {
    std::vector<std::wstring> names;
    const bool read = qx::app::ReadNameList(
        path.c_str(), separator, [&](const wchar_t* name) { names.emplace_back(name); },
        [&] {
          if (waits != nullptr) ++*waits;
        });
    if (!read) names.emplace_back(L"<unreadable>");
    return names;
  }
  fs::path dir_;
};

TEST_F(ListDir, NamesAcrossManyPiecesComeInTheirOrder) {
  std::string bytes;
  std::vector<std::wstring> expected;
  // Names of 1 to 97 bytes: boundaries of the 64 KiB pieces fall inside
  // names, just after a separator and just before one.
  for (int i = 0; bytes.size() < 3 * qx::app::kListPiece + 100; ++i) {
    const std::string name = std::to_string(i) + std::string(static_cast<std::size_t>(i % 97), '.');
    bytes += name + '\0';
    expected.emplace_back(name.begin(), name.end());
  }
  int waits = 0;
  EXPECT_EQ(Read(Write(bytes), NameSeparator::kNul, &waits), expected);
  EXPECT_EQ(waits, 0);  // a file never has the reader wait for its writer
}

TEST_F(ListDir, ANameWhoseTextDoesNotFitAPathIsPassedOverUncut) {
  const int capacity = qx::plat::kPathCapacity;
  const std::string fits(static_cast<std::size_t>(capacity - 1), 'f');
  const std::string over(static_cast<std::size_t>(capacity), 'o');
  // Four bytes, one character (two UTF-16 units on Windows): the text decides,
  // not the bytes.
  std::string wide;
  while (wide.size() < 4 * static_cast<std::size_t>(capacity / 2 - 1)) wide += "\xF0\x9F\x93\xB7";
  const auto names = Read(Write(fits + "\n" + over + "\n" + wide + "\nend\n"), NameSeparator::kLine);
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[0], std::wstring(fits.begin(), fits.end()));
  EXPECT_EQ(names[1].size(), static_cast<std::size_t>(capacity / 2 - 1) * (sizeof(wchar_t) == 2 ? 2 : 1));
  EXPECT_EQ(names[2], L"end");
}

TEST_F(ListDir, ListsThatCannotBeReadAreReportedWithNothingTaken) {
  EXPECT_EQ(Read(qx::plat::testing::WidePath(dir_ / "missing"), NameSeparator::kLine),
            std::vector<std::wstring>{L"<unreadable>"});
  EXPECT_EQ(Read(qx::plat::testing::WidePath(dir_), NameSeparator::kNul),
            std::vector<std::wstring>{L"<unreadable>"});
  EXPECT_EQ(Read(Write(""), NameSeparator::kLine), std::vector<std::wstring>{});
}

}  // namespace
