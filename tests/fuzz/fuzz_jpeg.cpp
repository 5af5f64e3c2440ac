// Runs the JPEG search over arbitrary bytes: every hit must start with
// FF D8 FF and end with FF D9, and the hits must be exactly the reference
// search's.
#include <cstddef>
#include <cstdint>

#include "../scanners/reference_jpeg.h"
#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qx::fuzz::CheckSearch(
      data, static_cast<std::int64_t>(size), qx::FindJpegs, 4,
      [](const std::uint8_t* p, std::int64_t count) {
        const std::uint8_t* e = p + count;
        return p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF && e[-2] == 0xFF && e[-1] == 0xD9;
      },
      qx::testref::FindJpegsReference);
  return 0;
}
