#include "output/Output.h"

#include <memory>
#include <new>

#include "platform/platform.h"
#include "scanners/Scanners.h"
#include "support/ComposePath.h"
#include "support/Console.h"

namespace {

using qx::plat::kPathCapacity;

struct OutputNames {
  wchar_t drive[kPathCapacity];
  wchar_t dir[kPathCapacity];
  wchar_t name[kPathCapacity];
  wchar_t printed[kPathCapacity];
  wchar_t system[kPathCapacity];
};

const wchar_t* PatternFor(ResourceKind kind) {
  switch (kind) {
    case ResourceKind::Bmp: return L"%s%s%s_%03i.bmp";
    case ResourceKind::Jpeg: return L"%s%s%s_%03i.jpg";
    case ResourceKind::Png: return L"%s%s%s_%03i.png";
  }
  return nullptr;
}

// The output name of `source` for `counter`. The source's extension is split
// off and never part of the name. A cut name could create or overwrite a
// file nobody asked for, so a name that does not fit is no name.
bool ComposeOutput(const wchar_t* source, const wchar_t* pattern, int counter, OutputNames& names,
                   wchar_t* into) {
  if (qx::plat::SplitPath(source, names.drive, kPathCapacity, names.dir, kPathCapacity,
                          names.name, kPathCapacity, nullptr, 0) != 0) {
    return false;
  }
  return qx::ComposePath(into, pattern, names.drive, names.dir, names.name, counter);
}

void Extract(const std::uint8_t* buffer, const wchar_t* path, std::int64_t length, int verbosity,
             ResourceKind kind,
             void (*find)(const std::uint8_t*, std::int64_t, const qx::HitCallback&)) {
  int counter = 0;
  find(buffer, length, [&](std::int64_t start, std::int64_t size) {
    WriteResource(path, kind, buffer + start, size, verbosity, counter);
  });
}

// Names, writes (through `fill`, which puts the bytes into the new file),
// and reports one resource.
template <class Fill>
void WriteNamed(const OutputPlace& place, ResourceKind kind, int verbosity, int& counter, Fill fill) {
  const wchar_t* pattern = PatternFor(kind);
  if (pattern == nullptr || place.path == nullptr) return;
  // Failing to get memory for the names is a failed open: nothing written.
  std::unique_ptr<OutputNames> names(new (std::nothrow) OutputNames);
  if (!names) return;
  if (!ComposeOutput(place.path, pattern, counter, *names, names->printed)) return;
  const wchar_t* system = names->printed;
  if (place.systemPath != nullptr) {
    if (!ComposeOutput(place.systemPath, pattern, counter, *names, names->system)) return;
    system = names->system;
  }

  // An interruption of the run waits until this output is complete and
  // reported, or gone.
  qx::plat::OutputSection section;
  qx::plat::NewFile file;
  if (!file.Create(system, place.permissions) || !fill(file) || !file.Commit()) return;
  if (verbosity == 3) qx::PrintOut(L"  %s\n", names->printed);
  ++counter;
}

}  // namespace

void WriteResource(const OutputPlace& place, ResourceKind kind, const std::uint8_t* start,
                   std::int64_t length, int verbosity, int& counter) {
  if (start == nullptr || length < 0) return;
  WriteNamed(place, kind, verbosity, counter, [&](qx::plat::NewFile& file) {
    if (!file.Write(start, length)) return false;
    return place.intact == nullptr || place.base == nullptr ||
           place.intact(place.intactContext, start - place.base, length);
  });
}

void WriteResourceFrom(const OutputPlace& place, ResourceKind kind, qx::plat::InputFile& file,
                       std::int64_t offset, std::int64_t length, int verbosity, int& counter) {
  if (offset < 0 || length < 0) return;
  WriteNamed(place, kind, verbosity, counter, [&](qx::plat::NewFile& output) {
    return output.CopyFrom(file, offset, length);
  });
}

void WriteResource(const wchar_t* path, ResourceKind kind, const std::uint8_t* start,
                   std::int64_t length, int verbosity, int& counter) {
  OutputPlace place;
  place.path = path;
  WriteResource(place, kind, start, length, verbosity, counter);
}

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
