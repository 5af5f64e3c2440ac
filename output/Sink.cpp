#include "output/Sink.h"

#include <new>
#include <string>

#include "support/Console.h"

namespace qx {

SourceOutputs::SourceOutputs(const wchar_t* path, plat::InputFile* file)
    : path_(path), names_(path), file_(file) {
  if (!plat::IsAbsolute(names_.Directory().c_str())) OpenDirectory();
}

bool SourceOutputs::OpenDirectory() {
  if (!dirTried_) {
    dirTried_ = true;
    dir_.Open(names_.Directory().c_str());
  }
  return dir_.IsOpen();
}

void Sink::WriteResource(SourceOutputs& source, const Image& image) {
  if (image.offset < 0 || image.length < 0) return;
  // Memory that runs out is a failed open: nothing written, number kept.
  try {
    std::wstring path;
    std::wstring leaf;
    if (!source.names_.Next(image.kind, &path, &leaf) || !source.OpenDirectory()) return;
    plat::InputFile* file = source.file_;
    // An interruption of the run waits until this output is complete and
    // reported, or gone.
    plat::OutputSection section;
    plat::NewFile output;
    const std::uint32_t permissions = file != nullptr ? file->Permissions() : 0666u;
    if (!output.Create(source.dir_, leaf.c_str(), permissions)) return;
    if (image.bytes != nullptr) {
      if (!output.Write(image.bytes, image.length)) return;
      // The file's own bytes, from its loaded block: what a file cut short
      // while it was read has lost reads as zeros, and is not written.
      const std::int64_t damaged = file != nullptr && image.within.empty() ? file->DamagedFrom() : -1;
      if (damaged >= 0 && image.offset + image.length > damaged) return;
    } else if (file == nullptr || !output.CopyFrom(*file, image.offset, image.length)) {
      return;
    }
    if (!output.Commit()) return;
    if (settings_.verbosity == 3) PrintOut(L"  %s\n", path.c_str());
    source.names_.Taken(image.kind);
    if (settings_.written) settings_.written(source, image, path);
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace qx
