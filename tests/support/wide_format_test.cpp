#include "support/WideFormat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <iterator>
#include <string>

namespace {

std::wstring ViaString(const wchar_t* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::wstring text = qx::VFormatWideString(format, args);
  va_end(args);
  return text;
}

TEST(WideFormat, ConversionsMeanTheSameEverywhere) {
  struct Case {
    const wchar_t* expected;
    std::wstring actual;
  };
  const char highBytes[] = {'a', static_cast<char>(0x80), static_cast<char>(0xE9),
                            static_cast<char>(0xFF), 0};
  const Case cases[] = {
      {L"plain text", ViaString(L"plain text")},
      {L"<wide \x00E9\x4E2D>", ViaString(L"<%s>", L"wide \x00E9\x4E2D")},
      {L"<narrow>", ViaString(L"<%S>", "narrow")},
      {L"a\x0080\x00E9\x00FF", ViaString(L"%S", highBytes)},
      {L"(null)|(null)", ViaString(L"%s|%S", static_cast<const wchar_t*>(nullptr),
                                  static_cast<const char*>(nullptr))},
      {L"0 7 -7 123456", ViaString(L"%i %d %i %d", 0, 7, -7, 123456)},
      {L"2147483647", ViaString(L"%i", INT_MAX)},
      {L"-2147483648", ViaString(L"%i", INT_MIN)},
      {L"-2147483648", ViaString(L"%03i", INT_MIN)},
      {L"000 007 042 999 1000", ViaString(L"%03i %03i %03i %03i %03i", 0, 7, 42, 999, 1000)},
      {L"-07|-42|-123", ViaString(L"%03i|%03i|%03i", -7, -42, -123)},
      {L"[   42][-0042][42]", ViaString(L"[%5d][%05i][%1i]", 42, -42, 42)},
      {L"[  ab][  cd][abc]", ViaString(L"[%4s][%4S][%2s]", L"ab", "cd", L"abc")},
      {L"100% sure %", ViaString(L"100%% sure %%")},
      {L"dir/name_001.png", ViaString(L"%s%s%s_%03i.png", L"dir/", L"name", L"", 1)},
      {L"", ViaString(L"")},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, c.actual);
}

TEST(WideFormat, UndefinedConversionsFail) {
  wchar_t buffer[32];
  for (const wchar_t* format : {L"%x", L"%ls", L"%-3i", L"%.2s", L"%c", L"%", L"ab%", L"%03",
                                L"%0%", L"%99999999999i"}) {
    EXPECT_LT(qx::FormatWide(buffer, 32, format, 1), 0) << format;
    EXPECT_EQ(L"", ViaString(format, 1)) << format;
  }
  EXPECT_LT(qx::FormatWide(buffer, 32, nullptr), 0);
}

TEST(WideFormat, CountedWritesLikeTheRuntimesCountedFormatter) {
  // Shorter than the count: text and terminator.
  wchar_t buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), L'#');
  EXPECT_EQ(3, qx::FormatWide(buffer, 5, L"%s", L"abc"));
  EXPECT_EQ(std::wstring(L"abc"), buffer);
  EXPECT_EQ(L'#', buffer[4]);

  // Exactly the count: all characters, no terminator.
  std::fill(std::begin(buffer), std::end(buffer), L'#');
  EXPECT_EQ(5, qx::FormatWide(buffer, 5, L"%S%i", "abc", 12));
  EXPECT_EQ(L"abc12###", std::wstring(buffer, 8));

  // One over: negative, the first `count` characters written, no terminator.
  std::fill(std::begin(buffer), std::end(buffer), L'#');
  EXPECT_LT(qx::FormatWide(buffer, 5, L"%S%i", "abc", 123), 0);
  EXPECT_EQ(L"abc12###", std::wstring(buffer, 8));

  // A count of 0 writes nothing at all, even for an empty text.
  std::fill(std::begin(buffer), std::end(buffer), L'#');
  EXPECT_EQ(0, qx::FormatWide(buffer, 0, L""));
  EXPECT_LT(qx::FormatWide(buffer, 0, L"x"), 0);
  EXPECT_EQ(L'#', buffer[0]);
}

TEST(WideFormat, WidthPaddingIsCutAtTheCount) {
  wchar_t buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), L'#');
  EXPECT_EQ(6, qx::FormatWide(buffer, 7, L"%06i", 42));
  EXPECT_EQ(std::wstring(L"000042"), buffer);

  std::fill(std::begin(buffer), std::end(buffer), L'#');
  EXPECT_LT(qx::FormatWide(buffer, 4, L"%010i", -5), 0);
  EXPECT_EQ(L"-000####", std::wstring(buffer, 8));

  // A width far beyond the count is neither written nor walked out.
  std::fill(std::begin(buffer), std::end(buffer), L'#');
  EXPECT_LT(qx::FormatWide(buffer, 4, L"%2000000000i", 1), 0);
  EXPECT_EQ(L"    ####", std::wstring(buffer, 8));
}

TEST(WideFormat, LongTextsInTheStringForm) {
  const std::string narrow(100000, 'x');
  const std::wstring wide(70000, L'y');
  const std::wstring text = ViaString(L"%S|%s|%i", narrow.c_str(), wide.c_str(), -1);
  EXPECT_EQ(std::wstring(100000, L'x') + L"|" + wide + L"|-1", text);
}

}  // namespace
