// What every scanner fuzz target checks of a search: each hit lies inside
// the buffer, after the previous one and at least `shortest` bytes long, has
// the shape its kind requires, and the hits are exactly the reference's; and
// the windowed search reports the same hits through views whose size and
// budget come from the input, each view a separate copy of exactly its
// bytes, as shipped or strict. Any breach aborts, which the fuzzer reports
// with the input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "../scanners/test_sources.h"
#include "scanners/Scanners.h"
#include "scanners/SourceScanners.h"

namespace qx::fuzz {

using Hits = std::vector<std::pair<std::int64_t, std::int64_t>>;

[[noreturn]] inline void Fail(const char* what, std::int64_t start, std::int64_t count) {
  std::fprintf(stderr, "%s: hit (%lld, %lld)\n", what, static_cast<long long>(start),
               static_cast<long long>(count));
  std::abort();
}

template <class Search, class Shape, class Reference>
void CheckSearch(const std::uint8_t* data, std::int64_t length, Search search,
                 std::int64_t shortest, Shape hasShape, Reference reference) {
  Hits hits;
  search(data, length,
         [&](std::int64_t start, std::int64_t count) { hits.emplace_back(start, count); });
  std::int64_t previousEnd = 0;
  for (const auto& [start, count] : hits) {
    if (start < previousEnd) Fail("out of order or overlapping", start, count);
    if (count < shortest || start + count > length) Fail("outside the buffer", start, count);
    if (!hasShape(data + start, count)) Fail("not a resource of this kind", start, count);
    previousEnd = start + count;
  }
  if (hits != reference(data, length)) Fail("differs from the reference search", -1, -1);
}

// A span search of Scanners.h with the given strictness, as a callable of
// three arguments.
template <void (*kFind)(const std::uint8_t*, std::int64_t, const HitCallback&, const ScanLimits&)>
auto SpanSearch(bool strict) {
  return [strict](const std::uint8_t* data, std::int64_t length, const HitCallback& onHit) {
    ScanLimits limits;
    limits.strict = strict;
    kFind(data, length, onHit, limits);
  };
}

// Views of 16 to 527 bytes, and a budget from none to the default, chosen
// by bytes of the input.
template <class SourceSearch>
void CheckWindowed(const std::uint8_t* data, std::int64_t length, SourceSearch search,
                   const Hits& expected, std::int64_t jpegDirectSteps = -1, bool strict = false) {
  const std::uint32_t pick =
      length > 0 ? data[0] + 256u * data[length / 2] + 65536u * data[length - 1] : 0;
  const std::int64_t window = 16 + pick % 512;
  ScanLimits limits;
  limits.memoryBudget = (pick >> 9) % 4 == 0 ? 0 : kDefaultScanBudget >> ((pick >> 9) % 4 * 4);
  limits.jpegDirectSteps = jpegDirectSteps;
  limits.strict = strict;
  testsrc::CopyingSource source(data, length, window, pick);
  Hits hits;
  search(source, [&](std::int64_t start, std::int64_t count) { hits.emplace_back(start, count); },
         limits);
  if (hits != expected) {
    Fail(strict ? "strict windowed search differs from the reference"
                : "windowed search differs from the reference",
         window, limits.memoryBudget);
  }
}

}  // namespace qx::fuzz
