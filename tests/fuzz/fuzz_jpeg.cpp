// Runs the JPEG search over arbitrary bytes: every hit must lie inside the
// buffer, in order and without overlap, start with FF D8 FF and end with
// FF D9, and the hits must be exactly those of the plain reference search.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "../scanners/reference_jpeg.h"
#include "scanners/Scanners.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto length = static_cast<std::int64_t>(size);
  qx::testref::JpegHits hits;
  qx::FindJpegs(data, length, [&](std::int64_t start, std::int64_t count) {
    hits.emplace_back(start, count);
  });

  std::int64_t previousEnd = 0;
  for (const auto& [start, count] : hits) {
    const bool ordered = start >= previousEnd;
    const bool inside = count >= 4 && start + count <= length;
    if (!ordered || !inside) {
      std::fprintf(stderr, "bad hit (%lld, %lld) after end %lld in %lld bytes\n",
                   static_cast<long long>(start), static_cast<long long>(count),
                   static_cast<long long>(previousEnd), static_cast<long long>(length));
      std::abort();
    }
    const std::uint8_t* p = data + start;
    const std::uint8_t* e = p + count;
    if (p[0] != 0xFF || p[1] != 0xD8 || p[2] != 0xFF || e[-2] != 0xFF || e[-1] != 0xD9) {
      std::fprintf(stderr, "hit (%lld, %lld) is not framed by FF D8 FF .. FF D9\n",
                   static_cast<long long>(start), static_cast<long long>(count));
      std::abort();
    }
    previousEnd = start + count;
  }

  if (hits != qx::testref::FindJpegsReference(data, length)) {
    std::fprintf(stderr, "hits differ from the reference search\n");
    std::abort();
  }
  return 0;
}
