// The searches, span and windowed, over bytes that another thread keeps rewriting, as a mapped
// file rewritten by another process would be: whatever they read, they must
// stay inside the buffer, end, and report hits inside it. The buffer is a
// heap block of exactly its size, so that the sanitizer build catches any
// read past it. The content is built to reach the memos (many candidates,
// chains walked by many of them, long chunks, IDAT chunks).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "scanners/JpegSearch.h"
#include "scanners/Scanners.h"
#include "scanners/SourceScanners.h"
#include "structured_content.h"
#include "support/ByteSource.h"
#include "test_sources.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Search = std::function<void(const std::uint8_t*, std::int64_t, const qx::HitCallback&)>;

// Runs `searches` over and over on a copy of `content` while another thread
// rewrites its bytes: single bytes to values that matter to the searches,
// length fields to extremes, and stretches back to the original so that the
// structure keeps coming back.
void ScanWhileRewritten(const Bytes& content, const std::vector<Search>& searches,
                        std::initializer_list<int> interesting,
                        const std::vector<std::size_t>& hot = {}) {
  const std::size_t size = content.size();
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[size]);
  std::memcpy(buffer.get(), content.data(), size);
  std::uint8_t* const data = buffer.get();
  const std::vector<int> values(interesting);

  std::atomic<bool> stop{false};
  std::thread writer([&] {
    std::mt19937 rng(4321);
    for (std::size_t round = 0; !stop.load(std::memory_order_relaxed); ++round) {
      if (!hot.empty()) {
        const std::size_t at = hot[(round >> 1) % hot.size()];
        data[at] = round % 2 ? content[at] : 0xFF;
      }
      // Bytes from the first hot one on are only flipped, so that the
      // structure there (walks to the very end) stays.
      const std::size_t at = rng() % (hot.empty() ? size : hot.front());
      switch (rng() % 8) {
        case 0: {
          const std::size_t n = std::min<std::size_t>((hot.empty() ? size : hot.front()) - at, 1 + rng() % 4096);
          std::memcpy(data + at, content.data() + at, n);
          break;
        }
        case 1:
          data[at] = static_cast<std::uint8_t>(rng() % 2 ? 0xFF : 0x00);
          break;
        default:
          data[at] = static_cast<std::uint8_t>(values[rng() % values.size()]);
      }
    }
  });

  std::size_t scans = 0;
  std::size_t hits = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
  while (std::chrono::steady_clock::now() < until || scans < 2 * searches.size()) {
    const Search& search = searches[scans % searches.size()];
    std::int64_t previousEnd = 0;
    bool inside = true;
    search(data, static_cast<std::int64_t>(size), [&](std::int64_t start, std::int64_t length) {
      inside = inside && start >= previousEnd && length > 0 &&
               start + length <= static_cast<std::int64_t>(size);
      previousEnd = start + length;
      ++hits;
    });
    ++scans;
    ASSERT_TRUE(inside) << "search " << (scans - 1) % searches.size();
  }
  stop = true;
  writer.join();
  EXPECT_GE(scans, 2 * searches.size());
  ::testing::Test::RecordProperty("scans", static_cast<int>(scans));
  ::testing::Test::RecordProperty("hits", static_cast<int>(hits));
}

template <std::int64_t kDirectSteps>
void JpegWith(const std::uint8_t* data, std::int64_t length, const qx::HitCallback& onHit) {
  qx::ScanLimits limits;
  limits.jpegDirectSteps = kDirectSteps;
  qx::FindJpegsWith(data, length, onHit, limits);
}

using SpanFind = void (*)(const std::uint8_t*, std::int64_t, const qx::HitCallback&, const qx::ScanLimits&);

// The span search, as shipped or strict (which reads more fields of each
// candidate).
template <SpanFind kFind, bool kStrict = false>
void Span(const std::uint8_t* data, std::int64_t length, const qx::HitCallback& onHit) {
  qx::ScanLimits limits;
  limits.strict = kStrict;
  kFind(data, length, onHit, limits);
}

// The windowed search over the same buffer through small views, with the
// default budget or a tiny one, as shipped or strict.
template <auto kFindIn, std::int64_t kWindow, std::int64_t kBudget, bool kStrict = false>
void Windowed(const std::uint8_t* data, std::int64_t length, const qx::HitCallback& onHit) {
  qx::SpanSource source(data, length, kWindow);
  qx::ScanLimits limits;
  limits.memoryBudget = kBudget;
  limits.jpegDirectSteps = kBudget == 0 ? 0 : -1;
  limits.strict = kStrict;
  kFindIn(source, onHit, limits);
}

template <std::int64_t kDirectSteps>
void StrictJpegWith(const std::uint8_t* data, std::int64_t length, const qx::HitCallback& onHit) {
  qx::ScanLimits limits;
  limits.jpegDirectSteps = kDirectSteps;
  limits.strict = true;
  qx::FindJpegsWith(data, length, onHit, limits);
}

TEST(RewriteUnderScan, Png) {
  std::mt19937 rng(1);
  std::vector<std::size_t> hot;
  const Bytes content = qx::testgen::PngContent(rng, 100000, &hot);
  ScanWhileRewritten(content,
                     {Span<qx::FindPngs>, Windowed<qx::FindPngsIn, 4096, qx::kDefaultScanBudget>,
                      Windowed<qx::FindPngsIn, 100, 0>, Span<qx::FindPngs, true>,
                      Windowed<qx::FindPngsIn, 100, 0, true>},
                     {0x89, 'P', 'N', 'G', 'I', 'H', 'D', 'R', 'E', 'N', 'A', 'T', 0x00, 0xFF, 0x07},
                     hot);
}

TEST(RewriteUnderScan, Jpeg) {
  std::mt19937 rng(2);
  ScanWhileRewritten(qx::testgen::JpegContent(rng, 300000),
                     {Span<qx::FindJpegs>, JpegWith<0>, JpegWith<INT64_MAX>,
                      Windowed<qx::FindJpegsIn, 4096, qx::kDefaultScanBudget>,
                      Windowed<qx::FindJpegsIn, 100, 0>, StrictJpegWith<0>, StrictJpegWith<INT64_MAX>,
                      Windowed<qx::FindJpegsIn, 100, 0, true>},
                     {0xFF, 0xD8, 0xD9, 0xD0, 0xC0, 0x00, 0x01, 0x02, 0x04, 0xFF});
}

TEST(RewriteUnderScan, Bmp) {
  std::mt19937 rng(3);
  ScanWhileRewritten(qx::testgen::BmpContent(rng, 300000),
                     {Span<qx::FindBitmaps>, Windowed<qx::FindBitmapsIn, 100, 0>, Span<qx::FindBitmaps, true>,
                      Windowed<qx::FindBitmapsIn, 100, 0, true>},
                     {'B', 'M', 0x00, 0xFF, 0x80, 0x40, 0x01, 0x18, 0x0C, 0x28});
}

TEST(RewriteUnderScan, Gif) {
  std::mt19937 rng(4);
  ScanWhileRewritten(qx::testgen::GifContent(rng, 300000),
                     {qx::FindGifs, Windowed<qx::FindGifsIn, 4096, qx::kDefaultScanBudget>,
                      Windowed<qx::FindGifsIn, 100, 0>},
                     {'G', 'I', 'F', '8', '9', 'a', 0x21, 0x2C, 0x3B, 0xF9, 0xFE, 0x00, 0x01, 0x02, 0x04, 0xFF});
}

TEST(RewriteUnderScan, Icon) {
  std::mt19937 rng(5);
  ScanWhileRewritten(qx::testgen::IconContent(rng, 300000),
                     {qx::FindIcons, Windowed<qx::FindIconsIn, 100, 0>},
                     {0x00, 0x01, 0x02, 0x28, 0x40, 0x89, 'P', 0x0D, 0xFF, 0x80});
}

// The windowed searches through views of 16 to 71 bytes, each taken from
// the content or from another version of it: one with a single length field
// at the end changed, or one with bytes corrupted anywhere.
// Every field read again (a walk retraced, a length read twice) may then
// disagree with its first reading. Deterministic, unlike the thread above.
TEST(RewriteUnderScan, WindowedViewsOfChangingBytes) {
  using FindIn = void (*)(qx::ByteSource&, const qx::HitCallback&, const qx::ScanLimits&);
  std::mt19937 rng(99);
  const FindIn kFindIn[] = {qx::FindBitmapsIn, qx::FindJpegsIn, qx::FindPngsIn, qx::FindGifsIn,
                            qx::FindIconsIn};
  for (int round = 0; round < 500; ++round) {
    const int kind = round % 5;
    const FindIn findIn = kFindIn[kind];
    // PNG content is kept short, so that most rounds walk its last chunks.
    const std::size_t size = kind == 2 ? 1000 + rng() % 4000 : 20000 + rng() % 40000;
    std::vector<std::size_t> hot;
    const Bytes original = kind == 0   ? qx::testgen::BmpContent(rng, size)
                           : kind == 1 ? qx::testgen::JpegContent(rng, size)
                           : kind == 2 ? qx::testgen::PngContent(rng, size, &hot)
                           : kind == 3 ? qx::testgen::GifContent(rng, size)
                                       : qx::testgen::IconContent(rng, size);
    Bytes corrupted = original;
    for (std::size_t k = 0; k < size / 200; ++k) {
      corrupted[rng() % corrupted.size()] = static_cast<std::uint8_t>(rng() % 2 ? 0xFF : rng());
    }
    Bytes oneLength = original;
    oneLength[hot.empty() ? rng() % size : hot[rng() % hot.size()]] = 0xFF;
    const auto length = static_cast<std::int64_t>(original.size());
    // Every other PNG round leaves the corrupted version out, so that walks
    // reach the end and their retraces meet the changed length.
    std::vector<const std::uint8_t*> versions = {original.data(), oneLength.data()};
    if (kind != 2 || round % 2 == 0) versions.push_back(corrupted.data());
    qx::testsrc::ChangingSource source(versions, length, 16 + round % 12 * 5,
                                       static_cast<std::uint32_t>(round));
    qx::ScanLimits limits;
    limits.memoryBudget = round % 4 == 0 ? 0 : qx::kDefaultScanBudget;
    limits.jpegDirectSteps = round % 2 == 0 ? 0 : -1;
    limits.strict = round / 3 % 2 == 1;
    std::int64_t previousEnd = 0;
    bool inside = true;
    findIn(source, [&](std::int64_t start, std::int64_t count) {
      inside = inside && start >= previousEnd && count > 0 && start + count <= length;
      previousEnd = start + count;
    }, limits);
    ASSERT_TRUE(inside) << round;
  }
}

}  // namespace
