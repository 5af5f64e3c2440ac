// The searches over bytes that another thread keeps rewriting, as a mapped
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
#include <vector>

#include "scanners/JpegSearch.h"
#include "scanners/Scanners.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Search = std::function<void(const std::uint8_t*, std::int64_t, const qx::HitCallback&)>;

void Put(Bytes& b, std::initializer_list<int> values) {
  for (int v : values) b.push_back(static_cast<std::uint8_t>(v));
}
void PutBe32(Bytes& b, std::uint32_t v) {
  Put(b, {static_cast<int>(v >> 24), static_cast<int>((v >> 16) & 0xFF),
          static_cast<int>((v >> 8) & 0xFF), static_cast<int>(v & 0xFF)});
}
void PutLe32(Bytes& b, std::uint32_t v) {
  Put(b, {static_cast<int>(v & 0xFF), static_cast<int>((v >> 8) & 0xFF),
          static_cast<int>((v >> 16) & 0xFF), static_cast<int>(v >> 24)});
}

std::uint32_t Crc(const std::uint8_t* p, std::size_t n) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t k = 0; k < n; ++k) {
    crc ^= p[k];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void PutChunk(Bytes& b, const char* type, std::size_t size) {
  PutBe32(b, static_cast<std::uint32_t>(size));
  const std::size_t at = b.size();
  b.insert(b.end(), type, type + 4);
  for (std::size_t k = 0; k < size; ++k) b.push_back(static_cast<std::uint8_t>(k * 7));
  PutBe32(b, Crc(b.data() + at, size + 4));
}

const std::initializer_list<int> kPngSignature = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

// hot: bytes the writer flips between their value and FF all the time, so
// that a walk and its retrace read them differently.
Bytes PngContent(std::mt19937& rng, std::vector<std::size_t>* hot) {
  Bytes b;
  while (b.size() < 100000) {
    switch (rng() % 6) {
      case 0:  // back-to-back signatures
        for (int k = 0; k < 500; ++k) Put(b, kPngSignature);
        break;
      case 1:  // the signature-and-length period
        for (int k = 0; k < 300; ++k) {
          Put(b, kPngSignature);
          PutBe32(b, 2000);
        }
        break;
      case 2:  // signatures into a chain of chunks, IDAT and IEND
        for (int k = 0; k < 200; ++k) Put(b, kPngSignature);
        for (int k = 0; k < 100; ++k) PutChunk(b, k % 2 ? "tEXt" : "IDAT", rng() % 64);
        PutChunk(b, "IEND", 0);
        break;
      case 3:  // whole images
        Put(b, kPngSignature);
        PutChunk(b, "IHDR", 13);
        PutChunk(b, "IDAT", 100 + rng() % 3000);
        PutChunk(b, "IEND", 0);
        break;
      case 4:  // chunks claiming gigabytes
        Put(b, kPngSignature);
        PutBe32(b, 0xFFFFFFF0u + rng() % 16);
        Put(b, {'I', 'D', 'A', 'T'});
        break;
      default:
        for (int k = 0; k < 100; ++k) b.push_back(static_cast<std::uint8_t>(rng()));
    }
  }
  // Walks that run out of bytes at the very end, on a chunk that ends with
  // the buffer: where a retrace that trusted its first reading would leave it.
  // Zeros first: a chunk of them fails its CRC, so no earlier walk gets there.
  b.insert(b.end(), 64, 0x00);
  for (int k = 0; k < 40; ++k) Put(b, kPngSignature);
  for (int k = 0; k < 60; ++k) {
    hot->push_back(b.size());
    PutChunk(b, k % 3 ? "IDAT" : "tEXt", 1 + 4 * (rng() % 3));
  }
  return b;
}

Bytes JpegContent(std::mt19937& rng) {
  Bytes b;
  while (b.size() < 100000) {
    switch (rng() % 6) {
      case 0:  // one segment chain, a start every 6 bytes
        for (int k = 0; k < 2000; ++k) Put(b, {0xFF, 0xC0, 0x00, 0x04, 0xFF, 0xD8});
        break;
      case 1:  // a header, then a run of standalone markers
        Put(b, {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x02, 0xFF, 0xE1, 0x00, 0x02});
        for (int k = 0; k < 3000; ++k) Put(b, {0xFF, 0xD0});
        break;
      case 2:  // starts whose segments overlap
        for (int k = 0; k < 1000; ++k) Put(b, {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04});
        break;
      case 3:  // valid headers, most without an end marker
        for (int k = 0; k < 300; ++k) {
          const int jump = static_cast<int>(rng() % 3000);
          Put(b, {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x02, 0xFF, 0xE1, 0x00, 0x02, 0xFF, 0xC0,
                  jump >> 8, jump & 0xFF, 0x00});
        }
        if (rng() % 2) Put(b, {0xFF, 0xD9});
        break;
      case 4:  // long steps
        for (int k = 0; k < 50; ++k) Put(b, {0xFF, 0xC4, 0xFF, static_cast<int>(rng() % 256)});
        break;
      default:
        for (int k = 0; k < 100; ++k) b.push_back(static_cast<std::uint8_t>(rng()));
    }
  }
  return b;
}

Bytes BmpContent(std::mt19937& rng) {
  Bytes b;
  while (b.size() < 100000) {
    Put(b, {'B', 'M'});
    PutLe32(b, rng() % 3 == 0 ? 0xFFFFFFF0u + rng() % 16 : 51 + rng() % 5000);
    PutLe32(b, 0);
    PutLe32(b, rng() % 200);
    PutLe32(b, rng() % 2 ? 40 : 0xFFFFFFF0u);
    for (int k = static_cast<int>(rng() % 64); k > 0; --k) b.push_back(static_cast<std::uint8_t>(rng()));
  }
  return b;
}

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
  qx::JpegSearchOptions options;
  options.directSteps = kDirectSteps;
  qx::FindJpegsWith(data, length, onHit, options);
}

TEST(RewriteUnderScan, Png) {
  std::mt19937 rng(1);
  std::vector<std::size_t> hot;
  const Bytes content = PngContent(rng, &hot);
  ScanWhileRewritten(content, {qx::FindPngs},
                     {0x89, 'P', 'N', 'G', 'I', 'H', 'D', 'R', 'E', 'N', 'A', 'T', 0x00, 0xFF, 0x07},
                     hot);
}

TEST(RewriteUnderScan, Jpeg) {
  std::mt19937 rng(2);
  ScanWhileRewritten(JpegContent(rng), {qx::FindJpegs, JpegWith<0>, JpegWith<INT64_MAX>},
                     {0xFF, 0xD8, 0xD9, 0xD0, 0xC0, 0x00, 0x01, 0x02, 0x04, 0xFF});
}

TEST(RewriteUnderScan, Bmp) {
  std::mt19937 rng(3);
  ScanWhileRewritten(BmpContent(rng), {qx::FindBitmaps}, {'B', 'M', 0x00, 0xFF, 0x80, 0x40});
}

}  // namespace
