// Scanner and CRC throughput, reported as ratios to a plain pass over the
// same bytes measured in the same run, so that the figures mean something on
// a shared, noisy machine. Each figure is the best of several repetitions.
//
//   make bench            (or: build-bench/bench/quarrix_bench [MiB])
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "checksum/CCrc.h"
#include "scanners/Scanners.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

double BestSeconds(int repetitions, const std::function<void()>& work) {
  double best = 1e30;
  for (int r = 0; r < repetitions; ++r) {
    const auto start = std::chrono::steady_clock::now();
    work();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

Bytes RandomBytes(std::size_t size, std::uint64_t seed) {
  Bytes out(size);
  std::uint64_t x = seed;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return out;
}

Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The reference pass: touches every byte once, as a scan that finds nothing
// must at least do.
volatile std::size_t g_sink;
void PlainPass(const Bytes& data) {
  g_sink = static_cast<std::size_t>(std::count(data.begin(), data.end(), std::uint8_t{0x5A}));
}

std::size_t CountHits(void (*find)(const std::uint8_t*, std::int64_t, const qx::HitCallback&),
                      const Bytes& data) {
  std::size_t hits = 0;
  find(data.data(), static_cast<std::int64_t>(data.size()),
       [&](std::int64_t, std::int64_t) { ++hits; });
  return hits;
}

void Report(const char* name, const Bytes& data,
            void (*find)(const std::uint8_t*, std::int64_t, const qx::HitCallback&)) {
  std::size_t hits = 0;
  const double base = BestSeconds(5, [&] { PlainPass(data); });
  const double scan = BestSeconds(3, [&] { hits = CountHits(find, data); });
  std::printf("  %-48s %6.2f MiB %6zu hits %8.2fx plain pass (%.1f ms)\n", name,
              static_cast<double>(data.size()) / (1 << 20), hits, scan / base, scan * 1e3);
}

Bytes Repeat(const Bytes& unit, std::size_t size) {
  Bytes out;
  out.reserve(size + unit.size());
  while (out.size() < size) out.insert(out.end(), unit.begin(), unit.end());
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? static_cast<std::size_t>(std::atoi(argv[1])) : 32;
  const std::size_t size = mib << 20;

  // Random bytes with the project's test images sprinkled through them.
  Bytes mixed = RandomBytes(size, 0x9E3779B97F4A7C15ull);
  std::vector<Bytes> images;
  for (const auto& entry : std::filesystem::directory_iterator(QX_TEST_DATA_DIR)) {
    const auto ext = entry.path().extension();
    if (ext == ".bmp" || ext == ".jpg" || ext == ".png") images.push_back(ReadFile(entry.path()));
  }
  std::size_t at = 4096;
  for (std::size_t k = 0; !images.empty() && at + (1 << 16) < mixed.size(); ++k, at += 1 << 20) {
    const Bytes& image = images[k % images.size()];
    std::copy(image.begin(), image.end(), mixed.begin() + static_cast<std::ptrdiff_t>(at));
  }

  std::printf("Scanner time as a multiple of one plain pass over the same bytes:\n");
  Report("BMP, random bytes with images", mixed, qx::FindBitmaps);
  Report("JPEG, random bytes with images", mixed, qx::FindJpegs);
  Report("PNG, random bytes with images", mixed, qx::FindPngs);

  // Inputs built to make a naive scan quadratic. Each is measured at two sizes:
  // a linear scan keeps the same ratio to the plain pass at both.
  for (std::size_t hostile : {std::min<std::size_t>(size, 4 << 20), std::min<std::size_t>(size, 8 << 20)}) {
  const Bytes pngSignatures =
      Repeat({0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}, hostile);
  Report("PNG, back-to-back signatures", pngSignatures, qx::FindPngs);
  const Bytes jpegChain = Repeat({0xFF, 0xC0, 0x00, 0x04, 0xFF, 0xD8}, hostile);
  Report("JPEG, one segment chain, a start every 6 bytes", jpegChain, qx::FindJpegs);
  const Bytes jpegNoEnd =
      Repeat({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x02, 0xFF, 0xDB, 0x00, 0x02, 0xFF, 0xC4, 0x00, 0x02, 0x00},
             hostile);
  Report("JPEG, valid headers and no end marker", jpegNoEnd, qx::FindJpegs);
  const Bytes bmpHeaders = Repeat({'B', 'M', 0xFF, 0xFF, 0xFF, 0x7F}, hostile);
  Report("BMP, a rejected header every 6 bytes", bmpHeaders, qx::FindBitmaps);
  }

  // CRC-32: the engine against one table lookup per byte with its own table.
  CCrc crc;
  std::uint32_t result = 0;
  const double fast = BestSeconds(5, [&] {
    crc.Crc32_GetFromBuffer(mixed.data(), static_cast<std::uint32_t>(mixed.size()), &result);
  });
  std::uint32_t slowResult = 0;
  const double slow = BestSeconds(3, [&] {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::uint8_t b : mixed) c = (c >> 8) ^ crc.Crc32_Table[(c ^ b) & 0xFF];
    c = ~c;
    slowResult = (c >> 24) | ((c >> 8) & 0xFF00) | ((c << 8) & 0xFF0000) | (c << 24);
  });
  const double base = BestSeconds(5, [&] { PlainPass(mixed); });
  std::printf("CRC-32 of %zu MiB: engine %.2fx plain pass; one lookup per byte %.2fx; "
              "engine is %.2fx as fast (results %s)\n",
              mib, fast / base, slow / base, slow / fast, result == slowResult ? "equal" : "DIFFER");
  return result == slowResult ? 0 : 1;
}
