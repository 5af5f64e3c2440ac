// The scanners' searches: pure functions over a read-only byte span.
//
// Each reports every resource it accepts, in buffer order, as (start, length)
// to a callback, and never reads outside [data, data + length). They hold no
// state between calls and write nothing, so they can be tested, fuzzed and
// benchmarked on their own. ExtractBmp, ExtractJpg and ExtractPng
// (output/Extract.h) hand each hit on as an image. SourceScanners.h has the
// same searches over a ByteSource of any length, for files larger than one
// span: each kind is one search, written once over the readers of
// support/SlotReader.h and run over the span or the source's slots.
#pragma once

#include <cstdint>
#include <functional>

namespace qx {

using HitCallback = std::function<void(std::int64_t start, std::int64_t length)>;

// Each search below also takes the limits of SourceScanners.h, of which a
// span search reads `strict` (JPEG also its tunables, as FindJpegsWith);
// without them it is the search with ScanLimits{}.
struct ScanLimits;
void FindBitmaps(const std::uint8_t* data, std::int64_t length, const HitCallback& onHit,
                 const ScanLimits& limits);
void FindJpegs(const std::uint8_t* data, std::int64_t length, const HitCallback& onHit,
               const ScanLimits& limits);
void FindPngs(const std::uint8_t* data, std::int64_t length, const HitCallback& onHit,
              const ScanLimits& limits);

// Windows bitmaps: "BM", file size > 50 and inside the buffer, pixel offset
// below the file size, information header of at least 12 bytes inside the
// buffer. The scan resumes after an accepted bitmap.
void FindBitmaps(const std::uint8_t* data, std::int64_t length, const HitCallback& onHit);

// JPEG images: FF D8 FF, a header walk of at least three segments, then the
// first FF D9 at or after the walk's end.
void FindJpegs(const std::uint8_t* data, std::int64_t length, const HitCallback& onHit);

// PNG images: the signature, then chunks with correct CRCs until IEND, having
// seen IHDR, IDAT and IEND.
void FindPngs(const std::uint8_t* data, std::int64_t length, const HitCallback& onHit);

// GIF images: "GIF87a" or "GIF89a", the screen descriptor and its colour
// table, then extensions and image descriptors with their sub-blocks up to
// the trailer, having seen an image (FindGifs.cpp has the rules).
void FindGifs(const std::uint8_t* data, std::int64_t length, const HitCallback& onHit);

// Icons and cursors: a directory of type 1 or 2 and 1 to 64 entries, each
// image inside the bytes after the directory and starting with a bitmap
// information header that fits it or a PNG signature; the hit runs to the
// end of the last image. The type at offset 2 tells an icon from a cursor.
void FindIcons(const std::uint8_t* data, std::int64_t length, const HitCallback& onHit);

// The same, each hit telling whether it is a cursor file (type 2).
using IconHitCallback = std::function<void(std::int64_t start, std::int64_t length, bool cursor)>;
void FindIconFiles(const std::uint8_t* data, std::int64_t length, const IconHitCallback& onHit);

}  // namespace qx
