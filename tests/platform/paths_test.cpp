#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "scratch_dir.h"

namespace {

using qx::plat::FullPath;
using qx::plat::SplitPath;

struct Split {
  int result = -1;
  std::wstring drive, dir, name, ext;
};

Split SplitWith(const wchar_t* path, std::size_t capacity = 260) {
  wchar_t drive[300], dir[300], name[300], ext[300];
  // Stale content must not survive a failed split.
  for (wchar_t* buffer : {drive, dir, name, ext}) buffer[0] = L'#', buffer[1] = L'\0';
  Split out;
  out.result = SplitPath(path, drive, capacity, dir, capacity, name, capacity, ext, capacity);
  out.drive = drive;
  out.dir = dir;
  out.name = name;
  out.ext = ext;
  return out;
}

void ExpectSplit(const wchar_t* path, const wchar_t* dir, const wchar_t* name, const wchar_t* ext) {
  const Split s = SplitWith(path);
  EXPECT_EQ(s.result, 0) << path;
  EXPECT_EQ(s.drive, L"") << path;
  EXPECT_EQ(s.dir, dir) << path;
  EXPECT_EQ(s.name, name) << path;
  EXPECT_EQ(s.ext, ext) << path;
}

TEST(SplitPath, CutsAtTheLastSeparatorAndTheLastDotAfterIt) {
  ExpectSplit(L"/home/user/archive.tar.gz", L"/home/user/", L"archive.tar", L".gz");
  ExpectSplit(L"archive.tar.gz", L"", L"archive.tar", L".gz");
  ExpectSplit(L"file", L"", L"file", L"");
  ExpectSplit(L"", L"", L"", L"");
  ExpectSplit(L"dir.d/sub.x/name", L"dir.d/sub.x/", L"name", L"");
  ExpectSplit(L".bashrc", L"", L"", L".bashrc");
  ExpectSplit(L"a/.profile", L"a/", L"", L".profile");
  ExpectSplit(L"name.", L"", L"name", L".");
  ExpectSplit(L"a/b/", L"a/b/", L"", L"");
  ExpectSplit(L"/", L"/", L"", L"");
  ExpectSplit(L"//x//y.z", L"//x//", L"y", L".z");
  ExpectSplit(L"./..", L"./", L".", L".");
}

TEST(SplitPath, BackslashAndColonAreOrdinaryCharactersWithoutDrives) {
  if (qx::plat::IsSeparator(L'\\') || qx::plat::kHasDrives) GTEST_SKIP() << "backslash and drives are part of the syntax here";
  ExpectSplit(L"a\\b.c", L"", L"a\\b", L".c");
  ExpectSplit(L"C:x.txt", L"", L"C:x", L".txt");
  ExpectSplit(L"dir/C:\\y", L"dir/", L"C:\\y", L"");
}

TEST(SplitPath, PartThatDoesNotFitEmptiesAllParts) {
  // "dir/" needs 5 characters with its terminator.
  Split s = SplitWith(L"dir/n.e", 5);
  EXPECT_EQ(s.result, 0);
  EXPECT_EQ(s.dir, L"dir/");
  s = SplitWith(L"dir/n.e", 4);
  EXPECT_NE(s.result, 0);
  EXPECT_EQ(s.drive, L"");
  EXPECT_EQ(s.dir, L"");
  EXPECT_EQ(s.name, L"");
  EXPECT_EQ(s.ext, L"");

  // Only the name is too long: the directory, which fits, is emptied too.
  wchar_t dir[16] = L"#", name[4] = L"#", ext[16] = L"#";
  EXPECT_NE(SplitPath(L"d/long.x", nullptr, 0, dir, 16, name, 4, ext, 16), 0);
  EXPECT_EQ(std::wstring(dir), L"");
  EXPECT_EQ(std::wstring(name), L"");
  EXPECT_EQ(std::wstring(ext), L"");

  // A part nobody asked for cannot overflow.
  EXPECT_EQ(SplitPath(L"d/long.x", nullptr, 0, dir, 16, nullptr, 0, ext, 16), 0);
  EXPECT_EQ(std::wstring(dir), L"d/");
  EXPECT_EQ(std::wstring(ext), L".x");

  // A zero-capacity buffer cannot hold even the empty string.
  wchar_t untouched[2] = L"#";
  EXPECT_NE(SplitPath(L"x", nullptr, 0, untouched, 0, name, 4, nullptr, 0), 0);
  EXPECT_EQ(untouched[0], L'#');
  EXPECT_EQ(std::wstring(name), L"");
}

TEST(SplitPath, NullPathFailsWithEmptyParts) {
  const Split s = SplitWith(nullptr);
  EXPECT_NE(s.result, 0);
  EXPECT_EQ(s.drive + s.dir + s.name + s.ext, L"");
  EXPECT_NE(SplitPath(nullptr, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0), 0);
}

std::wstring Full(const wchar_t* path, int capacity = qx::plat::kPathCapacity) {
  std::wstring out(static_cast<std::size_t>(capacity > 0 ? capacity : 1), L'#');
  if (!FullPath(path, out.data(), capacity)) return L"<failed>";
  return out.c_str();
}

TEST(FullPath, ResolvesDotsAndRepeatedSeparatorsByTheText) {
  if (qx::plat::kHasDrives) GTEST_SKIP() << "POSIX paths; windows_paths_test has the drive forms";
  EXPECT_EQ(Full(L"/a/./b//c/../d"), L"/a/b/d");
  EXPECT_EQ(Full(L"/a/b/.."), L"/a");
  EXPECT_EQ(Full(L"/a/b/../"), L"/a/");
  EXPECT_EQ(Full(L"/../../x"), L"/x");
  EXPECT_EQ(Full(L"/.."), L"/");
  EXPECT_EQ(Full(L"///"), L"/");
  EXPECT_EQ(Full(L"/a/b/"), L"/a/b/");
  EXPECT_EQ(Full(L"/a\\..\\b"), qx::plat::IsSeparator(L'\\') ? L"/b" : L"/a\\..\\b");
}

TEST(FullPath, RelativePathsStartAtTheCurrentDirectory) {
  if (qx::plat::kHasDrives) GTEST_SKIP() << "POSIX paths; windows_paths_test has the drive forms";
  qx::test::ScratchDir scratch;
  qx::test::CwdGuard restore;
  std::filesystem::create_directory(scratch.path() / "sub");
  std::filesystem::current_path(scratch.path() / "sub");
  EXPECT_EQ(Full(L"x/y.txt"), scratch.wide() + L"/sub/x/y.txt");
  EXPECT_EQ(Full(L"."), scratch.wide() + L"/sub");
  EXPECT_EQ(Full(L".."), scratch.wide());
  EXPECT_EQ(Full(L"../other/"), scratch.wide() + L"/other/");
  // The directory need not exist.
  EXPECT_EQ(Full(L"missing/../z"), scratch.wide() + L"/sub/z");
}

// link/.. is where the link's target has its parent, not where the link
// stands: such a ".." is left for the system, so the path still names the
// directory the user meant.
TEST(FullPath, KeepsDotDotAfterALink) {
  if (qx::plat::kHasDrives) GTEST_SKIP() << "POSIX links";
  qx::test::ScratchDir scratch;
  qx::test::CwdGuard restore;
  std::filesystem::create_directories(scratch.path() / "real/inner");
  std::filesystem::create_directory_symlink(scratch.path() / "real/inner", scratch.path() / "link");
  std::filesystem::current_path(scratch.path());
  EXPECT_EQ(Full(L"link/../x"), scratch.wide() + L"/link/../x");
  EXPECT_EQ(Full(L"link/../../y"), scratch.wide() + L"/link/../../y");
  EXPECT_EQ(Full(L"real/inner/../x"), scratch.wide() + L"/real/x");
}

TEST(FullPath, FailsWhenTheResultDoesNotFit) {
  if (qx::plat::kHasDrives) GTEST_SKIP() << "POSIX paths; windows_paths_test has the drive forms";
  EXPECT_EQ(Full(L"/a/b", 5), L"/a/b");
  EXPECT_EQ(Full(L"/a/b", 4), L"<failed>");
  EXPECT_EQ(Full(L"/a/../b", 3), L"/b");
  EXPECT_EQ(Full(L"/", 2), L"/");
  EXPECT_EQ(Full(L"/", 1), L"<failed>");
  EXPECT_EQ(Full(L"/", 0), L"<failed>");
  EXPECT_EQ(Full(nullptr), L"<failed>");
  EXPECT_EQ(Full(L""), L"<failed>");
}

}  // namespace
