// Runs the icon and cursor search over arbitrary bytes: every hit must start
// with a directory of type 1 or 2 and 1 to 64 entries, and the hits must be
// exactly the reference search's, also through windows.
#include <cstddef>
#include <cstdint>

#include "../scanners/reference_scanners.h"
#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto length = static_cast<std::int64_t>(size);
  qx::fuzz::CheckWindowed(data, length, qx::FindIconsIn, qx::testref::FindIconsReference(data, length));
  // The shortest icon: the directory, one entry, an image of 40 bytes.
  qx::fuzz::CheckSearch(
      data, length, qx::FindIcons, 62,
      [](const std::uint8_t* p, std::int64_t count) {
        return p[0] == 0 && p[1] == 0 && (p[2] == 1 || p[2] == 2) && p[3] == 0 && p[4] >= 1 &&
               p[4] <= 64 && p[5] == 0 && count >= 6 + 16 * p[4] + 40;
      },
      qx::testref::FindIconsReference);
  return 0;
}
