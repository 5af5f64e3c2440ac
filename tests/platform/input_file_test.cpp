// Input files: loading by mapping and by reading, new files that replace a
// name only when complete, and mapped files cut short under the reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using qx::test::ScratchDir;
using qx::test::Wide;

std::vector<std::uint8_t> Pattern(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t x = 12345;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  return bytes;
}

void WriteBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class MappingAllowed {
 public:
  explicit MappingAllowed(bool allowed) { qx::plat::InputFile::AllowMapping(allowed); }
  ~MappingAllowed() { qx::plat::InputFile::AllowMapping(true); }
  MappingAllowed(const MappingAllowed&) = delete;
  MappingAllowed& operator=(const MappingAllowed&) = delete;
};

TEST(InputFile, MappedAndReadLoadsHoldTheSameBytes) {
  ScratchDir dir;
  const auto bytes = Pattern(300000);
  WriteBytes(dir.path() / "in.bin", bytes);
  for (const bool mapped : {true, false}) {
    SCOPED_TRACE(mapped ? "mapped" : "read");
    MappingAllowed allowed(mapped);
    qx::plat::InputFile file;
    ASSERT_TRUE(file.Open(Wide(dir.path() / "in.bin").c_str()));
    EXPECT_EQ(file.Size(), 300000);
    ASSERT_TRUE(file.Load(250001));
    ASSERT_EQ(file.Loaded(), 250001);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 250001, file.Data()));
    EXPECT_EQ(file.DamagedFrom(), -1);
    EXPECT_FALSE(file.Load(10)) << "a second load while one is held";
    file.Unload();
    EXPECT_EQ(file.Loaded(), 0);
    EXPECT_FALSE(file.Load(300001)) << "more than the file holds";
    ASSERT_TRUE(file.Load(300000));
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), file.Data()));
  }
  // An empty file loads as an empty block that can still be pointed into.
  WriteBytes(dir.path() / "empty.bin", {});
  qx::plat::InputFile empty;
  ASSERT_TRUE(empty.Open(Wide(dir.path() / "empty.bin").c_str()));
  ASSERT_TRUE(empty.Load(0));
  EXPECT_NE(empty.Data(), nullptr);
  EXPECT_EQ(empty.Loaded(), 0);
}

TEST(InputFile, AFileCutShortUnderItsMappingReadsZerosFromTheCutOn) {
  if (qx::plat::kHasDrives) GTEST_SKIP() << "Windows refuses to shorten a mapped file";
  ScratchDir dir;
  constexpr std::size_t kSize = 1 << 20;
  constexpr std::size_t kCut = 100000;
  const auto bytes = Pattern(kSize);
  const fs::path path = dir.path() / "shrinking.bin";
  WriteBytes(path, bytes);
  qx::plat::InputFile file;
  ASSERT_TRUE(file.Open(Wide(path).c_str()));
  ASSERT_TRUE(file.Load(kSize));
  ASSERT_EQ(file.DamagedFrom(), -1);
  fs::resize_file(path, kCut);

  const std::uint8_t* data = file.Data();
  // Past the cut the pages are gone: reading them must neither end the
  // process nor show the old bytes.
  EXPECT_EQ(data[900000], 0);
  const std::int64_t first = file.DamagedFrom();
  EXPECT_GE(first, static_cast<std::int64_t>(kCut));
  EXPECT_LE(first, 900000);
  EXPECT_EQ(data[kSize - 1], 0);
  EXPECT_EQ(data[200000], 0);
  // The mark moves down to the lowest damage seen, and stays at page
  // granularity past the end of the file.
  const std::int64_t lowest = file.DamagedFrom();
  EXPECT_LE(lowest, 200000);
  EXPECT_GE(lowest, static_cast<std::int64_t>(kCut));
  // What lies before the cut is still the file's.
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + kCut, data));
  file.Unload();
  // A new load sees the file as it is now.
  qx::plat::InputFile again;
  ASSERT_TRUE(again.Open(Wide(path).c_str()));
  EXPECT_EQ(again.Size(), static_cast<std::int64_t>(kCut));
}

class UnnamedAllowed {
 public:
  explicit UnnamedAllowed(bool allowed) { qx::plat::NewFile::AllowUnnamed(allowed); }
  ~UnnamedAllowed() { qx::plat::NewFile::AllowUnnamed(true); }
  UnnamedAllowed(const UnnamedAllowed&) = delete;
  UnnamedAllowed& operator=(const UnnamedAllowed&) = delete;
};

class NewFileBothWays : public ::testing::TestWithParam<bool> {};

TEST_P(NewFileBothWays, AppearsUnderItsNameOnlyWhenCommitted) {
  UnnamedAllowed unnamed(GetParam());
  ScratchDir dir;
  const fs::path target = dir.path() / "out_000.png";
  const auto names = [&] {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
      found.push_back(entry.path().filename().string());
    }
    return found;
  };
  qx::plat::OutputDir out;
  ASSERT_TRUE(out.Open(Wide(dir.path()).c_str()));
  {
    qx::plat::NewFile file;
    ASSERT_TRUE(file.Create(out, L"out_000.png", 0644));
    const std::uint8_t bytes[] = {'o', 'n', 'e'};
    ASSERT_TRUE(file.Write(bytes, 3));
    // Nothing is under the name yet: at most a temporary, with a name no
    // output can have (none at all where files can be made without one).
    const auto during = names();
    ASSERT_LE(during.size(), 1u);
    for (const std::string& name : during) {
      EXPECT_EQ(name.rfind(".qx", 0), 0u) << name;
      EXPECT_EQ(name.size(), 8u);
    }
    ASSERT_TRUE(file.Commit());
  }
  EXPECT_EQ(ReadText(target), "one");
  EXPECT_EQ(names(), std::vector<std::string>{"out_000.png"});
  {
    // Abandoned, by the destructor: the old content stays, nothing is left.
    qx::plat::NewFile file;
    ASSERT_TRUE(file.Create(out, L"out_000.png", 0644));
    const std::uint8_t bytes[] = {'t', 'w', 'o'};
    ASSERT_TRUE(file.Write(bytes, 3));
  }
  EXPECT_EQ(ReadText(target), "one");
  EXPECT_EQ(names(), std::vector<std::string>{"out_000.png"});
  // A name that is a directory cannot be replaced; the temporary goes.
  fs::create_directory(dir.path() / "dir_000.png");
  qx::plat::NewFile blocked;
  ASSERT_TRUE(blocked.Create(out, L"dir_000.png", 0644));
  ASSERT_TRUE(blocked.Write(reinterpret_cast<const std::uint8_t*>("x"), 1));
  EXPECT_FALSE(blocked.Commit());
  EXPECT_EQ(names().size(), 2u);
  // No directory, no file; and a name is a name in the directory, never a
  // path leading out of it.
  qx::plat::OutputDir missing;
  EXPECT_FALSE(missing.Open(Wide(dir.path() / "missing").c_str()));
  qx::plat::NewFile nowhere;
  EXPECT_FALSE(nowhere.Create(missing, L"a_000.png", 0644));
  EXPECT_FALSE(nowhere.Create(out, L"../a_000.png", 0644));
  EXPECT_FALSE(nowhere.Create(out, L"", 0644));
  // A link at the name is replaced by the file, its target left alone.
  if (qx::plat::kHasDrives) return;
  { std::ofstream(dir.path() / "target.txt") << "kept"; }
  fs::create_symlink(dir.path() / "target.txt", dir.path() / "link_000.png");
  qx::plat::NewFile overLink;
  ASSERT_TRUE(overLink.Create(out, L"link_000.png", 0644));
  ASSERT_TRUE(overLink.Write(reinterpret_cast<const std::uint8_t*>("new"), 3));
  ASSERT_TRUE(overLink.Commit());
  EXPECT_FALSE(fs::is_symlink(dir.path() / "link_000.png"));
  EXPECT_EQ(ReadText(dir.path() / "link_000.png"), "new");
  EXPECT_EQ(ReadText(dir.path() / "target.txt"), "kept");
  for (const std::string& name : names()) EXPECT_NE(name.rfind(".qx", 0), 0u) << name;
}

TEST(OutputDir, KeepsTheDirectoryItWasOpenedInWhateverIsCurrentLater) {
  ScratchDir dir;
  fs::create_directories(dir.path() / "a");
  fs::create_directories(dir.path() / "b");
  const fs::path before = fs::current_path();
  fs::current_path(dir.path() / "a");
  qx::plat::OutputDir here;
  const bool opened = here.Open(L"");
  fs::current_path(dir.path() / "b");
  qx::plat::NewFile file;
  const bool created = opened && file.Create(here, L"x_000.bmp", 0644) &&
                       file.Write(reinterpret_cast<const std::uint8_t*>("x"), 1) && file.Commit();
  fs::current_path(before);
  ASSERT_TRUE(created);
  EXPECT_EQ(ReadText(dir.path() / "a" / "x_000.bmp"), "x");
  EXPECT_FALSE(fs::exists(dir.path() / "b" / "x_000.bmp"));
}

INSTANTIATE_TEST_SUITE_P(NewFile, NewFileBothWays, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Unnamed" : "NamedTemporary";
                         });

}  // namespace
