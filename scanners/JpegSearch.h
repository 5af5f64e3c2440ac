// The JPEG span search with its tunables: ScanLimits' jpegDirectSteps,
// jpegAllocateZeroed and peakBytes (its bitmap is sized by the buffer, not by
// memoryBudget), and strict. FindJpegs (Scanners.h) is this search; tests
// use the limits to drive both ways of judging candidates and to starve the
// search of memory.
#pragma once

#include <cstdint>

#include "scanners/Scanners.h"
#include "scanners/SourceScanners.h"

namespace qx {

void FindJpegsWith(const std::uint8_t* data, std::int64_t length, const HitCallback& onHit,
                   const ScanLimits& limits);

}  // namespace qx
