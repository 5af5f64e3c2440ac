#include "output/Extract.h"

namespace qx {
namespace {

using SpanSearch = void (*)(const std::uint8_t*, std::int64_t, const HitCallback&, const ScanLimits&);
using SourceSearch = void (*)(ByteSource&, const HitCallback&, const ScanLimits&);

void Extract(const SearchInput& input, ImageKind kind, SpanSearch span, SourceSearch windowed,
             const ImageCallback& handOn) {
  const auto hit = [&](std::int64_t start, std::int64_t length) {
    handOn(Image{kind, start, length, input.data != nullptr ? input.data + start : nullptr, {}});
  };
  if (input.data != nullptr) {
    span(input.data, input.length, hit, input.limits);
  } else if (input.source != nullptr) {
    windowed(*input.source, hit, input.limits);
  }
}

}  // namespace

void ExtractBmp(const SearchInput& input, const ImageCallback& handOn) {
  Extract(input, ImageKind::kBmp, &FindBitmaps, &FindBitmapsIn, handOn);
}

void ExtractJpg(const SearchInput& input, const ImageCallback& handOn) {
  Extract(input, ImageKind::kJpg, &FindJpegs, &FindJpegsIn, handOn);
}

void ExtractPng(const SearchInput& input, const ImageCallback& handOn) {
  Extract(input, ImageKind::kPng, &FindPngs, &FindPngsIn, handOn);
}

}  // namespace qx
