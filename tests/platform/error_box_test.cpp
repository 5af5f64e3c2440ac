#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "platform/testing.h"

namespace {

constexpr bool kPosixHost = qx::plat::kSeparator == L'/';

std::wstring gText;
std::wstring gCaption;
unsigned gStyle = 0;
int gCalls = 0;

int Answer(const wchar_t* text, const wchar_t* caption, unsigned style) {
  gText = text;
  gCaption = caption;
  gStyle = style;
  return ++gCalls == 1 ? qx::plat::kBoxNo : qx::plat::kBoxYes;
}

TEST(ErrorBox, HookStandsInForTheBoxUntilRemoved) {
  gCalls = 0;
  const auto previous = qx::plat::SetErrorBoxHook(Answer);
  EXPECT_EQ(qx::plat::kBoxNo, qx::plat::ShowErrorBox(L"the text", L"the caption", 0x2014));
  EXPECT_EQ(qx::plat::kBoxYes, qx::plat::ShowErrorBox(L"again", L"c", 1));
  EXPECT_EQ(L"again", gText);
  EXPECT_EQ(L"c", gCaption);
  EXPECT_EQ(1u, gStyle);
  EXPECT_EQ(Answer, qx::plat::SetErrorBoxHook(previous));
  EXPECT_EQ(2, gCalls);
}

TEST(ErrorBox, WithoutATerminalTheBoxFailsAtOnce) {
  if (!kPosixHost) GTEST_SKIP() << "the stand-in box exists on POSIX only";
  // The child has its own session, so there is no terminal to ask; reaching
  // the end at all shows that nothing waited for an answer.
  const auto result = qx::plat::testing::RunInChild([] {
    qx::plat::SetErrorBoxHook(nullptr);
    qx::plat::WriteStdout(L"written before\n", 15);
    const int answer = qx::plat::ShowErrorBox(L"Line one\nCaf\x00E9", L"Exception error", 0x2014);
    // Leaves without flushing: what was written before must already be out.
    std::_Exit(answer == qx::plat::kBoxFailed ? 42 : 1);
  });
  EXPECT_EQ(42, result.exitCode);
  EXPECT_EQ("written before\n", result.out);
  EXPECT_NE(std::string::npos, result.err.find("[Exception error]\nLine one\nCaf\xC3\xA9")) << result.err;
}

TEST(ErrorBox, AbortEndsTheProcessWithoutExitHandlers) {
  if (!kPosixHost) GTEST_SKIP() << "needs a forked child";
  const auto result = qx::plat::testing::RunInChild([] {
    std::atexit([] { qx::plat::WriteStdout(L"exit handler", 12); });
    qx::plat::WriteStdout(L"buffered", 8);
    qx::plat::AbortProcess();
  });
  EXPECT_TRUE(result.aborted);
  EXPECT_EQ("", result.out);
}

}  // namespace
