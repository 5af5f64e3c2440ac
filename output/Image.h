// One image on its way to the output: its kind, where its bytes are, and
// where it came from. The searches' hits and the images found inside
// decoded containers are all this one value, and all go to one sink
// (Sink.h).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "unpack/Unpack.h"

namespace qx {

// The kinds, in the order a file is searched; Kinds.h has a row for each.
enum class ImageKind : std::uint8_t { kBmp, kJpg, kPng, kGif, kIco, kCur };
inline constexpr int kKindCount = 6;

// A container an image was decoded from: its kind, and where it starts in
// the bytes it was found in.
struct Container {
  ContainerKind kind;
  std::int64_t offset;
  std::string name;  // a zip entry's, as the zip holds it
};

// A Windows program's resource an image was rebuilt from.
struct Resource {
  std::uint32_t type;  // 2 a bitmap, 14 an icon group, 12 a cursor group
  bool named;          // its name a string, else the id
  std::uint32_t id;
  std::u16string name;
  std::uint32_t language;
  std::int64_t length;  // of its data where it lies
};

struct Image {
  ImageKind kind;
  // Where its first byte lies in the bytes it was found in: the source
  // file, or the innermost stream it was decoded from.
  std::int64_t offset;
  std::int64_t length;
  // Its bytes in memory; null when they are to be copied from the source
  // file at `offset` (a file searched through windows).
  const std::uint8_t* bytes = nullptr;
  // The containers it was decoded from, outermost first. Empty for the
  // file's own images, whose bytes are the file's own at `offset`.
  std::span<const Container> within;
  // The program resource it was rebuilt from (its bytes are then not the
  // source's as they are; `offset` is where the resource's data lies), or
  // null.
  const Resource* resource = nullptr;
};

using ImageCallback = std::function<void(const Image&)>;

}  // namespace qx
