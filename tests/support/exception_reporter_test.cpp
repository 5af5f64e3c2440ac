#include "support/ExceptionReporter.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/testing.h"
#include "support/Console.h"
#include "support/StringHelper.h"

namespace {

// Child processes (fork) stand for the answers that end the process.
constexpr bool kPosixHost = qx::plat::kSeparator == L'/';

struct Box {
  std::wstring text;
  std::wstring caption;
  unsigned style;
};
std::vector<Box> gBoxes;
int gAnswer = qx::plat::kBoxYes;

int RecordBox(const wchar_t* text, const wchar_t* caption, unsigned style) {
  gBoxes.push_back({text, caption, style});
  return gAnswer;
}

class ReporterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gBoxes.clear();
    gAnswer = qx::plat::kBoxYes;
    previous_ = qx::plat::SetErrorBoxHook(RecordBox);
  }
  void TearDown() override { qx::plat::SetErrorBoxHook(previous_); }

 private:
  qx::plat::ErrorBoxHook previous_ = nullptr;
};

TEST_F(ReporterTest, ReportTextAndBoxStyle) {
  ShowExceptionError("StringHelper.cpp", 2159,
                     "char __cdecl Safe_wcsncmp(const wchar_t *,const wchar_t *,int)",
                     "Mon Dec 16 15:40:29 2013");
  ASSERT_EQ(1u, gBoxes.size());
  EXPECT_EQ(
      L"Exception error\n"
      L"File     : StringHelper.cpp (Mon Dec 16 15:40:29 2013)\n"
      L"Function : char __cdecl Safe_wcsncmp(const wchar_t *,const wchar_t *,int)\n"
      L"Line     : 2159",
      gBoxes[0].text);
  EXPECT_EQ(L"Exception error", gBoxes[0].caption);
  EXPECT_EQ(0x2014u, gBoxes[0].style);
}

TEST_F(ReporterTest, NarrowTextsKeepTheirBytesAndLinesTheirSign) {
  ShowExceptionError("caf\xE9.cpp", -7, "f", "t");
  ASSERT_EQ(1u, gBoxes.size());
  EXPECT_EQ(L"Exception error\nFile     : caf\x00E9.cpp (t)\nFunction : f\nLine     : -7",
            gBoxes[0].text);
}

TEST_F(ReporterTest, ReportIsCutAt8191Characters) {
  const std::string function(9000, 'f');
  ShowExceptionError("m.cpp", 12, function.c_str(), "ts");
  ASSERT_EQ(1u, gBoxes.size());
  const std::wstring full = L"Exception error\nFile     : m.cpp (ts)\nFunction : " +
                            std::wstring(9000, L'f') + L"\nLine     : 12";
  EXPECT_EQ(full.substr(0, 8191), gBoxes[0].text);
}

TEST_F(ReporterTest, ThrownExceptionsOfAnyTypeAreCaught) {
  EXPECT_TRUE(qx::RunGuarded([] {}));
  EXPECT_FALSE(qx::RunGuarded([] { throw std::runtime_error("x"); }));
  EXPECT_FALSE(qx::RunGuarded([] { throw 42; }));
  int reached = 0;
  EXPECT_TRUE(qx::RunGuarded([&] {
    EXPECT_FALSE(qx::RunGuarded([] { throw std::bad_alloc(); }));
    reached = 1;
  }));
  EXPECT_EQ(1, reached);
  EXPECT_TRUE(gBoxes.empty()) << "the guard alone reports nothing";
}

// Every guarded function of the string helpers, each handed a pointer into a
// page that faults on every access.
struct Faulting {
  const char* name;
  int (*call)(void* bad);
};

const Faulting kFaulting[] = {
    {"Safe_wcscmp", [](void* bad) -> int { return Safe_wcscmp(static_cast<wchar_t*>(bad), L"x"); }},
    {"Safe_wcsicmp", [](void* bad) -> int { return Safe_wcsicmp(L"x", static_cast<wchar_t*>(bad)); }},
    {"Safe_wcsncmp",
     [](void* bad) -> int { return Safe_wcsncmp(static_cast<wchar_t*>(bad), L"x", 5); }},
    {"Safe_wcsnicmp",
     [](void* bad) -> int { return Safe_wcsnicmp(static_cast<wchar_t*>(bad), L"x", 5); }},
    {"Safe_strncmp", [](void* bad) -> int { return Safe_strncmp("x", static_cast<char*>(bad), 5); }},
    {"Safe_strnicmp",
     [](void* bad) -> int { return Safe_strnicmp(static_cast<char*>(bad), "x", 5); }},
    {"Safe_wcsnprintf",
     [](void* bad) -> int {
       wchar_t buffer[16];
       return Safe_wcsnprintf(buffer, 16, L"%s", static_cast<wchar_t*>(bad));
     }},
    {"Safe_wcsnprintf",
     [](void* bad) -> int {
       // The buffer itself faults: a partly written buffer is allowed, a
       // crash is not.
       return Safe_wcsnprintf(static_cast<wchar_t*>(bad), 16, L"abc");
     }},
};

TEST_F(ReporterTest, FaultInAComparisonIsReportedOnceAndGivesTheNeutralResult) {
  qx::plat::testing::NoAccessPage page;
  ASSERT_NE(nullptr, page.address());
  for (const Faulting& f : kFaulting) {
    gBoxes.clear();
    EXPECT_EQ(0, f.call(page.address())) << f.name;
    ASSERT_EQ(1u, gBoxes.size()) << f.name;
    const std::wstring& text = gBoxes[0].text;
    EXPECT_EQ(0u, text.find(L"Exception error\nFile     : StringHelper.cpp (")) << f.name;
    const std::wstring name(f.name, f.name + std::string(f.name).size());
    const std::size_t function = text.find(L"\nFunction : ");
    const std::size_t line = text.find(L"\nLine     : ");
    ASSERT_NE(std::wstring::npos, function);
    ASSERT_NE(std::wstring::npos, line);
    EXPECT_NE(std::wstring::npos, text.substr(function, line - function).find(name)) << text;
    EXPECT_GT(std::stoi(text.substr(line + 12)), 0) << text;
  }
}

TEST_F(ReporterTest, FaultInADebugMessageKeepsTheTarget) {
  qx::plat::testing::NoAccessPage page;
  std::wstring target = L"kept";
  OutputDebugMessage(&target, L"x%sy", static_cast<wchar_t*>(page.address()));
  EXPECT_EQ(L"kept", target);
  ASSERT_EQ(1u, gBoxes.size());
  EXPECT_NE(std::wstring::npos, gBoxes[0].text.find(L"OutputDebugMessage"));
}

TEST_F(ReporterTest, EachFailureGivesItsOwnBox) {
  qx::plat::testing::NoAccessPage page;
  auto* bad = static_cast<wchar_t*>(page.address());
  gAnswer = qx::plat::kBoxFailed;  // a box that could not be shown also continues
  EXPECT_EQ(0, Safe_wcscmp(bad, L"a"));
  EXPECT_EQ(0, Safe_wcscmp(bad, L"a"));
  EXPECT_EQ(0, Safe_wcsnicmp(L"a", bad, 1));
  ASSERT_EQ(3u, gBoxes.size());
  EXPECT_EQ(gBoxes[0].text, gBoxes[1].text);
  EXPECT_NE(gBoxes[0].text, gBoxes[2].text);
  // The guard machinery still works normally afterwards.
  EXPECT_EQ(-1, Safe_wcscmp(L"a", L"b"));
  EXPECT_EQ(3u, gBoxes.size());
}

// The answers seen from outside: a child prints, fails once, prints again.
int gChildAnswer = 0;
void FailBetweenTwoLines() {
  static qx::plat::testing::NoAccessPage page;
  qx::plat::SetErrorBoxHook([](const wchar_t*, const wchar_t*, unsigned) { return gChildAnswer; });
  qx::PrintOut(L"before\n");
  const int result = Safe_wcscmp(static_cast<wchar_t*>(page.address()), L"x");
  qx::PrintOut(L"after %i\n", result);
}

TEST_F(ReporterTest, AnswerNoEndsTheProcessAtOnce) {
  if (!kPosixHost) GTEST_SKIP() << "needs a forked child";
  const auto result = qx::plat::testing::RunInChild([] {
    gChildAnswer = qx::plat::kBoxNo;
    FailBetweenTwoLines();
  });
  EXPECT_TRUE(result.aborted);
  EXPECT_EQ("before\n", result.out);
  EXPECT_EQ("", result.err) << "the report goes to the box only";
}

TEST_F(ReporterTest, AnswerYesOrFailedCarriesOn) {
  if (!kPosixHost) GTEST_SKIP() << "needs a forked child";
  for (void (*child)() : {+[] {
                            gChildAnswer = qx::plat::kBoxYes;
                            FailBetweenTwoLines();
                          },
                          +[] {
                            gChildAnswer = qx::plat::kBoxFailed;
                            FailBetweenTwoLines();
                          }}) {
    const auto result = qx::plat::testing::RunInChild(child);
    EXPECT_FALSE(result.aborted);
    EXPECT_EQ(0, result.exitCode);
    EXPECT_EQ("before\nafter 0\n", result.out);
    EXPECT_EQ("", result.err);
  }
}

}  // namespace
