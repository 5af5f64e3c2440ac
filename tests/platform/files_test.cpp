#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "platform/testing_fs.h"
#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using qx::plat::OpenFile;
using qx::test::ScratchDir;

std::string ReadAll(const std::wstring& path) {
  std::FILE* file = OpenFile(path.c_str(), L"rb");
  if (file == nullptr) return "<not opened>";
  std::string content;
  char buffer[256];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, got);
  std::fclose(file);
  return content;
}

TEST(OpenFile, WritesCreatingOrTruncatingAndReadsBackByteForByte) {
  ScratchDir scratch;
  const std::wstring path = scratch.wide(L"out.bin");
  const std::string bytes("a\r\nb\0\x1A\xFF", 7);

  std::FILE* out = OpenFile(path.c_str(), L"wb");
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), out), bytes.size());
  EXPECT_EQ(std::fclose(out), 0);
  EXPECT_EQ(ReadAll(path), bytes);

  // Reopening for writing starts the file afresh.
  out = OpenFile(path.c_str(), L"wb");
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(fs::file_size(scratch.path() / "out.bin"), 0u);
  EXPECT_EQ(std::fwrite("xy", 1, 2, out), 2u);
  EXPECT_EQ(std::fclose(out), 0);
  EXPECT_EQ(ReadAll(path), "xy");

  EXPECT_EQ(ReadAll(scratch.wide(L"missing")), "<not opened>");
  EXPECT_EQ(OpenFile(scratch.wide(L"no/such/dir").c_str(), L"wb"), nullptr);
}

TEST(OpenFile, AcceptsOnlyTheTwoBinaryModes) {
  ScratchDir scratch;
  scratch.WriteFile("f", "data");
  const std::wstring path = scratch.wide(L"f");
  for (const wchar_t* mode : {L"r", L"w", L"ab", L"rb+", L"r+b", L"wb+", L"", L"RB"}) {
    std::FILE* file = OpenFile(path.c_str(), mode);
    EXPECT_EQ(file, nullptr);
    if (file != nullptr) std::fclose(file);
  }
  EXPECT_EQ(OpenFile(path.c_str(), nullptr), nullptr);
  EXPECT_EQ(OpenFile(nullptr, L"rb"), nullptr);
  EXPECT_EQ(OpenFile(L"", L"rb"), nullptr);
  EXPECT_EQ(ReadAll(path), "data") << "no refused mode may have changed the file";
}

TEST(OpenFile, RefusesDirectoriesPipesAndDevices) {
  ScratchDir scratch;
  fs::create_directory(scratch.path() / "dir");
  EXPECT_EQ(OpenFile(scratch.wide(L"dir").c_str(), L"rb"), nullptr);
  EXPECT_EQ(OpenFile(scratch.wide(L"dir").c_str(), L"wb"), nullptr);

  // With no writer on the other end an ordinary open of a pipe for reading
  // waits forever, and one for writing either waits or fails.
  if (!qx::plat::testing::MakeFifo((scratch.path() / "pipe").string())) {
    GTEST_SKIP() << "no named pipes here";
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(OpenFile(scratch.wide(L"pipe").c_str(), L"rb"), nullptr);
  EXPECT_EQ(OpenFile(scratch.wide(L"pipe").c_str(), L"wb"), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(fs::is_fifo(scratch.path() / "pipe"));

  // A link to a pipe is no way around it.
  fs::create_symlink("pipe", scratch.path() / "to-pipe");
  EXPECT_EQ(OpenFile(scratch.wide(L"to-pipe").c_str(), L"rb"), nullptr);

  for (const char* device : {"/dev/zero", "/dev/null"}) {
    if (!fs::is_character_file(device)) continue;
    const std::wstring wide = qx::test::Wide(device);
    EXPECT_EQ(OpenFile(wide.c_str(), L"rb"), nullptr) << device;
    EXPECT_EQ(OpenFile(wide.c_str(), L"wb"), nullptr) << device;
  }
}

TEST(OpenFile, SeeksAndTellsWithSixtyFourBitOffsets) {
  ScratchDir scratch;
  scratch.WriteFile("ten", "0123456789");
  std::FILE* file = OpenFile(scratch.wide(L"ten").c_str(), L"rb");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(qx::plat::Seek64(file, 0, SEEK_END), 0);
  EXPECT_EQ(qx::plat::Tell64(file), 10);
  EXPECT_EQ(qx::plat::Seek64(file, -3, SEEK_CUR), 0);
  EXPECT_EQ(std::fgetc(file), '7');
  EXPECT_EQ(qx::plat::Seek64(file, 0, SEEK_SET), 0);
  EXPECT_EQ(qx::plat::Tell64(file), 0);
  // Past 4 GiB: the position needs more than 32 bits (no bytes are stored).
  const std::int64_t far = std::int64_t{5} << 30;
  EXPECT_EQ(qx::plat::Seek64(file, far, SEEK_SET), 0);
  EXPECT_EQ(qx::plat::Tell64(file), far);
  EXPECT_NE(qx::plat::Seek64(file, -1, SEEK_SET), 0);
  std::fclose(file);
  EXPECT_NE(qx::plat::Seek64(nullptr, 0, SEEK_SET), 0);
  EXPECT_LT(qx::plat::Tell64(nullptr), 0);
}

TEST(CurrentDirectory, ChangesAndReportsTheDirectory) {
  if (qx::plat::kHasDrives) GTEST_SKIP() << "POSIX paths; windows_paths_test has the drive forms";
  ScratchDir scratch;
  qx::test::CwdGuard restore;
  wchar_t buffer[qx::plat::kPathCapacity];
  ASSERT_NE(qx::plat::GetCwd(buffer, qx::plat::kPathCapacity), nullptr);
  const std::wstring before = buffer;

  ASSERT_EQ(qx::plat::ChangeDir(scratch.wide().c_str()), 0);
  ASSERT_EQ(qx::plat::GetCwd(buffer, qx::plat::kPathCapacity), buffer);
  EXPECT_EQ(std::wstring(buffer), scratch.wide());
  EXPECT_EQ(fs::current_path(), scratch.path());

  // Failures leave the directory where it was.
  scratch.WriteFile("file");
  EXPECT_EQ(qx::plat::ChangeDir(L"missing"), -1);
  EXPECT_EQ(qx::plat::ChangeDir(L"file"), -1);
  EXPECT_EQ(qx::plat::ChangeDir(nullptr), -1);
  EXPECT_EQ(fs::current_path(), scratch.path());

  // A directory whose name is not UTF-8 is reported and entered again.
  const std::string raw = std::string("d") + '\xC3' + '\x28';
  fs::create_directory(scratch.path() / raw);
  ASSERT_EQ(qx::plat::ChangeDir((scratch.wide() + L"/d\xDCC3(").c_str()), 0);
  ASSERT_NE(qx::plat::GetCwd(buffer, qx::plat::kPathCapacity), nullptr);
  const std::wstring inside = buffer;
  EXPECT_EQ(inside, scratch.wide() + L"/d\xDCC3(");
  ASSERT_EQ(qx::plat::ChangeDir(L".."), 0);
  ASSERT_EQ(qx::plat::ChangeDir(inside.c_str()), 0);
  EXPECT_EQ(fs::current_path(), scratch.path() / raw);

  // The root keeps its separator; nothing else ends in one.
  ASSERT_EQ(qx::plat::ChangeDir(L"/"), 0);
  ASSERT_NE(qx::plat::GetCwd(buffer, qx::plat::kPathCapacity), nullptr);
  EXPECT_EQ(std::wstring(buffer), L"/");

  ASSERT_EQ(qx::plat::ChangeDir(before.c_str()), 0);
  EXPECT_EQ(fs::current_path(), fs::path(qx::test::Native(before)));
}

TEST(CurrentDirectory, NullWhenItDoesNotFit) {
  wchar_t buffer[qx::plat::kPathCapacity];
  ASSERT_NE(qx::plat::GetCwd(buffer, qx::plat::kPathCapacity), nullptr);
  const int length = static_cast<int>(std::wstring(buffer).size());
  EXPECT_EQ(qx::plat::GetCwd(buffer, length + 1), buffer);
  EXPECT_EQ(qx::plat::GetCwd(buffer, length), nullptr);
  EXPECT_EQ(qx::plat::GetCwd(buffer, 0), nullptr);
  EXPECT_EQ(qx::plat::GetCwd(nullptr, qx::plat::kPathCapacity), nullptr);
}

}  // namespace
