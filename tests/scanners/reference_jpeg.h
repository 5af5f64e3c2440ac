// A deliberately plain JPEG search: byte loops, a fresh header walk per
// candidate and a fresh end search, no memo and no cache. The fast scanner
// must report exactly the same hits on every input. With `strict`, a header
// walk must also cross a frame header (SOF) and a scan header (SOS).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace qx::testref {

using JpegHits = std::vector<std::pair<std::int64_t, std::int64_t>>;

JpegHits FindJpegsReference(const std::uint8_t* data, std::int64_t length, bool strict = false);

}  // namespace qx::testref
