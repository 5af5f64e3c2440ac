// The scanners as the run driver calls them, and the common output step that
// names, writes, counts and reports each carved resource.
#include "scanners/Extract.h"

#include <cstddef>
#include <cstdio>
#include <memory>
#include <new>

#include "platform/platform.h"
#include "scanners/Scanners.h"
#include "support/Console.h"
#include "support/ComposePath.h"

namespace {

using qx::plat::kPathCapacity;

struct OutputNaming {
  wchar_t drive[kPathCapacity];
  wchar_t dir[kPathCapacity];
  wchar_t name[kPathCapacity];
  wchar_t output[kPathCapacity];
};

const wchar_t* PatternFor(ResourceKind kind) {
  switch (kind) {
    case ResourceKind::Bmp: return L"%s%s%s_%03i.bmp";
    case ResourceKind::Jpeg: return L"%s%s%s_%03i.jpg";
    case ResourceKind::Png: return L"%s%s%s_%03i.png";
  }
  return nullptr;
}

void Extract(const std::uint8_t* buffer, const wchar_t* path, std::int64_t length, int verbosity,
             ResourceKind kind,
             void (*find)(const std::uint8_t*, std::int64_t, const qx::HitCallback&)) {
  int counter = 0;
  find(buffer, length, [&](std::int64_t start, std::int64_t size) {
    WriteResource(path, kind, buffer + start, size, verbosity, counter);
  });
}

}  // namespace

void ExtractBmp(const std::uint8_t* buffer, const wchar_t* path, std::int64_t length,
                int verbosity) {
  Extract(buffer, path, length, verbosity, ResourceKind::Bmp, &qx::FindBitmaps);
}

void ExtractJpg(const std::uint8_t* buffer, const wchar_t* path, std::int64_t length,
                int verbosity) {
  Extract(buffer, path, length, verbosity, ResourceKind::Jpeg, &qx::FindJpegs);
}

void ExtractPng(const std::uint8_t* buffer, const wchar_t* path, std::int64_t length,
                int verbosity) {
  Extract(buffer, path, length, verbosity, ResourceKind::Png, &qx::FindPngs);
}

void WriteResource(const wchar_t* path, ResourceKind kind, const std::uint8_t* start,
                   std::int64_t length, int verbosity, int& counter) {
  const wchar_t* pattern = PatternFor(kind);
  if (pattern == nullptr || start == nullptr || length < 0) return;
  // Failing to get memory for the names is a failed open: nothing written.
  std::unique_ptr<OutputNaming> naming(new (std::nothrow) OutputNaming);
  if (!naming) return;
  // The source's extension is split off and never part of the output name.
  if (qx::plat::SplitPath(path, naming->drive, kPathCapacity, naming->dir, kPathCapacity,
                          naming->name, kPathCapacity, nullptr, 0) != 0) {
    return;
  }
  // A cut output path could create or overwrite a file nobody asked for.
  if (!qx::ComposePath(naming->output, pattern, naming->drive, naming->dir, naming->name,
                       counter)) {
    return;
  }

  std::FILE* file = qx::plat::OpenFile(naming->output, L"wb");
  if (file == nullptr) return;
  const auto count = static_cast<std::size_t>(length);
  // The bytes count as written only once they have left the stream's buffer:
  // a small resource is otherwise still in memory, and a full disk would
  // only show at the close, after the line was printed.
  if (std::fwrite(start, 1, count, file) == count && std::fflush(file) == 0) {
    if (verbosity == 3) qx::PrintOut(L"  %s\n", naming->output);
    ++counter;
  }
  std::fclose(file);
}
