// Structured content for the scanner tests: the hostile patterns each
// search's memos exist for (many candidates, chains walked by many of them,
// long and overlapping chunks), mixed with whole images and random bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace qx::testgen {

using Bytes = std::vector<std::uint8_t>;

// At least `size` bytes. PNG content ends in walks that run to the very
// end; `hot`, when given, receives the positions of their chunks' lengths.
Bytes PngContent(std::mt19937& rng, std::size_t size, std::vector<std::size_t>* hot = nullptr);
Bytes JpegContent(std::mt19937& rng, std::size_t size);
Bytes BmpContent(std::mt19937& rng, std::size_t size);
// Headers walking into shared chains of sub-blocks (some reaching a
// trailer, some not, with and without images), whole GIFs, runs of
// extensions, random bytes.
Bytes GifContent(std::mt19937& rng, std::size_t size);
// Icon and cursor directories whose entries point at good and damaged
// images, directories hosted in other directories' entries, runs of zeros
// and of directory heads, random bytes.
Bytes IconContent(std::mt19937& rng, std::size_t size);

// For the strict searches: the kind's content above, interleaved with
// images that pass the strict rules and copies of them with one field just
// outside a rule (so that each rule decides), and rejected images holding a
// plausible one.
Bytes BmpStrictContent(std::mt19937& rng, std::size_t size);
Bytes JpegStrictContent(std::mt19937& rng, std::size_t size);
Bytes PngStrictContent(std::mt19937& rng, std::size_t size);

}  // namespace qx::testgen
