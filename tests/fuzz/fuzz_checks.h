// What every scanner fuzz target checks of a search: each hit lies inside
// the buffer, after the previous one and at least `shortest` bytes long, has
// the shape its kind requires, and the hits are exactly the reference's.
// Any breach aborts, which the fuzzer reports with the input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "scanners/Scanners.h"

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

}  // namespace qx::fuzz
