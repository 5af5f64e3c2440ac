#include "output/Extract.h"

#include "output/Kinds.h"
#include "programs/ProgramImages.h"

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

void ExtractGif(const SearchInput& input, const ImageCallback& handOn) {
  // GIF has no strict rules: its structure walk is strict already.
  const SpanSearch span = [](const std::uint8_t* data, std::int64_t length, const HitCallback& onHit,
                             const ScanLimits&) { FindGifs(data, length, onHit); };
  Extract(input, ImageKind::kGif, span, &FindGifsIn, handOn);
}

void ExtractIco(const SearchInput& input, const ImageCallback& handOn) {
  const auto hit = [&](std::int64_t start, std::int64_t length, bool cursor) {
    handOn(Image{cursor ? ImageKind::kCur : ImageKind::kIco, start, length,
                 input.data != nullptr ? input.data + start : nullptr, {}});
  };
  if (input.data != nullptr) {
    FindIconFiles(input.data, input.length, hit);
  } else if (input.source != nullptr) {
    FindIconFilesIn(*input.source, hit, input.limits);
  }
}

void ExtractResources(ByteSource& source, std::uint32_t mask, const ImageCallback& handOn) {
  FindProgramImages(source, [&](const ProgramImage& found) {
    const ImageKind kind = found.kind == ProgramImageKind::kBitmap      ? ImageKind::kBmp
                           : found.kind == ProgramImageKind::kIconGroup ? ImageKind::kIco
                                                                        : ImageKind::kCur;
    if ((mask & RowOf(kind).mask) == 0) return;
    const Resource resource{found.type, found.named, found.id, found.name, found.language, found.resourceLength};
    handOn(Image{kind, found.resourceOffset, found.length, found.data, {}, &resource});
  });
}

}  // namespace qx
