// Runs the bitmap search over arbitrary bytes: every hit must be a "BM"
// header whose file-size field is the hit's length and whose pixel offset
// lies inside it, and the hits must be exactly the reference search's, also
// through windows; and the same for the strict search against the strict
// reference, whose hits must also hold one plane.
#include <cstddef>
#include <cstdint>

#include "../scanners/reference_scanners.h"
#include "fuzz_checks.h"
#include "support/ByteOrder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto length = static_cast<std::int64_t>(size);
  const auto isBitmap = [](const std::uint8_t* p, std::int64_t count) {
    return p[0] == 'B' && p[1] == 'M' && qx::ReadLe32(p + 2) == count && qx::ReadLe32(p + 10) < count;
  };
  qx::fuzz::CheckWindowed(data, length, qx::FindBitmapsIn,
                          qx::testref::FindBitmapsReference(data, length));
  qx::fuzz::CheckSearch(data, length, qx::fuzz::SpanSearch<qx::FindBitmaps>(false), 51, isBitmap,
                        [](const std::uint8_t* d, std::int64_t n) { return qx::testref::FindBitmapsReference(d, n); });

  const auto strictHits = qx::testref::FindBitmapsReference(data, length, true);
  qx::fuzz::CheckWindowed(data, length, qx::FindBitmapsIn, strictHits, -1, true);
  qx::fuzz::CheckSearch(
      data, length, qx::fuzz::SpanSearch<qx::FindBitmaps>(true), 51,
      [&](const std::uint8_t* p, std::int64_t count) {
        // The planes field of either header lies before the pixel offset.
        const bool core = qx::ReadLe32(p + 14) == 12;
        return isBitmap(p, count) && qx::ReadLe16(p + (core ? 22 : 26)) == 1;
      },
      [&](const std::uint8_t*, std::int64_t) { return strictHits; });
  return 0;
}
