#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "platform/testing.h"

namespace {

constexpr bool kPosixHost = qx::plat::kSeparator == L'/';

TEST(StdoutBuffer, WideTextBecomesUtf8WhateverTheLocale) {
  if (!kPosixHost) GTEST_SKIP() << "UTF-8 standard output is the POSIX form";
  const auto result = qx::plat::testing::RunInChild([] {
    const std::wstring text = L"a\x00E9\x4E2D\U0001F600|\xDCFF|\n";
    qx::plat::WriteStdout(text.data(), text.size());
    qx::plat::WriteStdout(nullptr, 5);
    qx::plat::WriteStdout(L"ignored", 0);
  });
  EXPECT_EQ(0, result.exitCode);
  // U+DC80..U+DCFF stand for single bytes that were not UTF-8.
  EXPECT_EQ("a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80|\xFF|\n", result.out);
}

TEST(StdoutBuffer, LargeOutputArrivesWholeAndInOrder) {
  if (!kPosixHost) GTEST_SKIP() << "needs a forked child";
  const auto result = qx::plat::testing::RunInChild([] {
    for (int i = 0; i < 30000; ++i) {
      const std::wstring line = std::to_wstring(i) + L"\n";
      qx::plat::WriteStdout(line.data(), line.size());
    }
  });
  std::string expected;
  for (int i = 0; i < 30000; ++i) expected += std::to_string(i) + "\n";
  EXPECT_EQ(expected.size(), result.out.size());
  EXPECT_TRUE(expected == result.out);
}

TEST(StdoutBuffer, NormalExitWritesOutTheRest) {
  if (!kPosixHost) GTEST_SKIP() << "needs a forked child";
  const auto result = qx::plat::testing::RunInChild([] {
    qx::plat::WriteStdout(L"pending", 7);
    std::exit(0);
  });
  EXPECT_EQ(0, result.exitCode);
  EXPECT_EQ("pending", result.out);
}

}  // namespace
