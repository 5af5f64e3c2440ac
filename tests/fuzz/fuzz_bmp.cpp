// Runs the bitmap search over arbitrary bytes: every hit must lie inside the
// buffer, in order and without overlap, be a "BM" header whose file-size
// field is the hit's length, and the hits must be exactly those of the plain
// reference search.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "../scanners/reference_scanners.h"
#include "scanners/Scanners.h"
#include "support/ByteOrder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto length = static_cast<std::int64_t>(size);
  qx::testref::ScanHits hits;
  qx::FindBitmaps(data, length,
                  [&](std::int64_t start, std::int64_t count) { hits.emplace_back(start, count); });

  std::int64_t previousEnd = 0;
  for (const auto& [start, count] : hits) {
    const bool ordered = start >= previousEnd;
    const bool inside = count > 50 && start + count <= length;
    if (!ordered || !inside) {
      std::fprintf(stderr, "bad hit (%lld, %lld) after end %lld in %lld bytes\n",
                   static_cast<long long>(start), static_cast<long long>(count),
                   static_cast<long long>(previousEnd), static_cast<long long>(length));
      std::abort();
    }
    const std::uint8_t* p = data + start;
    if (p[0] != 'B' || p[1] != 'M' || qx::ReadLe32(p + 2) != count ||
        qx::ReadLe32(p + 10) >= count) {
      std::fprintf(stderr, "hit (%lld, %lld) is not a bitmap header of that size\n",
                   static_cast<long long>(start), static_cast<long long>(count));
      std::abort();
    }
    previousEnd = start + count;
  }

  if (hits != qx::testref::FindBitmapsReference(data, length)) {
    std::fprintf(stderr, "hits differ from the reference search\n");
    std::abort();
  }
  return 0;
}
