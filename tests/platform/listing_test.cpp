#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using qx::plat::FindData;
using qx::plat::kAttribSubdir;
using qx::plat::kInvalidFind;
using qx::test::ScratchDir;

struct Listed {
  std::wstring name;
  std::uint32_t attrib;
  std::int64_t time;
};

// Every entry a pattern lists, in listing order; the handle is closed.
std::vector<Listed> List(const std::wstring& pattern) {
  std::vector<Listed> out;
  FindData record{};
  const qx::plat::FindHandle handle = qx::plat::FindFirst(pattern.c_str(), &record);
  if (handle == kInvalidFind) return out;
  do {
    out.push_back({record.name, record.attrib, record.time_write});
  } while (qx::plat::FindNext(handle, &record) == 0);
  EXPECT_EQ(qx::plat::FindNext(handle, &record), -1) << "a finished listing stays finished";
  EXPECT_EQ(qx::plat::FindClose(handle), 0);
  return out;
}

std::vector<std::wstring> Names(const std::wstring& pattern) {
  std::vector<std::wstring> names;
  for (const Listed& entry : List(pattern)) names.push_back(entry.name);
  return names;
}

void SetWriteTime(const fs::path& path, std::int64_t seconds) {
  const auto when = std::chrono::sys_seconds(std::chrono::seconds(seconds));
  fs::last_write_time(path, std::chrono::file_clock::from_sys(when));
}

class Listing : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"Zeta", "alpha", ".hidden", "_under", "beta", "Beta", "[x", "A.txt", "a.txt", "b.TXT"}) {
      scratch.WriteFile(name);
    }
    scratch.WriteFile(fs::path(qx::test::Native(L"\x00E9t\x00E9")));  // été
    scratch.WriteFile(fs::path(qx::test::Native(L"\x043F\x0440\x0438\x0432\x0435\x0442.doc")));  // привет.doc
  }
  std::wstring In(const std::wstring& pattern) const { return scratch.wide(pattern); }

  ScratchDir scratch;
};

TEST_F(Listing, SortsDotEntriesFirstThenByNameWithAsciiLettersFolded) {
  if (qx::plat::kHasDrives) GTEST_SKIP() << "POSIX listing rules; windows_paths_test has the runtime's";
  const std::vector<std::wstring> expected = {
      L".", L"..", L".hidden", L"[x", L"_under", L"A.txt", L"a.txt", L"alpha", L"b.TXT",
      L"Beta", L"beta", L"Zeta", L"\x00E9t\x00E9", L"\x043F\x0440\x0438\x0432\x0435\x0442.doc"};
  EXPECT_EQ(Names(In(L"*")), expected);
  // "*.*" lists the names without a dot as well.
  EXPECT_EQ(Names(In(L"*.*")), expected);
}

TEST_F(Listing, MatchesWildcardsIgnoringCase) {
  if (qx::plat::kHasDrives) GTEST_SKIP() << "POSIX listing rules; windows_paths_test has the runtime's";
  EXPECT_EQ(Names(In(L"*.txt")), (std::vector<std::wstring>{L"A.txt", L"a.txt", L"b.TXT"}));
  EXPECT_EQ(Names(In(L"?ETA")), (std::vector<std::wstring>{L"Beta", L"beta", L"Zeta"}));
  EXPECT_EQ(Names(In(L"alph?")), (std::vector<std::wstring>{L"alpha"}));
  EXPECT_EQ(Names(In(L"alpha?")), std::vector<std::wstring>{}) << "'?' needs exactly one character";
  EXPECT_EQ(Names(In(L"*a*a*")), (std::vector<std::wstring>{L"alpha"}));
  EXPECT_EQ(Names(In(L"?")), (std::vector<std::wstring>{L"."}));
  EXPECT_EQ(Names(In(L"??")), (std::vector<std::wstring>{L"..", L"[x"}));
  EXPECT_EQ(Names(In(L".*")), (std::vector<std::wstring>{L".", L"..", L".hidden"}));
  // Beyond ASCII: Latin-1 and Cyrillic capitals.
  EXPECT_EQ(Names(In(L"\x00C9T*")), (std::vector<std::wstring>{L"\x00E9t\x00E9"}));
  EXPECT_EQ(Names(In(L"\x041F\x0420\x0418\x0412\x0415\x0422.*")),
            (std::vector<std::wstring>{L"\x043F\x0440\x0438\x0432\x0435\x0442.doc"}));
  // A trailing ".*" also matches a name without any dot.
  EXPECT_EQ(Names(In(L"zeta.*")), (std::vector<std::wstring>{L"Zeta"}));
}

TEST_F(Listing, NameWithoutWildcardsIsLookedUpExactly) {
  if (qx::plat::kHasDrives) GTEST_SKIP() << "POSIX listing rules; windows_paths_test has the runtime's";
  EXPECT_EQ(Names(In(L"alpha")), (std::vector<std::wstring>{L"alpha"}));
  EXPECT_EQ(Names(In(L"ALPHA")), std::vector<std::wstring>{}) << "the file system decides case";
  const std::vector<Listed> dot = List(In(L"."));
  ASSERT_EQ(dot.size(), 1u);
  EXPECT_EQ(dot[0].name, L".");
  EXPECT_EQ(dot[0].attrib, kAttribSubdir);
  EXPECT_EQ(Names(In(L"..")), (std::vector<std::wstring>{L".."}));
}

TEST_F(Listing, FailsWhenNothingMatchesOrThePatternIsNotValid) {
  FindData record{};
  for (const std::wstring& pattern :
       {In(L"*.none"), In(L"missing"), In(L""), In(L"missing/*"), In(L"alpha/*"), std::wstring(L"")}) {
    EXPECT_EQ(qx::plat::FindFirst(pattern.c_str(), &record), kInvalidFind)
        << qx::test::Native(pattern).string();
  }
  EXPECT_EQ(qx::plat::FindFirst(nullptr, &record), kInvalidFind);
  EXPECT_EQ(qx::plat::FindFirst(In(L"*").c_str(), nullptr), kInvalidFind);
}

TEST_F(Listing, InvalidHandlesAreRejected) {
  FindData record{};
  EXPECT_EQ(qx::plat::FindNext(kInvalidFind, &record), -1);
  EXPECT_EQ(qx::plat::FindClose(kInvalidFind), -1);
  EXPECT_EQ(qx::plat::FindClose(0), -1);
  const qx::plat::FindHandle handle = qx::plat::FindFirst(In(L"*").c_str(), &record);
  ASSERT_NE(handle, kInvalidFind);
  EXPECT_EQ(qx::plat::FindClose(handle), 0);
  EXPECT_EQ(qx::plat::FindClose(handle), -1) << "closed twice";
  EXPECT_EQ(qx::plat::FindNext(handle, &record), -1) << "used after close";
}

TEST_F(Listing, RecordsDirectoriesLinksAndWriteTimes) {
  if (qx::plat::kHasDrives) GTEST_SKIP() << "POSIX listing rules; windows_paths_test has the runtime's";
  fs::create_directory(scratch.path() / "sub");
  scratch.WriteFile("sub/inner");
  fs::create_directory_symlink("sub", scratch.path() / "to-sub");
  fs::create_symlink("nowhere", scratch.path() / "dangling");
  fs::create_symlink("alpha", scratch.path() / "to-alpha");
  SetWriteTime(scratch.path() / "alpha", 1000000000);
  SetWriteTime(scratch.path() / "sub", 1234567890);

  std::vector<Listed> entries = List(In(L"*"));
  auto find = [&](const std::wstring& name) {
    for (const Listed& entry : entries) {
      if (entry.name == name) return entry;
    }
    ADD_FAILURE() << "not listed";
    return Listed{};
  };
  EXPECT_EQ(find(L".").attrib, kAttribSubdir);
  EXPECT_EQ(find(L"..").attrib, kAttribSubdir);
  EXPECT_EQ(find(L"sub").attrib, kAttribSubdir);
  EXPECT_EQ(find(L"sub").time, 1234567890);
  EXPECT_EQ(find(L"to-sub").attrib, kAttribSubdir);
  EXPECT_EQ(find(L"to-sub").time, 1234567890) << "a link shows its target's time";
  EXPECT_EQ(find(L"dangling").attrib, 0u);
  EXPECT_EQ(find(L"alpha").attrib, 0u);
  EXPECT_EQ(find(L"alpha").time, 1000000000);
  EXPECT_EQ(find(L"to-alpha").attrib, 0u);
  EXPECT_EQ(find(L"to-alpha").time, 1000000000);

  // Through the link, the directory's own entries.
  EXPECT_EQ(Names(In(L"to-sub/*")), (std::vector<std::wstring>{L".", L"..", L"inner"}));
}

TEST_F(Listing, NamesThatAreNotUtf8AreListedAndOpenedByTheirDecodedName) {
  if (qx::plat::kHasDrives) GTEST_SKIP() << "POSIX listing rules; windows_paths_test has the runtime's";
  const std::string raw = std::string("bad") + '\xFF' + '\xED' + '\xB2' + '\x80' + ".bin";
  scratch.WriteFile(fs::path(raw), "xyz");
  const std::vector<std::wstring> names = Names(In(L"*.BIN"));
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0], std::wstring(L"bad\xDCFF\xDCED\xDCB2\xDC80") + L".bin");

  std::FILE* file = qx::plat::OpenFile(In(names[0]).c_str(), L"rb");
  ASSERT_NE(file, nullptr);
  char buffer[8] = {};
  EXPECT_EQ(std::fread(buffer, 1, sizeof buffer, file), 3u);
  EXPECT_EQ(std::string(buffer), "xyz");
  std::fclose(file);

  // Looked up exactly and matched by a pattern that holds the same escapes.
  EXPECT_EQ(Names(In(names[0])), names);
  EXPECT_EQ(Names(In(L"bad\xDCFF*")), names);
}

TEST_F(Listing, TakesItsNamesAtTheStartAndItsDetailsAtDelivery) {
  if (qx::plat::kHasDrives) GTEST_SKIP() << "POSIX listing rules; windows_paths_test has the runtime's";
  SetWriteTime(scratch.path() / "Zeta", 1000000000);
  FindData record{};
  const qx::plat::FindHandle handle = qx::plat::FindFirst(In(L"*").c_str(), &record);
  ASSERT_NE(handle, kInvalidFind);
  ASSERT_EQ(std::wstring(record.name), L".");

  // Changes made while the listing is under way: a new entry, a vanished
  // one and a rewritten one.
  scratch.WriteFile("aaa-new");
  fs::remove(scratch.path() / "beta");
  SetWriteTime(scratch.path() / "Zeta", 1500000000);

  std::vector<Listed> rest;
  while (qx::plat::FindNext(handle, &record) == 0) rest.push_back({record.name, record.attrib, record.time_write});
  EXPECT_EQ(qx::plat::FindClose(handle), 0);

  bool sawZeta = false;
  for (const Listed& entry : rest) {
    EXPECT_NE(entry.name, L"aaa-new");
    EXPECT_NE(entry.name, L"beta");
    if (entry.name == L"Zeta") {
      sawZeta = true;
      EXPECT_EQ(entry.time, 1500000000);
    }
  }
  EXPECT_TRUE(sawZeta);
}

TEST_F(Listing, RelativePatternsSurviveAChangeOfDirectory) {
  qx::test::CwdGuard restore;
  fs::create_directory(scratch.path() / "sub");
  scratch.WriteFile("sub/one");
  scratch.WriteFile("sub/two");
  SetWriteTime(scratch.path() / "sub" / "two", 1000000000);
  ASSERT_EQ(qx::plat::ChangeDir(scratch.wide().c_str()), 0);

  FindData record{};
  const qx::plat::FindHandle handle = qx::plat::FindFirst(L"sub/t*", &record);
  ASSERT_NE(handle, kInvalidFind);
  EXPECT_EQ(std::wstring(record.name), L"two");
  EXPECT_EQ(qx::plat::FindClose(handle), 0);

  // The walker lists "*.*" in the current directory and enters
  // sub-directories between one entry and the next.
  scratch.WriteFile("sup");
  SetWriteTime(scratch.path() / "sup", 1100000000);
  const qx::plat::FindHandle outer = qx::plat::FindFirst(L"su*", &record);
  ASSERT_NE(outer, kInvalidFind);
  EXPECT_EQ(std::wstring(record.name), L"sub");
  ASSERT_EQ(qx::plat::ChangeDir(L"sub"), 0);
  EXPECT_EQ(Names(L"*.*"), (std::vector<std::wstring>{L".", L"..", L"one", L"two"}));
  ASSERT_EQ(qx::plat::FindNext(outer, &record), 0);
  EXPECT_EQ(std::wstring(record.name), L"sup");
  EXPECT_EQ(record.time_write, 1100000000);
  EXPECT_EQ(qx::plat::FindNext(outer, &record), -1);
  EXPECT_EQ(qx::plat::FindClose(outer), 0);
}

// A walk keeps one listing open per level; if each held a descriptor, a tree
// deeper than the descriptor limit (1024 by default) would be cut off.
TEST_F(Listing, OpenListingsHoldNoDescriptors) {
  const fs::path descriptors = "/proc/self/fd";
  if (qx::plat::kHasDrives || !fs::exists(descriptors)) GTEST_SKIP() << "needs /proc/self/fd";
  const auto countOpen = [&] {
    return std::distance(fs::directory_iterator(descriptors), fs::directory_iterator());
  };
  const auto before = countOpen();
  std::vector<qx::plat::FindHandle> handles;
  FindData record{};
  for (int i = 0; i < 50; ++i) {
    handles.push_back(qx::plat::FindFirst(In(L"*.*").c_str(), &record));
    ASSERT_NE(handles.back(), kInvalidFind);
  }
  EXPECT_EQ(countOpen(), before);
  // Entries are still described through the directory's path.
  ASSERT_EQ(qx::plat::FindNext(handles.front(), &record), 0);
  EXPECT_EQ(std::wstring(record.name), L"..");
  for (const auto handle : handles) EXPECT_EQ(qx::plat::FindClose(handle), 0);
}

TEST(DirIdentity, SameDirectoryThroughALinkDifferentDirectoriesDiffer) {
  if (qx::plat::kHasDrives) GTEST_SKIP() << "links need privileges there; windows_paths_test compares spellings";
  ScratchDir scratch;
  fs::create_directory(scratch.path() / "one");
  fs::create_directory(scratch.path() / "two");
  fs::create_directory_symlink("one", scratch.path() / "link");
  scratch.WriteFile("file");

  qx::plat::DirIdentity one{}, two{}, link{}, unused{};
  ASSERT_TRUE(qx::plat::GetDirIdentity(scratch.wide(L"one").c_str(), &one));
  ASSERT_TRUE(qx::plat::GetDirIdentity(scratch.wide(L"two").c_str(), &two));
  ASSERT_TRUE(qx::plat::GetDirIdentity(scratch.wide(L"link").c_str(), &link));
  EXPECT_EQ(one, link);
  EXPECT_NE(one, two);
  EXPECT_FALSE(qx::plat::GetDirIdentity(scratch.wide(L"file").c_str(), &unused));
  EXPECT_FALSE(qx::plat::GetDirIdentity(scratch.wide(L"missing").c_str(), &unused));
  EXPECT_FALSE(qx::plat::GetDirIdentity(nullptr, &unused));
}

}  // namespace
