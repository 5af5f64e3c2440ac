// The road of every file, in process, with searches of the test's own: the
// images reach the sink in the single-threaded run's order at every thread
// count, however the searches' timing falls; a search that stalls while the
// searches queued after it fill their queues holds nothing up for good; a
// load refused for memory is tried again as older files are finished.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/TempDir.h"
#include "app/Road.h"
#include "platform/platform.h"
#include "platform/testing_fs.h"

namespace {

namespace fs = std::filesystem;
using qx::Image;
using qx::ImageKind;

using qx::testbytes::TempDir;

// The test's searches find "<k" followed by a length byte n: an image of n
// bytes from the '<', of kind k (a, b or c). Each may be slowed down; the
// first kind may stall at the start of a file that holds a '!'.
std::atomic<int> gJitter{0};
std::atomic<int> gStallMilliseconds{0};

void Find(const qx::SearchInput& input, const qx::ImageCallback& handOn, char letter, ImageKind kind) {
  ASSERT_NE(input.data, nullptr) << "the test's searches read spans";
  const std::uint8_t* data = input.data;
  const std::int64_t length = input.length;
  if (kind == ImageKind::kBmp && gStallMilliseconds > 0 && std::memchr(data, '!', static_cast<std::size_t>(length))) {
    std::this_thread::sleep_for(std::chrono::milliseconds(gStallMilliseconds.load()));
  }
  std::minstd_rand random(static_cast<unsigned>(length) * 7 + static_cast<unsigned>(letter));
  for (std::int64_t i = 0; i + 2 < length;) {
    if (data[i] != '<' || data[i + 1] != letter) {
      ++i;
      continue;
    }
    const std::int64_t size = data[i + 2];
    if (size < 3 || i + size > length) {
      ++i;
      continue;
    }
    if (gJitter > 0 && random() % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
    handOn(Image{kind, i, size, data + i, {}});
    i += size;
  }
}

void FindA(const qx::SearchInput& input, const qx::ImageCallback& handOn) { Find(input, handOn, 'a', ImageKind::kBmp); }
void FindB(const qx::SearchInput& input, const qx::ImageCallback& handOn) { Find(input, handOn, 'b', ImageKind::kJpg); }
void FindC(const qx::SearchInput& input, const qx::ImageCallback& handOn) { Find(input, handOn, 'c', ImageKind::kPng); }

constexpr qx::KindRow kTestKinds[] = {
    {ImageKind::kBmp, L"bmp", 1, L"bmp", &FindA, nullptr},
    {ImageKind::kJpg, L"jpg", 2, L"jpg", &FindB, nullptr},
    {ImageKind::kPng, L"png", 4, L"png", &FindC, nullptr},
};

std::string Tagged(char letter, int size, char fill) {
  std::string image(static_cast<std::size_t>(size), fill);
  image[0] = '<';
  image[1] = letter;
  image[2] = static_cast<char>(size);
  return image;
}

// Content of `size` bytes with `count` images of each kind, spread by `seed`.
std::string Content(std::size_t size, int count, unsigned seed) {
  std::string bytes(size, '.');
  std::minstd_rand random(seed);
  const char letters[] = {'a', 'b', 'c'};
  for (int n = 0; n < count * 3; ++n) {
    const int imageSize = 3 + static_cast<int>(random() % 60);
    const std::size_t at = random() % (size - static_cast<std::size_t>(imageSize));
    bytes.replace(at, static_cast<std::size_t>(imageSize), Tagged(letters[n % 3], imageSize, static_cast<char>('d' + n % 20)));
  }
  return bytes;
}

struct Written {
  std::wstring source;
  ImageKind kind;
  std::int64_t offset;
  std::wstring output;
  bool operator==(const Written&) const = default;
};

// Runs the road over `files` with the test's searches on `threads` threads,
// returning every image written, in order.
std::vector<Written> RunRoad(const std::vector<fs::path>& files, int threads, std::uint32_t mask = 7,
                             std::size_t queuedImages = qx::app::Road::kQueuedImages) {
  std::vector<Written> written;
  qx::SinkSettings sinkSettings;
  sinkSettings.verbosity = 1;
  sinkSettings.written = [&](const qx::SourceOutputs& source, const Image& image, const std::wstring& output) {
    written.push_back({source.Path(), image.kind, image.offset, output});
  };
  qx::Sink sink(sinkSettings);
  qx::app::Settings settings;
  settings.mask = mask;
  settings.verbosity = 1;
  settings.threads = threads;
  {
    qx::Failures failures;
    qx::app::Road road(settings, sink, failures, kTestKinds, queuedImages);
    for (const fs::path& file : files) road.Take(qx::plat::testing::WidePath(file).c_str());
  }
  return written;
}

// Files small and large (searched by the driver's thread, by the pool, their
// pages brought in by the pool), with names whose outputs collide.
std::vector<fs::path> MakeTree(const fs::path& root) {
  std::vector<fs::path> files;
  const std::size_t sizes[] = {100, 5000, 300 << 10, 1 << 20, 9 << 20, 64, 200 << 10, 2 << 20};
  for (int i = 0; i < 24; ++i) {
    const std::size_t size = sizes[i % 8] + static_cast<std::size_t>(i);
    const fs::path path = root / ("f" + std::to_string(i % 20) + (i < 20 ? ".bin" : ".dat"));
    std::ofstream(path, std::ios::binary) << Content(size, 3 + i % 5, static_cast<unsigned>(i));
    files.push_back(path);
  }
  files.push_back(files[3]);  // a file taken twice
  return files;
}

TEST(Road, EveryThreadCountWritesTheSameImagesInTheSameOrder) {
  TempDir dir;
  const std::vector<fs::path> files = MakeTree(dir.path());
  gJitter = 1;
  const std::vector<Written> single = RunRoad(files, 1);
  ASSERT_GT(single.size(), 200u);
  // The single-threaded order itself: files in the order taken, each kind
  // in turn, images in the order of the bytes.
  EXPECT_EQ(single.front().source, qx::plat::testing::WidePath(files[0]));
  for (const int threads : {2, 3, 8}) {
    EXPECT_EQ(RunRoad(files, threads), single) << threads << " threads";
  }
  gJitter = 0;
  // Only the selected kinds, still in order.
  std::vector<Written> twoKinds;
  for (const Written& each : single) {
    if (each.kind != ImageKind::kJpg) twoKinds.push_back(each);
  }
  // Names are numbered per kind, so without JPEG the others keep theirs.
  EXPECT_EQ(RunRoad(files, 3, 5), twoKinds);
}

// A road that waits for ever is a failure, not a test that never ends.
template <class Body>
void WithinAMinute(Body body) {
  std::atomic<bool> done{false};
  std::thread watchdog([&] {
    for (int tenths = 0; tenths < 600 && !done; ++tenths) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!done) {
      std::fprintf(stderr, "the road has waited for a minute: it never will be done\n");
      std::abort();
    }
  });
  body();
  done = true;
  watchdog.join();
}

TEST(Road, ASearchThatStallsWhileLaterOnesFillTheirQueuesHoldsNothingUpForGood) {
  TempDir dir;
  // More images per kind than a queue of 8 holds; the first file's first
  // search stalls, so that every search after it fills its queue and waits,
  // holding its thread: the driver, waiting for the stalled one, must still
  // get each image in order.
  constexpr std::size_t kQueue = 8;
  std::vector<fs::path> files;
  for (int i = 0; i < 4; ++i) {
    std::string bytes;
    for (int n = 0; n < 60; ++n) bytes += Tagged("abc"[n % 3], 4, 'x');
    bytes.resize(320 << 10, '.');
    if (i == 0) bytes[bytes.size() - 1] = '!';
    files.push_back(dir.path() / ("s" + std::to_string(i) + ".bin"));
    std::ofstream(files.back(), std::ios::binary) << bytes;
  }
  gStallMilliseconds = 300;
  const std::vector<Written> single = RunRoad(files, 1);
  ASSERT_EQ(single.size(), 4u * 60u);
  for (const int threads : {2, 3, 8}) {
    WithinAMinute([&] { EXPECT_EQ(RunRoad(files, threads, 7, kQueue), single) << threads << " threads"; });
  }
  gStallMilliseconds = 0;
}

// Refuses the loads of one length, a number of times.
std::atomic<std::int64_t> gRefusedLength{-1};
std::atomic<int> gRefusalsLeft{0};
std::atomic<int> gAttempts{0};

bool Refuse(std::int64_t length) {
  if (length != gRefusedLength) return false;
  ++gAttempts;
  return gRefusalsLeft.fetch_sub(1) > 0;
}

class RefusedLoads {
 public:
  RefusedLoads(std::int64_t length, int times) {
    gRefusedLength = length;
    gRefusalsLeft = times;
    gAttempts = 0;
    qx::plat::InputFile::RefuseLoads(&Refuse);
  }
  ~RefusedLoads() { qx::plat::InputFile::RefuseLoads(nullptr); }
  RefusedLoads(const RefusedLoads&) = delete;
  RefusedLoads& operator=(const RefusedLoads&) = delete;
};

TEST(Road, ALoadRefusedForMemoryIsTriedAgainAsOlderFilesAreFinished) {
  TempDir dir;
  // Three files searched by the pool, still loaded when the fourth comes.
  std::vector<fs::path> files;
  for (int i = 0; i < 5; ++i) {
    files.push_back(dir.path() / ("m" + std::to_string(i) + ".bin"));
    std::ofstream(files.back(), std::ios::binary) << Content((400 << 10) + static_cast<std::size_t>(i), 4, 50u + static_cast<unsigned>(i));
  }
  const std::int64_t refused = (400 << 10) + 3;
  const std::vector<Written> all = RunRoad(files, 1);
  const auto from = [&](const std::vector<Written>& written, std::size_t file) {
    return std::count_if(written.begin(), written.end(), [&](const Written& each) {
      return each.source == qx::plat::testing::WidePath(files[file]);
    });
  };
  ASSERT_GT(from(all, 3), 0);
  {
    // Refused twice: the third try, with older files finished, loads it.
    RefusedLoads refusals(refused, 2);
    EXPECT_EQ(RunRoad(files, 4), all);
    EXPECT_EQ(gAttempts.load(), 3);
  }
  {
    // Refused for good: tried again down to the file alone, then passed
    // over; the files after it are written all the same.
    RefusedLoads refusals(refused, 1000);
    const std::vector<Written> without = RunRoad(files, 4);
    EXPECT_EQ(from(without, 3), 0);
    EXPECT_EQ(from(without, 4), from(all, 4));
    EXPECT_EQ(without.size(), all.size() - static_cast<std::size_t>(from(all, 3)));
    EXPECT_GE(gAttempts.load(), 2);
    // One thread tries once.
    gAttempts = 0;
    EXPECT_EQ(RunRoad(files, 1), without);
    EXPECT_EQ(gAttempts.load(), 1);
  }
}

}  // namespace
