// Slow, literal versions of the BMP, PNG, GIF and icon searches, written
// straight from their step-by-step definition: byte-at-a-time loops, a
// byte-wise CRC per chunk from the CRC object's own table, no memory of
// earlier walks. The fast searches must report exactly the same hits on
// every input. With `strict`, the searches of ScanLimits::strict: each rule
// written out again from the formats' headers, as lists of what is allowed.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace qx::testref {

// (start, length) of every accepted resource, in buffer order.
using ScanHits = std::vector<std::pair<std::int64_t, std::int64_t>>;

ScanHits FindBitmapsReference(const std::uint8_t* data, std::int64_t length, bool strict = false);
ScanHits FindPngsReference(const std::uint8_t* data, std::int64_t length, bool strict = false);
ScanHits FindGifsReference(const std::uint8_t* data, std::int64_t length);
ScanHits FindIconsReference(const std::uint8_t* data, std::int64_t length);

}  // namespace qx::testref
