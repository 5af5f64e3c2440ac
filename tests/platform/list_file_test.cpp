// Lists of names as the platform reads them: any pieces, the end, what
// cannot be opened, and how listed bytes become names.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "scratch_dir.h"

namespace {

using qx::plat::ListFile;
using qx::test::ScratchDir;

// Everything a list gives, read `capacity` bytes at a time.
std::string ReadThrough(ListFile& list, std::size_t capacity, int* reads) {
  std::string content;
  std::uint8_t buffer[64];
  for (;;) {
    EXPECT_TRUE(list.Ready());  // a file never makes a reader wait
    const std::ptrdiff_t n = list.Read(buffer, capacity);
    if (n <= 0) {
      EXPECT_EQ(n, 0);
      return content;
    }
    EXPECT_LE(static_cast<std::size_t>(n), capacity);
    content.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
    ++*reads;
  }
}

TEST(ListFile, GivesAFilesBytesInPiecesOfAnySizeThenItsEnd) {
  ScratchDir scratch;
  std::string bytes;
  for (int i = 0; i < 40; ++i) bytes += "name " + std::to_string(i) + std::string(1, '\0') + "\r\n";
  scratch.WriteFile("list", bytes);
  for (const std::size_t capacity : {std::size_t{1}, std::size_t{7}, std::size_t{64}}) {
    SCOPED_TRACE(capacity);
    ListFile list;
    ASSERT_TRUE(list.Open(scratch.wide(L"list").c_str()));
    int reads = 0;
    EXPECT_EQ(ReadThrough(list, capacity, &reads), bytes);
    EXPECT_GE(reads, static_cast<int>(bytes.size() / capacity));
    std::uint8_t more[4];
    EXPECT_EQ(list.Read(more, sizeof more), 0);  // the end stays the end
  }
}

TEST(ListFile, AnEmptyFileEndsAtOnce) {
  ScratchDir scratch;
  scratch.WriteFile("empty");
  ListFile list;
  ASSERT_TRUE(list.Open(scratch.wide(L"empty").c_str()));
  std::uint8_t buffer[8];
  EXPECT_EQ(list.Read(buffer, sizeof buffer), 0);
}

TEST(ListFile, WhatCannotBeReadAsAListFails) {
  ScratchDir scratch;
  ListFile missing;
  EXPECT_FALSE(missing.Open(scratch.wide(L"missing").c_str()));
  ListFile unnamed;
  EXPECT_FALSE(unnamed.Open(L""));
  // A directory opens on POSIX, and its first read fails.
  ListFile directory;
  if (directory.Open(scratch.wide().c_str())) {
    std::uint8_t buffer[8];
    EXPECT_EQ(directory.Read(buffer, sizeof buffer), -1);
  }
}

TEST(ListFile, AByteOrderMarkIsLeftOutOnWindowsOnly) {
  ScratchDir scratch;
  scratch.WriteFile("marked", "\xEF\xBB\xBF" "a.bin\n");
  scratch.WriteFile("short", "\xEF\xBB");
  ListFile marked;
  ASSERT_TRUE(marked.Open(scratch.wide(L"marked").c_str()));
  int reads = 0;
  EXPECT_EQ(ReadThrough(marked, 2, &reads),
            qx::plat::kHasDrives ? "a.bin\n" : "\xEF\xBB\xBF" "a.bin\n");
  // Two bytes that only begin a mark are the list's own.
  ListFile cut;
  ASSERT_TRUE(cut.Open(scratch.wide(L"short").c_str()));
  EXPECT_EQ(ReadThrough(cut, 64, &reads), "\xEF\xBB");
}

TEST(DecodeListedName, ValidUtf8IsTheNameItSpells) {
  std::wstring name;
  ASSERT_TRUE(qx::plat::DecodeListedName("Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x93\xB7", &name));
  const std::wstring photo = sizeof(wchar_t) == 2 ? std::wstring(L"\xD83D\xDCF7")
                                                  : std::wstring(1, static_cast<wchar_t>(0x1F4F7));
  EXPECT_EQ(name, L"Gr\x00FC\x00DF" L"e " + photo);
}

TEST(DecodeListedName, InvalidUtf8IsANameOnPosixAndNoneOnWindows) {
  std::wstring name;
  const bool decoded = qx::plat::DecodeListedName("bad\xFF.bin", &name);
  if (qx::plat::kHasDrives) {
    EXPECT_FALSE(decoded);
  } else {
    ASSERT_TRUE(decoded);
    EXPECT_EQ(name, std::wstring(L"bad") + static_cast<wchar_t>(0xDCFF) + L".bin");
  }
}

}  // namespace
