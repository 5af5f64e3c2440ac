#include "app/Containers.h"

#include <new>
#include <vector>

#include "app/Run.h"
#include "output/Kinds.h"
#include "support/ByteOrder.h"
#include "unpack/Unpack.h"

namespace qx::app {
namespace {

// An image found in a sequence, with the fingerprint of its bytes.
struct Found {
  ImageKind kind;
  std::int64_t start;
  std::int64_t length;
  std::uint64_t print;
};

// A 64-bit fingerprint of bytes, to tell two images apart: FNV-1a, eight
// bytes at a time folded in, then mixed.
std::uint64_t Fingerprint(const std::uint8_t* data, std::int64_t length) {
  std::uint64_t h = 0xCBF29CE484222325ull ^ static_cast<std::uint64_t>(length);
  std::int64_t i = 0;
  for (; i + 8 <= length; i += 8) {
    h = (h ^ ReadLe64(data + i)) * 0x100000001B3ull;
    h ^= h >> 29;
  }
  for (; i < length; ++i) h = (h ^ data[i]) * 0x100000001B3ull;
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  return h;
}

// The fingerprint of one of the file's own images. Those of a file searched
// through windows are read again, which only happens for an image as long
// as one found in a container over it.
bool FingerprintOwn(const Image& image, plat::InputFile& file, std::uint64_t* print) {
  if (image.bytes != nullptr) {
    *print = Fingerprint(image.bytes, image.length);
    return true;
  }
  std::vector<std::uint8_t> bytes;
  try {
    bytes.resize(static_cast<std::size_t>(image.length));
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!file.ReadAt(image.offset, bytes.data(), bytes.size())) return false;
  *print = Fingerprint(bytes.data(), image.length);
  return true;
}

}  // namespace

void ExtractContained(ByteSource& source, std::span<const KindRow> kinds, std::uint32_t mask, bool strict, bool resources,
                      std::span<const Image> own, plat::InputFile& file, const ImageCallback& handOn) {
  UnpackLimits limits;
  limits.streamBytes = kMaxFileBytes;
  limits.memoryBytes = std::int64_t{256} << 20;
  ScanLimits searchLimits;
  searchLimits.strict = strict;
  std::vector<std::vector<Found>> levels;  // levels[d - 1]: the stream of depth d last reported
  std::vector<Container> chain;            // the containers of that stream, outermost first
  // Whether an image of `kind` with these bytes lies in [from, to) of the
  // sequence a stream of `depth` was found in.
  const auto seenInParent = [&](int depth, const Found& image, std::int64_t from, std::int64_t to) {
    const auto inside = [&](ImageKind kind, std::int64_t start, std::int64_t length) {
      return kind == image.kind && length == image.length && start >= from && start + length <= to;
    };
    if (depth == 1) {
      for (const Image& mine : own) {
        std::uint64_t print = 0;
        if (inside(mine.kind, mine.offset, mine.length) && FingerprintOwn(mine, file, &print) &&
            print == image.print) {
          return true;
        }
      }
      return false;
    }
    for (const Found& found : levels[static_cast<std::size_t>(depth) - 2]) {
      if (inside(found.kind, found.start, found.length) && found.print == image.print) return true;
    }
    return false;
  };
  try {
    Unpack(source, limits, [&](const DecodedStream& stream) {
      const auto depth = static_cast<std::size_t>(stream.depth);
      levels.resize(depth);
      std::vector<Found>& found = levels.back();
      found.clear();
      chain.resize(depth - 1);
      chain.push_back(Container{stream.kind, stream.offset, std::string(stream.name)});
      for (const KindRow& row : kinds) {
        if ((mask & row.mask) == 0 || row.extract == nullptr) continue;
        row.extract(SearchInput{stream.data, stream.length, nullptr, searchLimits}, [&](const Image& image) {
          const Found mine{image.kind, image.offset, image.length, Fingerprint(image.bytes, image.length)};
          if (found.size() < kKeptImages) found.push_back(mine);
          if (seenInParent(stream.depth, mine, stream.offset, stream.end)) return;
          Image inner = image;
          inner.within = chain;
          handOn(inner);
        });
      }
      if (resources) {
        SpanSource bytes(stream.data, stream.length);
        ExtractResources(bytes, mask, [&](const Image& image) {
          Image inner = image;
          inner.within = chain;
          handOn(inner);
        });
      }
    });
  } catch (const std::bad_alloc&) {
    // Memory for the searches ran out: the file's unpacking ends here.
  }
}

}  // namespace qx::app
