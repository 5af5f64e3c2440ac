#include "app/FileScan.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>

#include "app/Driver.h"
#include "app/FileSource.h"
#include "scanners/Scanners.h"
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

void TouchPages(const std::uint8_t* data, std::int64_t from, std::int64_t to) {
  constexpr std::int64_t kPage = 4096;
  unsigned sum = 0;
  for (std::int64_t at = from; at < to; at += kPage) sum += data[at];
  // Kept, so that the reads are not optimised away.
  static std::atomic<unsigned> sink{0};
  sink.fetch_add(sum, std::memory_order_relaxed);
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

void HitWriter::Write(const Hit& hit) {
  if (hit.start < 0 || hit.length < 0) return;
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
