// The image kinds the tool knows, one row each: what "-extract=" calls it,
// its bit in the run's mask, the extension of its outputs, and the step that
// finds it. A new kind is one more row here and one more ImageKind.
#pragma once

#include <cstdint>
#include <span>

#include "output/Dimensions.h"
#include "output/Extract.h"
#include "output/Image.h"

namespace qx {

// What "-extract=ALL" selects: every kind there is or will be.
inline constexpr std::uint32_t kMaskAll = 0xFFFF;

struct KindRow {
  ImageKind kind;
  const wchar_t* name;       // "-extract=" value, judged by three characters
  std::uint32_t mask;        // its bit in the run's mask
  const wchar_t* extension;  // of its outputs
  // Its search, or null for a kind that only another row's search finds.
  Extractor extract;
  // The width and height its header states (Dimensions.h), or null.
  bool (*size)(const std::uint8_t* bytes, std::int64_t count, Size* size);
};

// Every kind, in the order a file is searched.
std::span<const KindRow> Kinds();
const KindRow& RowOf(ImageKind kind);

}  // namespace qx
