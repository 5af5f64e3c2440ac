// Runs the PNG search over arbitrary bytes: every hit must lie inside the
// buffer, in order and without overlap, and start with the signature, and
// the hits must be exactly those of the plain reference search.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../scanners/reference_scanners.h"
#include "scanners/Scanners.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  const auto length = static_cast<std::int64_t>(size);
  qx::testref::ScanHits hits;
  qx::FindPngs(data, length,
               [&](std::int64_t start, std::int64_t count) { hits.emplace_back(start, count); });

  std::int64_t previousEnd = 0;
  for (const auto& [start, count] : hits) {
    const bool ordered = start >= previousEnd;
    // The shortest image: the signature and three 4-byte steps whose type
    // bytes read IHDR, IDAT and IEND.
    const bool inside = count >= 20 && start + count <= length;
    if (!ordered || !inside || std::memcmp(data + start, kSignature, 8) != 0) {
      std::fprintf(stderr, "bad hit (%lld, %lld) after end %lld in %lld bytes\n",
                   static_cast<long long>(start), static_cast<long long>(count),
                   static_cast<long long>(previousEnd), static_cast<long long>(length));
      std::abort();
    }
    previousEnd = start + count;
  }

  if (hits != qx::testref::FindPngsReference(data, length)) {
    std::fprintf(stderr, "hits differ from the reference search\n");
    std::abort();
  }
  return 0;
}
