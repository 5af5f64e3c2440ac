#include "app/FileScan.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>

#include "app/Driver.h"
#include "app/FileSource.h"
#include "scanners/Scanners.h"
#include "unpack/Unpack.h"
#include "support/ByteOrder.h"
#include "support/Console.h"

namespace qx::app {
namespace {

using plat::kPathCapacity;

struct PathParts {
  wchar_t drive[kPathCapacity];
  wchar_t dir[kPathCapacity];
  wchar_t name[kPathCapacity];
  wchar_t ext[kPathCapacity];
};

using Search = void (*)(const std::uint8_t*, std::int64_t, const HitCallback&);

}  // namespace

void Announce(const wchar_t* path, int verbosity) {
  if (verbosity != 2 && verbosity != 3) return;
  // Once the run is being interrupted no file is begun: the log ends with
  // the file whose output was being written.
  if (plat::InterruptRequested()) return;
  std::unique_ptr<PathParts> parts(new (std::nothrow) PathParts);
  if (!parts) return;
  plat::SplitPath(path, parts->drive, kPathCapacity, parts->dir, kPathCapacity, parts->name,
                  kPathCapacity, parts->ext, kPathCapacity);
  if (verbosity == 2) {
    PrintOut(L"%s%s\n", parts->name, parts->ext);
  } else {
    PrintOut(L"%s%s%s%s\n", parts->drive, parts->dir, parts->name, parts->ext);
  }
}

bool OpenAndLoad(plat::InputFile& input, const wchar_t* path, bool* noRoom) {
  *noRoom = false;
  if (!input.Open(path)) return false;
  const std::int64_t size = input.Size();
  if (size < 0) return false;
  return input.Load(size < kMaxFileBytes ? size : kMaxFileBytes, noRoom);
}

namespace {

struct SearchEntry {
  std::uint32_t bit;
  ResourceKind kind;
  Search search;
};

constexpr SearchEntry kSearches[kKindCount] = {{kMaskBmp, ResourceKind::Bmp, &FindBitmaps},
                                               {kMaskJpg, ResourceKind::Jpeg, &FindJpegs},
                                               {kMaskPng, ResourceKind::Png, &FindPngs}};

}  // namespace

bool KindSelected(std::uint32_t mask, int kind) {
  return kind >= 0 && kind < kKindCount && (mask & kSearches[kind].bit) != 0;
}

void ScanKind(const plat::InputFile& input, int kind, const std::function<void(const Hit&)>& sink) {
  if (kind < 0 || kind >= kKindCount) return;
  const SearchEntry& each = kSearches[kind];
  // Memory that runs out during a scan ends this search, like a file that
  // cannot be loaded: the run goes on.
  try {
    each.search(input.Data(), input.Loaded(), [&](std::int64_t start, std::int64_t length) {
      sink(Hit{each.kind, start, length});
    });
  } catch (const std::bad_alloc&) {
  }
}

WindowedSearch WindowedSearchFor(int threads) {
  constexpr std::int64_t kRunBudget = std::int64_t{192} << 20;
  const std::int64_t each = kRunBudget / (threads < 1 ? 1 : threads);
  WindowedSearch search{};
  // Six windows' worth for the four slots (each maps one and a half), the
  // rest for side tables.
  search.window = std::clamp<std::int64_t>(each / 24, std::int64_t{64} << 10, std::int64_t{4} << 20);
  search.limits.memoryBudget =
      std::clamp<std::int64_t>(each - 6 * search.window, std::int64_t{256} << 10, std::int64_t{48} << 20);
  return search;
}

void ScanKindWindowed(plat::InputFile& input, std::int64_t length, int kind,
                      const WindowedSearch& search, std::atomic<std::int64_t>* progress,
                      const std::function<void(const Hit&)>& sink) {
  if (kind < 0 || kind >= kKindCount) return;
  static constexpr void (*kWindowed[kKindCount])(ByteSource&, const HitCallback&,
                                                 const ScanLimits&) = {
      &FindBitmapsIn, &FindJpegsIn, &FindPngsIn};
  const ResourceKind resource = kSearches[kind].kind;
  FileSource source(input, length, search.window, progress);
  try {
    kWindowed[kind](source, [&](std::int64_t start, std::int64_t size) {
      sink(Hit{resource, start, size});
    }, search.limits);
  } catch (const std::bad_alloc&) {
  }
}

HitWriter::HitWriter(plat::InputFile& input, const wchar_t* path, const wchar_t* systemPath,
                     int verbosity, bool fromFile)
    : input_(input), fromFile_(fromFile), verbosity_(verbosity) {
  place_.path = path;
  place_.systemPath = systemPath;
  place_.permissions = input.Permissions();
  place_.intact = &HitWriter::Intact;
  place_.intactContext = &input_;
  place_.base = input.Data();
}

bool HitWriter::Intact(const void* input, std::int64_t start, std::int64_t length) {
  const std::int64_t damagedFrom = static_cast<const plat::InputFile*>(input)->DamagedFrom();
  return damagedFrom < 0 || start + length <= damagedFrom;
}

namespace {

// The source's own hits are kept for comparison up to this many; beyond,
// images of its containers are written without it.
constexpr std::size_t kKeptHits = 1 << 20;

// An image found in a sequence, with the fingerprint of its bytes.
struct Found {
  ResourceKind kind;
  std::int64_t start;
  std::int64_t length;
  std::uint64_t print;
};

// The images of one decoded stream on the way down, for the streams found
// inside it.
struct Level {
  std::vector<Found> found;
};

}  // namespace

std::uint64_t FingerprintBytes(const std::uint8_t* data, std::int64_t length, std::uint64_t seed) {
  // FNV-1a, eight bytes at a time folded in, then mixed.
  std::uint64_t h = seed ^ static_cast<std::uint64_t>(length);
  std::int64_t i = 0;
  for (; i + 8 <= length; i += 8) {
    h = (h ^ (static_cast<std::uint64_t>(ReadLe32(data + i)) |
              (static_cast<std::uint64_t>(ReadLe32(data + i + 4)) << 32))) *
        0x100000001B3ull;
    h ^= h >> 29;
  }
  for (; i < length; ++i) h = (h ^ data[i]) * 0x100000001B3ull;
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  return h;
}

void UnpackAndWrite(ByteSource& source, std::uint32_t mask, HitWriter& writer) {
  UnpackLimits limits;
  limits.streamBytes = kMaxFileBytes;
  // The same for every run, whatever its threads, so that what a bomb is
  // cut to never depends on them; the decoding is done by one thread at a
  // time.
  limits.memoryBytes = std::int64_t{256} << 20;
  std::vector<Level> levels;  // levels[d - 1]: the stream of depth d last reported
  // Whether an image of `kind` with these bytes lies in [from, to) of the
  // sequence the stream was found in.
  const auto seenInParent = [&](int depth, ResourceKind kind, std::int64_t from, std::int64_t to,
                                std::int64_t length, std::uint64_t print) {
    if (depth == 1) {
      for (const Hit& hit : writer.Hits()) {
        if (hit.kind != kind || hit.length != length || hit.start < from || hit.start + length > to) {
          continue;
        }
        std::uint64_t raw = 0;
        if (writer.Fingerprint(hit, &raw) && raw == print) return true;
      }
      return false;
    }
    for (const Found& found : levels[static_cast<std::size_t>(depth) - 2].found) {
      if (found.kind == kind && found.length == length && found.start >= from &&
          found.start + length <= to && found.print == print) {
        return true;
      }
    }
    return false;
  };
  try {
    Unpack(source, limits, [&](const DecodedStream& stream) {
      levels.resize(static_cast<std::size_t>(stream.depth));
      Level& level = levels.back();
      level.found.clear();
      for (const SearchEntry& each : kSearches) {
        if ((mask & each.bit) == 0) continue;
        each.search(stream.data, stream.length, [&](std::int64_t start, std::int64_t length) {
          const std::uint64_t print = FingerprintBytes(stream.data + start, length);
          if (level.found.size() < kKeptHits) level.found.push_back({each.kind, start, length, print});
          if (seenInParent(stream.depth, each.kind, stream.offset, stream.end, length, print)) return;
          writer.WriteBytes(each.kind, stream.data + start, length);
        });
      }
    });
  } catch (const std::bad_alloc&) {
    // Memory for the searches ran out: the file's unpacking ends here.
  }
}

bool HitWriter::Fingerprint(const Hit& hit, std::uint64_t* print) {
  if (hit.start < 0 || hit.length < 0) return false;
  if (!fromFile_) {
    if (hit.start + hit.length > input_.Loaded()) return false;
    *print = FingerprintBytes(input_.Data() + hit.start, hit.length);
    return true;
  }
  // A file scanned through windows: the bytes are read again, which only
  // happens for an image as long as one found in a container over it.
  std::vector<std::uint8_t> bytes;
  try {
    bytes.resize(static_cast<std::size_t>(hit.length));
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!input_.ReadAt(hit.start, bytes.data(), bytes.size())) return false;
  *print = FingerprintBytes(bytes.data(), hit.length);
  return true;
}

void HitWriter::WriteBytes(ResourceKind kind, const std::uint8_t* data, std::int64_t length) {
  OutputPlace place = place_;
  place.intact = nullptr;
  place.base = nullptr;
  try {
    WriteResource(place, kind, data, length, verbosity_, counters_[static_cast<int>(kind)]);
  } catch (const std::bad_alloc&) {
  }
}

void HitWriter::Write(const Hit& hit) {
  if (hit.start < 0 || hit.length < 0) return;
  if (keepHits_ && hits_.size() < kKeptHits) hits_.push_back(hit);
  int& counter = counters_[static_cast<int>(hit.kind)];
  try {
    if (fromFile_) {
      WriteResourceFrom(place_, hit.kind, input_, hit.start, hit.length, verbosity_, counter);
      return;
    }
    if (hit.start + hit.length > input_.Loaded()) return;
    WriteResource(place_, hit.kind, input_.Data() + hit.start, hit.length, verbosity_, counter);
  } catch (const std::bad_alloc&) {
    // Like an output that cannot be opened: nothing written, number kept.
  }
}

}  // namespace qx::app
