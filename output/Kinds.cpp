#include "output/Kinds.h"

namespace qx {
namespace {

constexpr KindRow kRows[kKindCount] = {
    {ImageKind::kBmp, L"bmp", 1, L"bmp", &ExtractBmp, &BitmapSize},
    {ImageKind::kJpg, L"jpg", 2, L"jpg", &ExtractJpg, &JpegSize},
    {ImageKind::kPng, L"png", 4, L"png", &ExtractPng, &PngSize},
    {ImageKind::kGif, L"gif", 8, L"gif", &ExtractGif, &GifSize},
    // Icons and cursors: one kind for -extract (ICO), two extensions; the
    // one search finds both.
    {ImageKind::kIco, L"ico", 16, L"ico", &ExtractIco, nullptr},
    {ImageKind::kCur, L"ico", 16, L"cur", nullptr, nullptr},
};

}  // namespace

std::span<const KindRow> Kinds() { return kRows; }

const KindRow& RowOf(ImageKind kind) { return kRows[static_cast<int>(kind)]; }

}  // namespace qx
