#include "output/Kinds.h"

namespace qx {
namespace {

constexpr KindRow kRows[kKindCount] = {
    {ImageKind::kBmp, L"bmp", 1, L"bmp", &ExtractBmp, &BitmapSize},
    {ImageKind::kJpg, L"jpg", 2, L"jpg", &ExtractJpg, &JpegSize},
    {ImageKind::kPng, L"png", 4, L"png", &ExtractPng, &PngSize},
};

}  // namespace

std::span<const KindRow> Kinds() { return kRows; }

const KindRow& RowOf(ImageKind kind) { return kRows[static_cast<int>(kind)]; }

}  // namespace qx
