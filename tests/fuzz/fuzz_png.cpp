// Runs the PNG search over arbitrary bytes: every hit must start with the
// signature, and the hits must be exactly the reference search's, also
// through windows; and the same for the strict search against the strict
// reference.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "../scanners/reference_scanners.h"
#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  const auto length = static_cast<std::int64_t>(size);
  const auto isPng = [](const std::uint8_t* p, std::int64_t) { return std::memcmp(p, kSignature, 8) == 0; };
  for (const bool strict : {false, true}) {
    const auto expected = qx::testref::FindPngsReference(data, length, strict);
    qx::fuzz::CheckWindowed(data, length, qx::FindPngsIn, expected, -1, strict);
    // The shortest image: the signature and three 4-byte steps whose type
    // bytes read IHDR, IDAT and IEND (strict too: the IHDR's 13 data bytes,
    // which must be there, may reach past the image).
    qx::fuzz::CheckSearch(data, length, qx::fuzz::SpanSearch<qx::FindPngs>(strict), 20, isPng,
                          [&](const std::uint8_t*, std::int64_t) { return expected; });
  }
  return 0;
}
