// Runs the JPEG search over arbitrary bytes: every hit must start with
// FF D8 FF and end with FF D9, and the hits must be exactly the reference
// search's. The search runs three times: as shipped, with every candidate
// judged by the backward table, and walking every candidate one by one; and
// the windowed search, as shipped or judging at once. All of it once as
// shipped and once strict, against the strict reference.
#include <cstddef>
#include <cstdint>
#include <limits>

#include "../scanners/reference_jpeg.h"
#include "fuzz_checks.h"
#include "scanners/JpegSearch.h"

namespace {

bool IsJpeg(const std::uint8_t* p, std::int64_t count) {
  const std::uint8_t* e = p + count;
  return p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF && e[-2] == 0xFF && e[-1] == 0xD9;
}

template <std::int64_t kDirectSteps, bool kStrict>
void SearchWith(const std::uint8_t* data, std::int64_t length, const qx::HitCallback& onHit) {
  qx::ScanLimits limits;
  limits.jpegDirectSteps = kDirectSteps;
  limits.strict = kStrict;
  qx::FindJpegsWith(data, length, onHit, limits);
}

template <bool kStrict>
void Check(const std::uint8_t* data, std::int64_t length) {
  constexpr std::int64_t kOneByOne = std::numeric_limits<std::int64_t>::max();
  const auto expected = qx::testref::FindJpegsReference(data, length, kStrict);
  const auto reference = [&](const std::uint8_t*, std::int64_t) { return expected; };
  qx::fuzz::CheckSearch(data, length, qx::fuzz::SpanSearch<qx::FindJpegs>(kStrict), 4, IsJpeg, reference);
  qx::fuzz::CheckSearch(data, length, SearchWith<0, kStrict>, 4, IsJpeg, reference);
  qx::fuzz::CheckSearch(data, length, SearchWith<kOneByOne, kStrict>, 4, IsJpeg, reference);
  // Through windows: as shipped or judged by the backward pass at once, by
  // a byte of the input.
  qx::fuzz::CheckWindowed(data, length, qx::FindJpegsIn, expected,
                          length > 1 && (data[1] & 1) != 0 ? 0 : -1, kStrict);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto length = static_cast<std::int64_t>(size);
  Check<false>(data, length);
  Check<true>(data, length);
  return 0;
}
