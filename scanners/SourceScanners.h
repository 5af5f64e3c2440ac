// The searches over a ByteSource of any length, read through its
// windows: for files too large to be one span.
//
// Each reports exactly the hits its span search (Scanners.h) would report
// over the whole sequence as one span, in order, as (start, length) with
// start + length <= Length(). What a search remembers to stay linear on
// hostile content is held within limits.memoryBudget bytes whatever the
// sequence's length (beside a few fixed pieces of at most 256 KiB in all:
// the JPEG pass's ring, a page of PNG bits); memory that is refused or
// beyond the budget is done without, which can make a search slower but
// never changes a hit. A budget too small for the JPEG checkpoints of a very
// long range leaves its candidates to be walked one by one. Views need hold
// no particular number of bytes. Bytes
// that change while they are read (a file rewritten under the scan) may
// change the hits, but never make a search read outside a view, report a
// hit outside the sequence, or fail to end.
//
// Slots: each search uses the source's slots 0 to 3 (kByteSourceSlots) for
// itself and views nothing after it returns. A source may be searched by one
// search at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "scanners/Scanners.h"
#include "support/ByteSource.h"

namespace qx {

inline constexpr std::int64_t kDefaultScanBudget = std::int64_t{64} << 20;

struct ScanLimits {
  // Bytes of side tables a search over a source may hold at once
  // (checkpoints, bitmaps, prefix CRCs), beside the source's own windows.
  // The span searches size theirs by the buffer instead (docs/ARCHITECTURE.md,
  // "Scanner memory").
  std::int64_t memoryBudget = kDefaultScanBudget;
  // JPEG only, for tests and fuzzing: the steps of rejected header walks
  // taken one by one before the remaining candidates are judged by the
  // backward pass instead; negative means chosen from the length, 0 judges
  // them at the first candidate.
  std::int64_t jpegDirectSteps = -1;
  // JPEG only: supplies `bytes` zeroed bytes, released with std::free, or
  // null when it cannot; null here means std::calloc. Over a span the search
  // never asks for more than about an eighth of the buffer plus 128 KiB.
  void* (*jpegAllocateZeroed)(std::size_t bytes) = nullptr;
  // When set, receives the most side-table memory the search held at once.
  std::int64_t* peakBytes = nullptr;
  // -strict: a candidate that passes a search's tests must also be a
  // plausible image of its kind, or it is rejected like any other (BMP:
  // header fields; JPEG: a frame header and a scan among the segments;
  // PNG: a valid IHDR). The rules are at the top of each search's source.
  bool strict = false;
};

void FindBitmapsIn(ByteSource& source, const HitCallback& onHit, const ScanLimits& limits = {});
void FindJpegsIn(ByteSource& source, const HitCallback& onHit, const ScanLimits& limits = {});
void FindPngsIn(ByteSource& source, const HitCallback& onHit, const ScanLimits& limits = {});
void FindGifsIn(ByteSource& source, const HitCallback& onHit, const ScanLimits& limits = {});
void FindIconsIn(ByteSource& source, const HitCallback& onHit, const ScanLimits& limits = {});
void FindIconFilesIn(ByteSource& source, const IconHitCallback& onHit, const ScanLimits& limits = {});

}  // namespace qx
