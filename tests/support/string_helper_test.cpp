#include "support/StringHelper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "platform/platform.h"

namespace {

// Any report here is a failure of the test: none of these inputs may fault.
int gBoxes = 0;
int CountBox(const wchar_t*, const wchar_t*, unsigned) {
  ++gBoxes;
  return qx::plat::kBoxYes;
}

class StringHelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gBoxes = 0;
    previous_ = qx::plat::SetErrorBoxHook(CountBox);
  }
  void TearDown() override {
    qx::plat::SetErrorBoxHook(previous_);
    EXPECT_EQ(0, gBoxes) << "a failure was reported";
  }

 private:
  qx::plat::ErrorBoxHook previous_ = nullptr;
};

enum class Fn { wcscmp, wcsicmp, wcsncmp, wcsnicmp, strncmp, strnicmp };

const char* Name(Fn fn) {
  switch (fn) {
    case Fn::wcscmp: return "Safe_wcscmp";
    case Fn::wcsicmp: return "Safe_wcsicmp";
    case Fn::wcsncmp: return "Safe_wcsncmp";
    case Fn::wcsnicmp: return "Safe_wcsnicmp";
    case Fn::strncmp: return "Safe_strncmp";
    case Fn::strnicmp: return "Safe_strnicmp";
  }
  return "?";
}

// Narrow strings in the tables are written as wide literals of characters
// below U+0100 and narrowed byte by byte, so one table serves all six.
struct Compared {
  const wchar_t* wide;
  std::string narrow;
  explicit Compared(const wchar_t* text) : wide(text) {
    if (text == nullptr) return;
    for (const wchar_t* p = text; *p != L'\0'; ++p) narrow.push_back(static_cast<char>(*p));
  }
  const char* bytes() const { return wide == nullptr ? nullptr : narrow.c_str(); }
};

int Call(Fn fn, const wchar_t* first, const wchar_t* second, int count) {
  const Compared a(first);
  const Compared b(second);
  switch (fn) {
    case Fn::wcscmp: return Safe_wcscmp(a.wide, b.wide);
    case Fn::wcsicmp: return Safe_wcsicmp(a.wide, b.wide);
    case Fn::wcsncmp: return Safe_wcsncmp(a.wide, b.wide, count);
    case Fn::wcsnicmp: return Safe_wcsnicmp(a.wide, b.wide, count);
    case Fn::strncmp: return Safe_strncmp(a.bytes(), b.bytes(), count);
    case Fn::strnicmp: return Safe_strnicmp(a.bytes(), b.bytes(), count);
  }
  return 99;
}

constexpr Fn kAll[] = {Fn::wcscmp, Fn::wcsicmp, Fn::wcsncmp, Fn::wcsnicmp, Fn::strncmp, Fn::strnicmp};

TEST_F(StringHelperTest, NullsAreSettledBeforeTheCount) {
  struct Case {
    const wchar_t* first;
    const wchar_t* second;
    int expected;
  } const cases[] = {
      {nullptr, nullptr, 0}, {nullptr, L"", 0}, {nullptr, L"abc", -1},
      {L"", nullptr, 0},     {L"abc", nullptr, 1},
  };
  for (Fn fn : kAll) {
    for (const Case& c : cases) {
      for (int count : {0, -1, 3, 100}) {
        EXPECT_EQ(c.expected, Call(fn, c.first, c.second, count))
            << Name(fn) << " count " << count << " first " << (c.first ? "set" : "null")
            << " second " << (c.second ? "set" : "null");
      }
    }
  }
}

TEST_F(StringHelperTest, ResultsOfEveryMember) {
  constexpr int kNone = 0;  // the count of the uncounted members is ignored
  struct Case {
    Fn fn;
    const wchar_t* first;
    const wchar_t* second;
    int count;
    int expected;
  } const cases[] = {
      // Options as the command line matches them.
      {Fn::wcsnicmp, L"-EXTRACT=ALL", L"-extract=", 9, 0},
      {Fn::wcsnicmp, L"-Verbosity=3", L"-verbosity=", 11, 0},
      {Fn::wcsnicmp, L"-ex", L"-extract=", 9, -1},
      {Fn::wcsnicmp, L"abc", L"xyz", 0, 0},
      {Fn::wcsicmp, L"-SubDirs", L"-subdirs", kNone, 0},
      {Fn::wcscmp, L".", L".", kNone, 0},
      {Fn::wcscmp, L"..", L".", kNone, 1},
      // Case: exact in the sensitive members, folded A-Z only in the others.
      {Fn::wcscmp, L"A", L"a", kNone, -1},
      {Fn::wcscmp, L"a", L"A", kNone, 1},
      {Fn::wcsicmp, L"A", L"a", kNone, 0},
      {Fn::wcsicmp, L"a", L"A", kNone, 0},
      {Fn::strnicmp, L"ZeBrA", L"zEbRa", 5, 0},
      {Fn::wcsicmp, L"[", L"A", kNone, -1},  // 'A' folds to 0x61, above 0x5B
      {Fn::wcsicmp, L"A", L"[", kNone, 1},
      {Fn::wcsicmp, L"@", L"`", kNone, -1},  // neighbours of the letters stay apart
      {Fn::wcsicmp, L"\x00C9", L"\x00E9", kNone, -1},  // accented letters are not folded
      {Fn::strnicmp, L"\x00C9", L"\x00E9", 1, -1},
      // Character order: unsigned wide, signed narrow.
      {Fn::wcscmp, L"\x00E9", L"a", kNone, 1},
      {Fn::wcscmp, L"\xFFFF", L"a", kNone, 1},
      {Fn::wcsncmp, L"\xD800", L"\x7F", 1, 1},
      {Fn::strncmp, L"\x00E9", L"a", 1, -1},
      {Fn::strnicmp, L"\x00E9", L"a", 1, -1},
      {Fn::strncmp, L"\x007F", L"\x0080", 1, 1},
      {Fn::strncmp, L"\x00FF", L"\x0080", 1, 1},  // -1 after -128
      // Exactly -1 and +1, however far apart the characters are.
      {Fn::wcscmp, L"a", L"z", kNone, -1},
      {Fn::strncmp, L"z", L"a", 1, 1},
      // Counts.
      {Fn::wcsncmp, L"abc", L"abd", 2, 0},
      {Fn::wcsncmp, L"abc", L"abd", 3, -1},
      {Fn::strncmp, L"abc", L"abd", 2, 0},
      {Fn::strncmp, L"abc", L"abd", 3, -1},
      {Fn::wcsnicmp, L"ABC", L"abd", 2, 0},
      {Fn::strnicmp, L"ABC", L"abd", 3, -1},
      {Fn::wcscmp, L"abc", L"abd", kNone, -1},
      {Fn::wcsncmp, L"abd", L"abc", 100, 1},
      // Prefixes.
      {Fn::wcscmp, L"ab", L"abc", kNone, -1},
      {Fn::wcscmp, L"abc", L"ab", kNone, 1},
      {Fn::wcsncmp, L"ab", L"abc", 2, 0},
      {Fn::strncmp, L"ab", L"abc", 3, -1},
      {Fn::strnicmp, L"ABc", L"ab", 3, 1},
      {Fn::wcsicmp, L"", L"", kNone, 0},
      {Fn::wcsncmp, L"", L"a", 1, -1},
      // A negative count compares nothing, like a count of 0.
      {Fn::wcsncmp, L"abc", L"abd", -1, 0},
      {Fn::wcsnicmp, L"a", L"b", -100, 0},
      {Fn::strncmp, L"a", L"b", -1, 0},
      {Fn::strnicmp, L"a", L"a", -1, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, Call(c.fn, c.first, c.second, c.count))
        << Name(c.fn) << " count " << c.count << " case #" << (&c - cases);
  }
}

TEST_F(StringHelperTest, NothingAtOrBeyondTheCountIsRead) {
  // Neither array has a terminator: a read at index 3 runs off its end (the
  // sanitizer build catches that).
  const wchar_t wideA[3] = {L'a', L'B', L'c'};
  const wchar_t wideB[3] = {L'a', L'b', L'c'};
  const char narrowA[3] = {'a', 'B', 'c'};
  const char narrowB[3] = {'a', 'b', 'c'};
  EXPECT_EQ(-1, Safe_wcsncmp(wideA, wideB, 3));
  EXPECT_EQ(0, Safe_wcsnicmp(wideA, wideB, 3));
  EXPECT_EQ(-1, Safe_strncmp(narrowA, narrowB, 3));
  EXPECT_EQ(0, Safe_strnicmp(narrowA, narrowB, 3));
  EXPECT_EQ(0, Safe_wcsncmp(wideA, wideB, 1));
}

TEST_F(StringHelperTest, BoundedFormattingCutsAndTerminates) {
  struct Case {
    int size;
    const wchar_t* text;
    int expected;
    const wchar_t* stored;
  } const cases[] = {
      {8, L"abc", 3, L"abc"},     {4, L"abcdef", 3, L"abc"}, {4, L"abc", 3, L"abc"},
      {5, L"abcd", 4, L"abcd"},   {4, L"abcd", 3, L"abc"},   {1, L"abc", 0, L""},
      {1, L"", 0, L""},           {2, L"", 0, L""},
  };
  for (const Case& c : cases) {
    wchar_t buffer[16];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    EXPECT_EQ(c.expected, Safe_wcsnprintf(buffer, c.size, L"%s", c.text)) << c.size << c.text;
    EXPECT_EQ(std::wstring(c.stored), buffer) << c.size << c.text;
    EXPECT_EQ(L'\0', buffer[c.size - 1]);
    EXPECT_EQ(L'#', buffer[c.size]) << "written past the size";
  }
}

TEST_F(StringHelperTest, BoundedFormattingWithoutRoomWritesNothing) {
  wchar_t buffer[4] = {L'#', L'#', L'#', L'#'};
  EXPECT_EQ(0, Safe_wcsnprintf(buffer, 0, L"abc"));
  EXPECT_EQ(0, Safe_wcsnprintf(buffer, -5, L"abc"));
  EXPECT_EQ(0, Safe_wcsnprintf(nullptr, 4, L"abc"));
  EXPECT_EQ(std::wstring(4, L'#'), std::wstring(buffer, 4));
}

TEST_F(StringHelperTest, BoundedFormattingOfTheToolsFormats) {
  wchar_t path[260];
  EXPECT_EQ(19, Safe_wcsnprintf(path, 260, L"%s%s%s_%03i.bmp", L"", L"/data/", L"game", 1007));
  EXPECT_EQ(std::wstring(L"/data/game_1007.bmp"), path);
  EXPECT_EQ(18, Safe_wcsnprintf(path, 260, L"%s%s%s_%03i.bmp", L"", L"/data/", L"game", 7));
  EXPECT_EQ(std::wstring(L"/data/game_007.bmp"), path);

  const std::wstring longName(300, L'n');
  EXPECT_EQ(259, Safe_wcsnprintf(path, 260, L"%s\\%s", L"dir", longName.c_str()));
  EXPECT_EQ(L"dir\\" + longName.substr(0, 255), std::wstring(path));

  // A format that cannot be honoured still leaves a terminated buffer.
  wchar_t buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), L'#');
  EXPECT_EQ(7, Safe_wcsnprintf(buffer, 8, L"ab%q"));
  EXPECT_EQ(L'\0', buffer[7]);
  EXPECT_EQ(L"ab", std::wstring(buffer, 2));
}

TEST_F(StringHelperTest, DebugMessagesAppendOrDropWhole) {
  OutputDebugMessage(nullptr, L"%s", L"ignored");

  std::wstring target = L"ab";
  OutputDebugMessage(&target, L"cd");
  EXPECT_EQ(L"abcd", target);
  OutputDebugMessage(&target, L"[%s|%S|%03i]", L"w", "n", 5);
  EXPECT_EQ(L"abcd[w|n|005]", target);

  OutputDebugMessage(&target, L"");
  OutputDebugMessage(&target, L"%s", L"");
  OutputDebugMessage(&target, L"bad %q");
  EXPECT_EQ(L"abcd[w|n|005]", target);

  const std::wstring fits(65535, L'f');
  const std::wstring tooLong(65536, L'x');
  std::wstring big = L">";
  OutputDebugMessage(&big, L"%s", tooLong.c_str());
  EXPECT_EQ(L">", big);
  OutputDebugMessage(&big, L"%s%s", fits.c_str(), L"!");
  EXPECT_EQ(L">", big);
  OutputDebugMessage(&big, L"%s", fits.c_str());
  EXPECT_EQ(L">" + fits, big);
  const std::string narrowFits(65535, 'g');
  OutputDebugMessage(&big, L"%S", narrowFits.c_str());
  EXPECT_EQ(L">" + fits + std::wstring(65535, L'g'), big);
}

}  // namespace
