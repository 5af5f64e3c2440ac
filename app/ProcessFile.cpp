// Loading of one input file and its hand-over to the selected scanners.
#include <cstddef>
#include <cstdio>
#include <memory>
#include <new>

#include "app/Driver.h"
#include "platform/platform.h"
#include "scanners/Extract.h"
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

// Reads the first `length` bytes and runs the scanners over them; nothing is
// scanned unless the one read delivered all of them.
void ScanStream(std::FILE* file, const wchar_t* path, std::int64_t length, std::uint32_t mask,
                int verbosity) {
  const auto count = static_cast<std::size_t>(length);
  // Default-initialised: every byte is overwritten by the read before a
  // scanner looks at it. At least one byte, so that an empty file still
  // hands the scanners a valid pointer.
  std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[count > 0 ? count : 1]);
  if (!buffer) return;
  if (std::fread(buffer.get(), 1, count, file) != count) return;
  // Memory that runs out during a scan ends this file's scan, like a buffer
  // that cannot be obtained: the outputs written so far stay, and the run
  // goes on with the next file instead of ending.
  try {
    if ((mask & kMaskBmp) != 0) ExtractBmp(buffer.get(), path, length, verbosity);
    if ((mask & kMaskJpg) != 0) ExtractJpg(buffer.get(), path, length, verbosity);
    if ((mask & kMaskPng) != 0) ExtractPng(buffer.get(), path, length, verbosity);
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace

void ProcessFile(const wchar_t* path, std::uint32_t mask, int verbosity) {
  Announce(path, verbosity);

  std::FILE* file = qx::plat::OpenFile(path, L"rb");
  if (file == nullptr) return;
  if (qx::plat::Seek64(file, 0, SEEK_END) == 0) {
    const std::int64_t size = qx::plat::Tell64(file);
    if (size >= 0 && qx::plat::Seek64(file, 0, SEEK_SET) == 0) {
      const std::int64_t length = size < kMaxFileBytes ? size : kMaxFileBytes;
      ScanStream(file, path, length, mask, verbosity);
    }
  }
  std::fclose(file);
}
