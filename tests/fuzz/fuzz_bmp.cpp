// Runs the bitmap search over arbitrary bytes: every hit must be a "BM"
// header whose file-size field is the hit's length and whose pixel offset
// lies inside it, and the hits must be exactly the reference search's, also
// through windows.
#include <cstddef>
#include <cstdint>

#include "../scanners/reference_scanners.h"
#include "fuzz_checks.h"
#include "support/ByteOrder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto length = static_cast<std::int64_t>(size);
  qx::fuzz::CheckWindowed(data, length, qx::FindBitmapsIn,
                          qx::testref::FindBitmapsReference(data, length));
  qx::fuzz::CheckSearch(
      data, length, qx::FindBitmaps, 51,
      [](const std::uint8_t* p, std::int64_t count) {
        return p[0] == 'B' && p[1] == 'M' && qx::ReadLe32(p + 2) == count &&
               qx::ReadLe32(p + 10) < count;
      },
      qx::testref::FindBitmapsReference);
  return 0;
}
