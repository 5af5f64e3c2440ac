// A file read through windows: every view holds the file's bytes, slots
// move independently, a file cut short reads as zeros from the cut and says
// so; and the progress line's text.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "app/FileSource.h"
#include "app/Progress.h"
#include "platform/platform.h"
#include "platform/testing_fs.h"

namespace {

namespace fs = std::filesystem;

class SourceFile {
 public:
  explicit SourceFile(std::size_t size) : bytes_(size) {
    std::mt19937 random(5);
    for (auto& b : bytes_) b = static_cast<std::uint8_t>(random());
    std::random_device seed;
    path_ = fs::temp_directory_path() / ("qx-source-" + std::to_string(seed()) + ".bin");
    std::ofstream(path_, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes_.data()), static_cast<std::streamsize>(size));
  }
  ~SourceFile() {
    std::error_code ignored;
    fs::remove(path_, ignored);
  }
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;
  const fs::path& path() const { return path_; }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  fs::path path_;
};

TEST(FileSource, ViewsHoldTheFilesBytesAcrossWindowsAndSlots) {
  SourceFile file(3 << 20);
  qx::plat::InputFile input;
  ASSERT_TRUE(input.Open(qx::plat::testing::WidePath(file.path()).c_str()));
  std::atomic<std::int64_t> progress{0};
  const auto size = static_cast<std::int64_t>(file.bytes().size());
  qx::app::FileSource source(input, size, 256 << 10, &progress);
  EXPECT_EQ(source.Length(), size);
  EXPECT_EQ(source.MinView(), 128 << 10);
  std::mt19937 random(9);
  for (int round = 0; round < 2000; ++round) {
    const int slot = static_cast<int>(random() % 4);
    const std::int64_t pos = static_cast<std::int64_t>(random() % static_cast<std::uint32_t>(size));
    std::int64_t end = 0;
    const std::uint8_t* view = source.View(slot, pos, &end);
    ASSERT_LE(end, size);
    ASSERT_GE(end, std::min(size, pos + source.MinView()));
    ASSERT_TRUE(std::equal(view, view + (end - pos), file.bytes().begin() + pos)) << pos;
  }
  // Slot 0 is the scan's position: progress follows its furthest view.
  std::int64_t end = 0;
  source.View(0, size - 1, &end);
  EXPECT_EQ(progress.load(), size - 1);
  EXPECT_EQ(source.DamagedFrom(), -1);
}

TEST(FileSource, AFileCutShortReadsZerosFromTheCut) {
  if (qx::plat::kHasDrives) GTEST_SKIP() << "Windows refuses to shorten a mapped file";
  SourceFile file(2 << 20);
  qx::plat::InputFile input;
  ASSERT_TRUE(input.Open(qx::plat::testing::WidePath(file.path()).c_str()));
  const auto size = static_cast<std::int64_t>(file.bytes().size());
  qx::app::FileSource source(input, size, 256 << 10);
  fs::resize_file(file.path(), 1000000);
  std::int64_t end = 0;
  const std::uint8_t* early = source.View(1, 0, &end);
  EXPECT_TRUE(std::equal(early, early + 1000, file.bytes().begin()));
  const std::uint8_t* late = source.View(2, 1500000, &end);
  EXPECT_EQ(late[0], 0);
  EXPECT_EQ(late[end - 1500000 - 1], 0);
  const std::int64_t damaged = source.DamagedFrom();
  EXPECT_GE(damaged, 1000000);
  EXPECT_LE(damaged, 1500000);
}

TEST(ProgressLine, TellsTheRunsWorkTheRateAndALongFilesTimeLeft) {
  using qx::app::ProgressLine;
  const ProgressLine::Counts none;
  EXPECT_EQ(ProgressLine::Text(none, 0, L"", 0, 0, 0), L"0 files, 0.0 MB, 0 images");
  const ProgressLine::Counts some{1, 2500000, 1};
  EXPECT_EQ(ProgressLine::Text(some, 2.0, L"a.bin", 0, 0, 0), L"1 file, 2.5 MB, 1 image, 1.2 MB/s; a.bin");
  // A file read through windows: its bytes count to the run's, and its own
  // rate gives the time left.
  const ProgressLine::Counts many{12, 1000000000, 57};
  EXPECT_EQ(ProgressLine::Text(many, 10.0, L"disk.img", 1000000000, 4000000000, 4.0),
            L"12 files, 2000.0 MB, 57 images, 200.0 MB/s; disk.img: 1000.0 MB of 4000.0 MB, 0:12 left");
  EXPECT_EQ(ProgressLine::Text(many, 10.0, L"d", 20, 10, 1.0),
            L"12 files, 1000.0 MB, 57 images, 100.0 MB/s; d: 0.0 MB of 0.0 MB, 0:00 left");
  EXPECT_EQ(ProgressLine::Text(none, 1.0, L"huge", 1000000000, 100000000000, 100.0),
            L"0 files, 1000.0 MB, 0 images, 1000.0 MB/s; huge: 1000.0 MB of 100000.0 MB, 2:45:00 left");
}

}  // namespace
