// Runs the GIF search over arbitrary bytes: every hit must start with a GIF
// signature and end with the trailer, and the hits must be exactly the
// reference search's, also through windows.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "../scanners/reference_scanners.h"
#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto length = static_cast<std::int64_t>(size);
  qx::fuzz::CheckWindowed(data, length, qx::FindGifsIn, qx::testref::FindGifsReference(data, length));
  // The shortest GIF: signature, screen, one image of one data byte, trailer.
  qx::fuzz::CheckSearch(
      data, length, qx::FindGifs, 28,
      [](const std::uint8_t* p, std::int64_t count) {
        return std::memcmp(p, "GIF8", 4) == 0 && (p[4] == '7' || p[4] == '9') && p[5] == 'a' &&
               p[count - 1] == 0x3B;
      },
      qx::testref::FindGifsReference);
  return 0;
}
