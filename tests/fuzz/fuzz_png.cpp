// Runs the PNG search over arbitrary bytes: every hit must start with the
// signature, and the hits must be exactly the reference search's, also
// through windows.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "../scanners/reference_scanners.h"
#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  // The shortest image: the signature and three 4-byte steps whose type
  // bytes read IHDR, IDAT and IEND.
  const auto length = static_cast<std::int64_t>(size);
  qx::fuzz::CheckWindowed(data, length, qx::FindPngsIn, qx::testref::FindPngsReference(data, length));
  qx::fuzz::CheckSearch(
      data, length, qx::FindPngs, 20,
      [](const std::uint8_t* p, std::int64_t) { return std::memcmp(p, kSignature, 8) == 0; },
      qx::testref::FindPngsReference);
  return 0;
}
