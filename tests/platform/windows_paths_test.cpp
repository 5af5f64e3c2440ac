// What only holds where paths have drives and '\' separates as well as '/':
// the runtime's own split, drive-relative absolute paths, its wildcard
// listing, devices and drive roots. Skipped where there are no drives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;
using qx::plat::kPathCapacity;

#define SKIP_WITHOUT_DRIVES() \
  if (!qx::plat::kHasDrives) GTEST_SKIP() << "no drive letters on this platform"

struct Split {
  std::wstring drive, dir, name, ext;
  int result;
};

Split SplitOf(const wchar_t* path, std::size_t dirCapacity = kPathCapacity) {
  std::vector<wchar_t> drive(kPathCapacity, L'#'), dir(dirCapacity, L'#'),
      name(kPathCapacity, L'#'), ext(kPathCapacity, L'#');
  const int result = qx::plat::SplitPath(path, drive.data(), drive.size(), dir.data(), dir.size(),
                                         name.data(), name.size(), ext.data(), ext.size());
  return {drive.data(), dir.data(), name.data(), ext.data(), result};
}

void ExpectSplit(const wchar_t* path, const wchar_t* drive, const wchar_t* dir,
                 const wchar_t* name, const wchar_t* ext) {
  const Split s = SplitOf(path);
  EXPECT_EQ(s.result, 0) << path;
  EXPECT_EQ(s.drive, drive) << path;
  EXPECT_EQ(s.dir, dir) << path;
  EXPECT_EQ(s.name, name) << path;
  EXPECT_EQ(s.ext, ext) << path;
}

std::wstring Cwd() {
  wchar_t buffer[kPathCapacity];
  return qx::plat::GetCwd(buffer, kPathCapacity) ? buffer : L"";
}

std::wstring Full(const std::wstring& path) {
  wchar_t buffer[kPathCapacity];
  return qx::plat::FullPath(path.c_str(), buffer, kPathCapacity) ? buffer : L"<failed>";
}

// A fresh directory under the temporary directory, removed afterwards, with
// the current directory restored as well.
class Scratch : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!qx::plat::kHasDrives) GTEST_SKIP() << "no drive letters on this platform";
    saved_ = Cwd();
    std::random_device seed;
    root_ = fs::temp_directory_path() / ("qx-win-" + std::to_string(seed()) + std::to_string(seed()));
    ASSERT_TRUE(fs::create_directory(root_));
  }
  void TearDown() override {
    if (!saved_.empty()) qx::plat::ChangeDir(saved_.c_str());
    std::error_code error;
    if (!root_.empty()) fs::remove_all(root_, error);
  }
  std::wstring At(const std::wstring& relative) const {
    return root_.wstring() + L"\\" + relative;
  }
  void Write(const std::wstring& relative, const std::string& content = "x") const {
    std::ofstream(root_ / fs::path(relative), std::ios::binary) << content;
  }
  void MakeDir(const std::wstring& relative) const { fs::create_directories(root_ / fs::path(relative)); }

  fs::path root_;
  std::wstring saved_;
};

std::vector<std::wstring> SortedNames(const std::wstring& pattern, std::vector<std::uint32_t>* attribs = nullptr) {
  std::vector<std::pair<std::wstring, std::uint32_t>> found;
  qx::plat::FindData record{};
  const qx::plat::FindHandle handle = qx::plat::FindFirst(pattern.c_str(), &record);
  if (handle != qx::plat::kInvalidFind) {
    do {
      found.emplace_back(record.name, record.attrib);
    } while (qx::plat::FindNext(handle, &record) == 0);
    EXPECT_EQ(qx::plat::FindClose(handle), 0);
  }
  // The order is the file system's own; the tests compare sets.
  std::sort(found.begin(), found.end());
  std::vector<std::wstring> names;
  for (const auto& [name, attrib] : found) {
    names.push_back(name);
    if (attribs) attribs->push_back(attrib);
  }
  return names;
}

using Names = std::vector<std::wstring>;

TEST(WindowsPaths, SplitKnowsDrivesAndBothSeparators) {
  SKIP_WITHOUT_DRIVES();
  ExpectSplit(L"C:\\Temp\\File 1.exe", L"C:", L"\\Temp\\", L"File 1", L".exe");
  ExpectSplit(L"c:/dir.x/sub/name", L"c:", L"/dir.x/sub/", L"name", L"");
  ExpectSplit(L"D:dir\\a.b.c", L"D:", L"dir\\", L"a.b", L".c");
  ExpectSplit(L"C:*.dat", L"C:", L"", L"*", L".dat");
  ExpectSplit(L"mixed/sep\\last.bin", L"", L"mixed/sep\\", L"last", L".bin");
  ExpectSplit(L"\\\\server\\share\\f.txt", L"", L"\\\\server\\share\\", L"f", L".txt");
  ExpectSplit(L"C:", L"C:", L"", L"", L"");
}

TEST(WindowsPaths, SplitEmptiesEveryPartWhenOneDoesNotFit) {
  SKIP_WITHOUT_DRIVES();
  // "\\abcd\\" is 6 characters and needs room for the terminating null.
  const Split tight = SplitOf(L"C:\\abcd\\name.ext", 6);
  EXPECT_NE(tight.result, 0);
  EXPECT_EQ(tight.drive + tight.dir + tight.name + tight.ext, L"");
  const Split fits = SplitOf(L"C:\\abcd\\name.ext", 7);
  EXPECT_EQ(fits.result, 0);
  EXPECT_EQ(fits.dir, L"\\abcd\\");
}

TEST_F(Scratch, FullPathResolvesADriveRelativePathAgainstThatDrivesDirectory) {
  MakeDir(L"work\\inner");
  ASSERT_EQ(qx::plat::ChangeDir(At(L"work").c_str()), 0);
  const std::wstring cwd = Cwd();
  ASSERT_GE(cwd.size(), 3u);
  ASSERT_EQ(cwd[1], L':');
  const std::wstring drive = cwd.substr(0, 2);
  EXPECT_EQ(Full(drive + L"a.dat"), cwd + L"\\a.dat");
  EXPECT_EQ(Full(drive + L"inner/../b.dat"), cwd + L"\\b.dat") << "'/' and '..' resolved";
  EXPECT_EQ(Full(drive + L"."), cwd);
  EXPECT_EQ(Full(L"c.dat"), cwd + L"\\c.dat");
  EXPECT_EQ(Full(drive + L"\\x\\.\\y"), drive + L"\\x\\y");

  wchar_t tiny[4];
  EXPECT_FALSE(qx::plat::FullPath(L"a.dat", tiny, 4));
}

TEST_F(Scratch, CwdOfADriveRootKeepsItsSeparator) {
  const std::wstring drive = Cwd().substr(0, 2);
  ASSERT_EQ(qx::plat::ChangeDir((drive + L"\\").c_str()), 0);
  EXPECT_EQ(Cwd(), drive + L"\\");
  ASSERT_EQ(qx::plat::ChangeDir(root_.wstring().c_str()), 0);
  EXPECT_NE(Cwd().back(), L'\\');
}

TEST_F(Scratch, ListingUsesTheRuntimesWildcards) {
  for (const wchar_t* name : {L"noext", L"Mixed.TXT", L"abc.txt", L"a.b.c", L"x.data"}) Write(name);
  MakeDir(L"Sub");
  Write(L"Sub\\deep.bin");

  std::vector<std::uint32_t> attribs;
  const Names all = SortedNames(At(L"*.*"), &attribs);
  EXPECT_EQ(all, (Names{L".", L"..", L"Mixed.TXT", L"Sub", L"a.b.c", L"abc.txt", L"noext", L"x.data"}));
  for (std::size_t i = 0; i < all.size(); ++i) {
    const bool directory = all[i] == L"." || all[i] == L".." || all[i] == L"Sub";
    EXPECT_EQ((attribs[i] & qx::plat::kAttribSubdir) != 0, directory) << all[i];
  }
  EXPECT_EQ(SortedNames(At(L"*")), all);
  EXPECT_EQ(SortedNames(At(L"*.TXT")), (Names{L"Mixed.TXT", L"abc.txt"}));
  EXPECT_EQ(SortedNames(At(L"?BC.*")), (Names{L"abc.txt"}));
  // A name without wildcards finds the one entry, under its stored spelling.
  EXPECT_EQ(SortedNames(At(L"MIXED.txt")), (Names{L"Mixed.TXT"}));
  // '/' separates in patterns just as '\' does.
  EXPECT_EQ(SortedNames(root_.wstring() + L"/Sub/*.BIN"), (Names{L"deep.bin"}));
  EXPECT_EQ(SortedNames(At(L"Sub")), (Names{L"Sub"}));
  EXPECT_TRUE(SortedNames(At(L"*.zip")).empty());
  EXPECT_TRUE(SortedNames(At(L"missing\\*.*")).empty());
}

TEST_F(Scratch, DriveRelativePatternListsThatDrivesCurrentDirectory) {
  Write(L"one.dat");
  Write(L"two.dat");
  Write(L"other.bin");
  ASSERT_EQ(qx::plat::ChangeDir(root_.wstring().c_str()), 0);
  const std::wstring drive = Cwd().substr(0, 2);
  EXPECT_EQ(SortedNames(drive + L"*.dat"), (Names{L"one.dat", L"two.dat"}));
}

TEST_F(Scratch, OpenRefusesDirectoriesAndDevices) {
  MakeDir(L"dir");
  EXPECT_EQ(qx::plat::OpenFile(At(L"dir").c_str(), L"rb"), nullptr);
  EXPECT_EQ(qx::plat::OpenFile(At(L"dir").c_str(), L"wb"), nullptr);
  EXPECT_EQ(qx::plat::OpenFile(L"NUL", L"rb"), nullptr);
  EXPECT_EQ(qx::plat::OpenFile(L"NUL", L"wb"), nullptr);
  EXPECT_EQ(qx::plat::OpenFile(At(L"NUL").c_str(), L"wb"), nullptr) << "a device name in any directory";

  // A file written through one separator is read through the other, byte
  // for byte (no newline translation either way).
  std::FILE* out = qx::plat::OpenFile((root_.wstring() + L"/bytes.bin").c_str(), L"wb");
  ASSERT_NE(out, nullptr);
  const char bytes[] = {'a', '\n', '\r', '\n', 0x1A, 'z'};
  ASSERT_EQ(std::fwrite(bytes, 1, sizeof bytes, out), sizeof bytes);
  std::fclose(out);
  std::FILE* in = qx::plat::OpenFile(At(L"bytes.bin").c_str(), L"rb");
  ASSERT_NE(in, nullptr);
  char back[16] = {};
  EXPECT_EQ(std::fread(back, 1, sizeof back, in), sizeof bytes);
  std::fclose(in);
  EXPECT_EQ(std::string(back, sizeof bytes), std::string(bytes, sizeof bytes));
}

TEST_F(Scratch, DirectoryIdentityIgnoresTheSpelling) {
  MakeDir(L"Sub\\Deeper");
  Write(L"file");
  qx::plat::DirIdentity sub{}, again{}, deeper{}, file{};
  ASSERT_TRUE(qx::plat::GetDirIdentity(At(L"Sub").c_str(), &sub));
  ASSERT_TRUE(qx::plat::GetDirIdentity((root_.wstring() + L"/sub/Deeper/..").c_str(), &again));
  ASSERT_TRUE(qx::plat::GetDirIdentity(At(L"Sub\\Deeper").c_str(), &deeper));
  EXPECT_EQ(sub, again);
  EXPECT_FALSE(sub == deeper);
  EXPECT_FALSE(qx::plat::GetDirIdentity(At(L"file").c_str(), &file));
  EXPECT_FALSE(qx::plat::GetDirIdentity(At(L"missing").c_str(), &file));
}

}  // namespace
