// The JPEG search with its two tunables exposed. FindJpegs (Scanners.h) is
// this search with the defaults; tests use the options to drive both ways of
// judging candidates and to starve the search of memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "scanners/Scanners.h"

namespace qx {

struct JpegSearchOptions {
  // Supplies `bytes` zeroed bytes, released with std::free, or null when it
  // cannot. Null here means std::calloc. The search never asks for more than
  // about an eighth of the buffer's length plus 128 KiB at once.
  void* (*allocateZeroed)(std::size_t bytes) = nullptr;
  // Steps of rejected header walks the search takes one by one before it
  // judges the remaining candidates from a table instead; negative means
  // chosen from the length. 0 builds the table at the first candidate.
  std::int64_t directSteps = -1;
};

void FindJpegsWith(const std::uint8_t* data, std::int64_t length, const HitCallback& onHit,
                   const JpegSearchOptions& options);

}  // namespace qx
