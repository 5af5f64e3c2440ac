// Loading of one input file and its hand-over to the selected scanners.
#include <cstddef>
#include <memory>
#include <new>

#include "app/Driver.h"
#include "output/Output.h"
#include "platform/platform.h"
#include "scanners/Scanners.h"
#include "support/Console.h"

namespace {

using qx::plat::kPathCapacity;

struct PathParts {
  wchar_t drive[kPathCapacity];
  wchar_t dir[kPathCapacity];
  wchar_t name[kPathCapacity];
  wchar_t ext[kPathCapacity];
};

// The announcement comes before the open, so a file that cannot be read is
// still named.
void Announce(const wchar_t* path, int verbosity) {
  if (verbosity != 2 && verbosity != 3) return;
  auto parts = std::make_unique<PathParts>();
  qx::plat::SplitPath(path, parts->drive, kPathCapacity, parts->dir, kPathCapacity, parts->name,
                      kPathCapacity, parts->ext, kPathCapacity);
  if (verbosity == 2) {
    qx::PrintOut(L"%s%s\n", parts->name, parts->ext);
  } else {
    qx::PrintOut(L"%s%s%s%s\n", parts->drive, parts->dir, parts->name, parts->ext);
  }
}

using Search = void (*)(const std::uint8_t*, std::int64_t, const qx::HitCallback&);

void ScanKind(const std::uint8_t* buffer, std::int64_t length, const OutputPlace& place,
              ResourceKind kind, Search search, int verbosity) {
  int counter = 0;
  search(buffer, length, [&](std::int64_t start, std::int64_t size) {
    WriteResource(place, kind, buffer + start, size, verbosity, counter);
  });
}

}  // namespace

void ProcessFile(const wchar_t* path, std::uint32_t mask, int verbosity) {
  Announce(path, verbosity);

  qx::plat::InputFile file;
  if (!file.Open(path)) return;
  const std::int64_t size = file.Size();
  if (size < 0) return;
  const std::int64_t length = size < kMaxFileBytes ? size : kMaxFileBytes;
  const auto count = static_cast<std::size_t>(length);
  // Not zero-filled: every byte is overwritten by the read before a scanner
  // looks at it. At least one byte, so that an empty file still hands the
  // scanners a valid pointer.
  std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[count > 0 ? count : 1]);
  if (!buffer) return;
  // Nothing is scanned unless the one read delivered every byte.
  if (count > 0 && !file.ReadAt(0, buffer.get(), count)) return;

  OutputPlace place;
  place.path = path;
  place.permissions = file.Permissions();
  // Memory that runs out during a scan ends this file's scan, like a buffer
  // that cannot be obtained: the outputs written so far stay, and the run
  // goes on with the next file instead of ending.
  try {
    if ((mask & kMaskBmp) != 0) {
      ScanKind(buffer.get(), length, place, ResourceKind::Bmp, &qx::FindBitmaps, verbosity);
    }
    if ((mask & kMaskJpg) != 0) {
      ScanKind(buffer.get(), length, place, ResourceKind::Jpeg, &qx::FindJpegs, verbosity);
    }
    if ((mask & kMaskPng) != 0) {
      ScanKind(buffer.get(), length, place, ResourceKind::Png, &qx::FindPngs, verbosity);
    }
  } catch (const std::bad_alloc&) {
  }
}
