// A file's searches and outputs when the file changes under them: cut
// short (its outputs so far stay, nothing beyond the cut is written) or
// rewritten while it is read (no search may leave the bytes it was given);
// and the names of outputs.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/TempDir.h"
#include "common/TestBytes.h"
#include "output/Kinds.h"
#include "output/OutputNames.h"
#include "output/Sink.h"
#include "platform/platform.h"
#include "platform/testing_fs.h"

namespace {

namespace fs = std::filesystem;
using qx::Image;

using qx::testbytes::TempDir;

using qx::testbytes::Bitmap;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Outputs, AFileCutShortKeepsTheOutputsBeforeTheCutAndNothingBeyond) {
  if (qx::plat::kHasDrives) GTEST_SKIP() << "Windows refuses to shorten a mapped file";
  TempDir dir;
  // Four bitmaps of 100 KB: two before the cut, one across it, one after.
  std::string content;
  std::vector<std::string> images;
  for (const std::size_t at : {0u, 300000u, 400000u, 600000u}) {
    content.resize(at, '.');
    images.push_back(Bitmap(100000, static_cast<char>('a' + images.size())));
    content += images.back();
  }
  content.resize(800000, '.');
  const fs::path source = dir.path() / "src.bin";
  std::ofstream(source, std::ios::binary) << content;

  qx::plat::InputFile input;
  ASSERT_TRUE(input.Open(qx::plat::testing::WidePath(source).c_str()));
  ASSERT_TRUE(input.Load(input.Size()));
  fs::resize_file(source, 450000);

  std::vector<Image> hits;
  qx::ExtractBmp(qx::SearchInput{input.Data(), input.Loaded()}, [&](const Image& hit) { hits.push_back(hit); });
  EXPECT_GE(input.DamagedFrom(), 450000);
  // The search went on over zeros: the bitmap across the cut is still seen,
  // the one after it is not.
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[2].offset, 400000);

  const std::wstring path = qx::plat::testing::WidePath(source);
  qx::SinkSettings quiet;
  quiet.verbosity = 1;
  qx::Sink sink(quiet);
  qx::SourceOutputs outputs(sink, path.c_str(), &input);
  for (const Image& hit : hits) sink.WriteResource(outputs, hit);
  EXPECT_EQ(ReadAll(dir.path() / "src_000.bmp"), images[0]);
  EXPECT_EQ(ReadAll(dir.path() / "src_001.bmp"), images[1]);
  EXPECT_FALSE(fs::exists(dir.path() / "src_002.bmp"));
  std::size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 3u) << "no temporary left";
}

// Structured bytes that keep every search busy: bitmaps, JPEG headers and
// segment chains, PNG signatures and chunks, with lengths that matter.
std::vector<std::uint8_t> Busy(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<std::uint8_t> bytes(size);
  static const std::uint8_t kPieces[][12] = {
      {'B', 'M', 60, 0, 0, 0, 0, 0, 0, 0, 26, 0},
      {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x08},
      {0xFF, 0xD9, 0xFF, 0xD0, 0xFF, 0xD1, 0xFF, 0x01, 0xFF, 0xC0, 0x00, 0x02},
      {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13},
      {'I', 'H', 'D', 'R', 0, 0, 0, 0, 'I', 'D', 'A', 'T'},
      {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82}};
  for (std::size_t at = 0; at + 12 <= size;) {
    const auto& piece = kPieces[random() % 6];
    std::memcpy(&bytes[at], piece, 12);
    at += 12 + random() % 40;
  }
  return bytes;
}

TEST(Outputs, BytesRewrittenDuringTheScanNeverTakeASearchOutsideTheFile) {
  TempDir dir;
  constexpr std::size_t kSize = 4 << 20;
  const fs::path source = dir.path() / "changing.bin";
  {
    const auto bytes = Busy(kSize, 1);
    std::ofstream(source, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), kSize);
  }
  qx::plat::InputFile input;
  ASSERT_TRUE(input.Open(qx::plat::testing::WidePath(source).c_str()));
  ASSERT_TRUE(input.Load(kSize));

  // Another writer rewrites stretches of the file, which the mapping shows,
  // while the searches run over it again and again.
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    std::fstream out(source, std::ios::binary | std::ios::in | std::ios::out);
    std::mt19937 random(7);
    std::uint32_t round = 2;
    while (!stop.load()) {
      const auto bytes = Busy(64 * 1024, round++);
      out.seekp(static_cast<std::streamoff>(random() % (kSize - bytes.size())));
      out.write(reinterpret_cast<const char*>(bytes.data()),
                static_cast<std::streamsize>(bytes.size()));
      out.flush();
    }
  });
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  int scans = 0;
  while (std::chrono::steady_clock::now() < until) {
    for (const qx::KindRow& row : qx::Kinds()) {
      if (row.extract == nullptr) continue;  // found by another row's search
      row.extract(qx::SearchInput{input.Data(), input.Loaded()}, [&](const Image& hit) {
        ASSERT_GE(hit.offset, 0);
        ASSERT_GT(hit.length, 0);
        ASSERT_LE(hit.offset + hit.length, static_cast<std::int64_t>(kSize));
      });
    }
    ++scans;
  }
  stop.store(true);
  writer.join();
  EXPECT_GT(scans, 0);
}

TEST(OutputNames, NumbersEachKindOnFromZeroAndRefusesANameThatDoesNotFit) {
  const std::wstring dir = std::wstring(L"d") + qx::plat::kSeparator;
  qx::OutputNames names((dir + L"archive.tar.gz").c_str());
  std::wstring path;
  std::wstring leaf;
  ASSERT_TRUE(names.Next(qx::ImageKind::kPng, &path, &leaf));
  EXPECT_EQ(path, dir + L"archive.tar_000.png");
  EXPECT_EQ(leaf, L"archive.tar_000.png");
  for (int i = 0; i < 1000; ++i) names.Taken(qx::ImageKind::kPng);
  ASSERT_TRUE(names.Next(qx::ImageKind::kPng, &path, &leaf));
  EXPECT_EQ(leaf, L"archive.tar_1000.png");
  ASSERT_TRUE(names.Next(qx::ImageKind::kBmp, &path, &leaf));
  EXPECT_EQ(leaf, L"archive.tar_000.bmp");
  ASSERT_TRUE(qx::OutputNames(L".hidden").Next(qx::ImageKind::kJpg, &path, &leaf));
  EXPECT_EQ(path, L"_000.jpg");
  // A source whose output name would be one character too long.
  const std::size_t room = static_cast<std::size_t>(qx::plat::kPathCapacity) - 1 - std::wcslen(L"_000.bmp");
  EXPECT_TRUE(qx::OutputNames((std::wstring(room, L'n') + L".x").c_str()).Next(qx::ImageKind::kBmp, &path, &leaf));
  EXPECT_EQ(path.size(), static_cast<std::size_t>(qx::plat::kPathCapacity) - 1);
  EXPECT_FALSE(qx::OutputNames((std::wstring(room + 1, L'n') + L".x").c_str()).Next(qx::ImageKind::kBmp, &path, &leaf));
}

TEST(OutputNames, AnOutputIsRecognisedByItsFormWhateverTheCase) {
  std::wstring stem;
  EXPECT_TRUE(qx::NamedLikeOutput(L"Photo_000.JPG", &stem));
  EXPECT_EQ(stem, L"photo");
  EXPECT_EQ(stem, qx::FoldedStem(L"dir/PHOTO.bin"));
  EXPECT_TRUE(qx::NamedLikeOutput(L"a_b_1234.png", &stem));
  EXPECT_EQ(stem, L"a_b");
  EXPECT_TRUE(qx::NamedLikeOutput(L"_000.bmp", &stem));
  EXPECT_EQ(stem, L"");
  // Characters beyond ASCII fold to one, so that a file system that folds
  // them cannot hide a match.
  EXPECT_TRUE(qx::NamedLikeOutput(L"\u00C9t\u00E9_000.png", &stem));
  EXPECT_EQ(stem, qx::FoldedStem(L"\u00E9T\u00C9.bin"));
  for (const wchar_t* name : {L"a_00.bmp", L"a000.bmp", L"a_000.tif", L"a_000.giff", L"a_000.bmp.txt", L"000.png", L"a_000"}) {
    EXPECT_FALSE(qx::NamedLikeOutput(name, nullptr)) << name;
  }
}

TEST(Outputs, AFailedWriteKeepsTheNumberForTheNextImageOfItsKind) {
  if (qx::plat::kHasDrives) GTEST_SKIP() << "a directory at the name is not refused there the same way";
  TempDir dir;
  const std::string bytes = Bitmap(60, 'a') + Bitmap(61, 'b');
  const fs::path source = dir.path() / "two.bin";
  std::ofstream(source, std::ios::binary) << bytes;
  // The first name is taken by a directory, which no file replaces.
  fs::create_directory(dir.path() / "two_000.bmp");
  qx::plat::InputFile input;
  ASSERT_TRUE(input.Open(qx::plat::testing::WidePath(source).c_str()));
  ASSERT_TRUE(input.Load(input.Size()));
  std::vector<std::wstring> written;
  qx::SinkSettings settings;
  settings.verbosity = 1;
  settings.written = [&](const qx::SourceOutputs&, const Image&, const std::wstring& output) { written.push_back(output); };
  qx::Sink sink(settings);
  const std::wstring path = qx::plat::testing::WidePath(source);
  qx::SourceOutputs outputs(sink, path.c_str(), &input);
  qx::ExtractBmp(qx::SearchInput{input.Data(), input.Loaded()}, [&](const Image& hit) { sink.WriteResource(outputs, hit); });
  // The first is lost; the second takes number 000 too, and the name is
  // still the directory's: nothing written, nothing said.
  EXPECT_TRUE(written.empty());
  fs::remove(dir.path() / "two_000.bmp");
  qx::ExtractBmp(qx::SearchInput{input.Data(), input.Loaded()}, [&](const Image& hit) { sink.WriteResource(outputs, hit); });
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(ReadAll(dir.path() / "two_000.bmp"), Bitmap(60, 'a'));
  EXPECT_EQ(ReadAll(dir.path() / "two_001.bmp"), Bitmap(61, 'b'));
}

}  // namespace
