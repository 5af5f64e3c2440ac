// -unpack: the images inside a file's containers.
//
// After a file's own images, the zip entries, gzip members and base64
// blocks in its bytes are found and decoded in memory (unpack/), the
// selected searches run over each decoded stream (and the streams are
// unpacked again, three levels deep), and every image found is handed on
// with the chain of containers it came from, to be numbered after the
// file's own. Each decoded stream is cut at 100,000,000 bytes, what one file
// decodes in all is bounded, and so is the memory held (256 MiB), the same
// for every run whatever its threads, so that bombs cost neither memory nor
// time and are cut alike.
//
// A deflate stream may hold its data as they are (stored blocks: what a
// compressor does with bytes that do not compress, such as most images), so
// an image it holds can lie in plain sight in the bytes it was decoded from,
// where the search of those bytes found it already. An image found in a
// decoded stream is therefore not handed on when the same image (kind,
// length and bytes) was found within that container's own bytes: it is one
// image, seen twice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "output/Image.h"
#include "output/Kinds.h"
#include "platform/platform.h"
#include "support/ByteSource.h"

namespace qx::app {

// The file's own images are kept for the comparison up to this many; the
// images of its containers are handed on unchecked beyond.
inline constexpr std::size_t kKeptImages = 1 << 20;

// `kinds`: the searches, `mask` the ones selected, strict or not (-strict),
// `resources` whether the pictures of programs in each stream are wanted
// too; `own`: the file's own images as they were found (their bytes in
// memory, or else in `file`).
void ExtractContained(ByteSource& source, std::span<const KindRow> kinds, std::uint32_t mask, bool strict, bool resources,
                      std::span<const Image> own, plat::InputFile& file, const ImageCallback& handOn);

}  // namespace qx::app
