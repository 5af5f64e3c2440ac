// The searches as the road runs them: each runs one kind's search over the
// bytes it is given and hands every image it finds on, in the order of the
// bytes. What happens to an image next (written at once, queued for the
// driver's thread, compared with others) is the caller's.
#pragma once

#include <cstdint>

#include "output/Image.h"
#include "scanners/SourceScanners.h"
#include "support/ByteSource.h"

namespace qx {

// The bytes a search runs over: a span in memory, or a source read through
// windows (a file too large to be one span), with the limits of its side
// tables and whether it is strict (both kinds of input honour that).
struct SearchInput {
  const std::uint8_t* data = nullptr;  // the span; null: `source`
  std::int64_t length = 0;
  ByteSource* source = nullptr;
  ScanLimits limits{};
};

using Extractor = void (*)(const SearchInput& input, const ImageCallback& handOn);

void ExtractBmp(const SearchInput& input, const ImageCallback& handOn);
void ExtractJpg(const SearchInput& input, const ImageCallback& handOn);
void ExtractPng(const SearchInput& input, const ImageCallback& handOn);
void ExtractGif(const SearchInput& input, const ImageCallback& handOn);
// Icon and cursor files, each handed on as the kind its type says.
void ExtractIco(const SearchInput& input, const ImageCallback& handOn);

// -resources: the bitmaps, icon groups and cursor groups of the Windows
// programs found at any offset of `source`, each rebuilt as a file of its
// kind, in the order of the programs and of their resource tables; those of
// the kinds in `mask`.
void ExtractResources(ByteSource& source, std::uint32_t mask, const ImageCallback& handOn);

}  // namespace qx
