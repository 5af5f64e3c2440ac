#include "output/Sink.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "output/Dimensions.h"
#include "output/Kinds.h"
#include "support/Console.h"

namespace qx {
namespace {

// The source's absolute directory as names below an output directory: the
// drive letter (or "UNC" and the server) first where there are drives.
std::vector<std::wstring> Mirrored(const std::wstring& absolute) {
  std::vector<std::wstring> names;
  std::size_t at = 0;
  if (plat::kHasDrives && absolute.size() >= 2 && absolute[1] == L':') {
    names.push_back(absolute.substr(0, 1));
    at = 2;
  } else if (plat::kHasDrives && absolute.size() >= 2 && plat::IsSeparator(absolute[0]) &&
             plat::IsSeparator(absolute[1])) {
    names.push_back(L"UNC");
    at = 2;
  }
  std::wstring name;
  for (; at <= absolute.size(); ++at) {
    if (at == absolute.size() || plat::IsSeparator(absolute[at])) {
      if (!name.empty()) names.push_back(std::move(name));
      name.clear();
    } else {
      name += absolute[at];
    }
  }
  return names;
}

std::string Narrow(const wchar_t* ascii) {
  std::string text;
  for (; *ascii != L'\0'; ++ascii) text += static_cast<char>(*ascii);
  return text;
}

const wchar_t* ContainerWord(ContainerKind kind) {
  switch (kind) {
    case ContainerKind::kZipEntry: return L"zip";
    case ContainerKind::kGzipMember: return L"gzip";
    case ContainerKind::kBase64: return L"base64";
  }
  return L"";
}

report::ContainerKind ReportContainer(ContainerKind kind) {
  switch (kind) {
    case ContainerKind::kZipEntry: return report::ContainerKind::kZip;
    case ContainerKind::kGzipMember: return report::ContainerKind::kGzip;
    case ContainerKind::kBase64: return report::ContainerKind::kBase64;
  }
  return report::ContainerKind::kZip;
}

// What -list prints for an image instead of its path.
std::wstring ListLine(const Image& image) {
  std::wstring line = std::wstring(L"  ") + RowOf(image.kind).extension + L" " + std::to_wstring(image.length) +
                      L" bytes at " + std::to_wstring(image.offset);
  for (std::size_t k = 0; k < image.within.size(); ++k) {
    line += k == 0 ? L" in " : L" > ";
    line += std::wstring(ContainerWord(image.within[k].kind)) + L" at " + std::to_wstring(image.within[k].offset);
  }
  return line + L"\n";
}

}  // namespace

SourceOutputs::SourceOutputs(Sink& sink, const wchar_t* path, plat::InputFile* file)
    : path_(path), names_(path), file_(file) {
  const SinkSettings& settings = sink.Settings();
  const std::wstring directory = names_.Directory();
  if (!settings.outDir.empty()) {
    std::wstring absolute(plat::kPathCapacity, L'\0');
    if (!plat::FullPath(directory.empty() ? L"." : directory.c_str(), absolute.data(), plat::kPathCapacity)) {
      dirTried_ = true;
      dirError_ = plat::PathTooLongError();
      return;
    }
    absolute.resize(std::wcslen(absolute.c_str()));
    mirrored_ = Mirrored(absolute);
    std::wstring printed = settings.outDir;
    if (!plat::IsSeparator(printed.back())) printed += plat::kSeparator;
    for (const std::wstring& name : mirrored_) printed += name + plat::kSeparator;
    names_.SetDirectory(std::move(printed));
    return;
  }
  // A relative source's directory is opened now, while it means what it
  // meant when the run reached the source.
  if (!settings.list && !plat::IsAbsolute(directory.c_str())) {
    dirTried_ = true;
    dir_ = std::make_shared<plat::OutputDir>();
    if (!dir_->Open(directory.c_str())) dirError_ = plat::LastError();
  }
}

std::size_t Sink::DigestHash::operator()(const Digest& digest) const {
  std::size_t value = 0;
  std::memcpy(&value, digest.data(), sizeof value);
  return value;
}

plat::OutputDir* Sink::DirectoryOf(SourceOutputs& source, int* error) {
  if (!settings_.outDir.empty()) {
    if (!rootTried_) {
      rootTried_ = true;
      if (settings_.outDirAbsolute.empty()) {
        rootError_ = plat::PathTooLongError();
      } else if (!root_.OpenMade(settings_.outDirAbsolute.c_str())) {
        rootError_ = plat::LastError();
      }
    }
    if (!root_.IsOpen()) {
      *error = rootError_;
      return nullptr;
    }
  }
  if (!source.dirTried_) {
    source.dirTried_ = true;
    if (settings_.outDir.empty()) {
      source.dir_ = std::make_shared<plat::OutputDir>();
      if (!source.dir_->Open(source.names_.Directory().c_str())) source.dirError_ = plat::LastError();
    } else if (lastBelow_ != nullptr && lastMirrored_ == source.mirrored_) {
      source.dir_ = lastBelow_;
    } else {
      source.dir_ = std::make_shared<plat::OutputDir>();
      if (source.dir_->OpenBelow(root_, source.mirrored_)) {
        lastMirrored_ = source.mirrored_;
        lastBelow_ = source.dir_;
      } else {
        source.dirError_ = plat::LastError();
      }
    }
  }
  if (source.dir_ == nullptr || !source.dir_->IsOpen()) {
    *error = source.dirError_;
    return nullptr;
  }
  return source.dir_.get();
}

void Sink::Lost(const std::wstring& path, int code) {
  // A write given up because the run is being interrupted is no failure to
  // tell: the run is ending.
  if (settings_.failures != nullptr && !plat::InterruptRequested()) settings_.failures->Lost(path, code);
}

bool Sink::Repeats(const SourceOutputs& source, const Image& image, const Digest& digest) {
  if (!settings_.dedup) return false;
  const auto first = firstOutput_.find(digest);
  if (first == firstOutput_.end()) return false;
  ++duplicates_;
  Record(source, image, nullptr, &digest, &first->second);
  return true;
}

void Sink::WriteResource(SourceOutputs& source, const Image& image) {
  if (image.offset < 0 || image.length < 0) return;
  std::wstring path;
  // Memory that runs out is a failed write: nothing written, number kept.
  try {
    std::wstring leaf;
    if (!source.names_.Next(image.kind, &path, &leaf)) {
      Lost(path, plat::PathTooLongError());
      return;
    }
    plat::InputFile* file = source.file_;
    const bool hashing = settings_.report != nullptr || settings_.dedup;
    Digest digest{};
    bool hashed = false;
    // Bytes in memory are hashed at once, a range of the file as it is
    // copied (or read, when nothing is written).
    if (hashing && image.bytes != nullptr) {
      plat::Sha256 hash;
      hash.Update(image.bytes, static_cast<std::size_t>(image.length));
      hashed = hash.Final(digest.data());
    }
    if (settings_.list) {
      if (hashing && image.bytes == nullptr && file != nullptr) {
        plat::Sha256 hash;
        std::vector<std::uint8_t> piece(1 << 20);
        for (std::int64_t at = 0; at < image.length;) {
          const std::int64_t count = std::min<std::int64_t>(image.length - at, static_cast<std::int64_t>(piece.size()));
          if (!file->ReadAt(image.offset + at, piece.data(), static_cast<std::size_t>(count))) break;
          hash.Update(piece.data(), static_cast<std::size_t>(count));
          at += count;
        }
        hashed = hash.Final(digest.data());
      }
      if (hashed && Repeats(source, image, digest)) return;
      if (settings_.verbosity == 3) {
        const std::wstring line = ListLine(image);
        PrintOut(L"%s", line.c_str());
      }
    } else {
      if (hashed && Repeats(source, image, digest)) return;
      int error = 0;
      plat::OutputDir* dir = DirectoryOf(source, &error);
      if (dir == nullptr) {
        Lost(path, error);
        return;
      }
      // An interruption of the run waits until this output is complete and
      // reported, or gone.
      plat::OutputSection section;
      plat::NewFile output;
      const std::uint32_t permissions = file != nullptr ? file->Permissions() : 0666u;
      if (!output.Create(*dir, leaf.c_str(), permissions)) {
        Lost(path, plat::LastError());
        return;
      }
      if (image.bytes != nullptr) {
        if (!output.Write(image.bytes, image.length)) {
          Lost(path, plat::LastError());
          return;
        }
        // The file's own bytes, from its loaded block: what a file cut short
        // while it was read has lost reads as zeros, and is not written.
        const std::int64_t damaged = file != nullptr && image.within.empty() ? file->DamagedFrom() : -1;
        const std::int64_t span = image.resource != nullptr ? image.resource->length : image.length;
        if (damaged >= 0 && image.offset + span > damaged) {
          Lost(path, plat::kErrorCutShort);
          return;
        }
      } else {
        plat::Sha256 hash;
        if (file == nullptr || !output.CopyFrom(*file, image.offset, image.length, hashing ? &hash : nullptr)) {
          Lost(path, plat::LastError());
          return;
        }
        if (hashing) hashed = hash.Final(digest.data());
        if (hashed && Repeats(source, image, digest)) return;
      }
      if (!output.Commit()) {
        Lost(path, plat::LastError());
        return;
      }
      if (settings_.verbosity == 3) PrintOut(L"  %s\n", path.c_str());
      // Still within the section: what standard output says was written,
      // the report says too.
      Record(source, image, &path, hashed ? &digest : nullptr, nullptr);
    }
    if (settings_.list) Record(source, image, nullptr, hashed ? &digest : nullptr, nullptr);
    source.names_.Taken(image.kind);
    ++images_;
    ++source.images_;
    if (settings_.dedup && hashed) firstOutput_.emplace(digest, path);
    if (settings_.written) settings_.written(source, image, path);
  } catch (const std::bad_alloc&) {
    Lost(path, plat::NoMemoryError());
  }
}

void Sink::Record(const SourceOutputs& source, const Image& image, const std::wstring* output,
                  const Digest* digest, const std::wstring* duplicateOf) {
  if (settings_.report == nullptr) return;
  report::ImageRecord record;
  record.source = source.Path();
  record.offset = image.offset;
  record.length = image.length;
  record.kind = Narrow(RowOf(image.kind).extension);
  if (output != nullptr) record.output = *output;
  if (digest != nullptr) record.sha256 = *digest;
  // Its header's size: from the bytes in memory, or the first of the file's.
  std::vector<std::uint8_t> head;
  const std::uint8_t* first = image.bytes;
  std::int64_t count = std::min<std::int64_t>(image.length, kDimensionBytes);
  if (first == nullptr && source.file_ != nullptr) {
    head.resize(static_cast<std::size_t>(count));
    if (source.file_->ReadAt(image.offset, head.data(), head.size())) first = head.data();
  }
  Size size;
  const auto measure = RowOf(image.kind).size;
  if (first != nullptr && measure != nullptr && measure(first, count, &size)) {
    record.width = size.width;
    record.height = size.height;
  }
  for (const Container& container : image.within) {
    record.within.push_back(report::Container{ReportContainer(container.kind), container.offset, container.name});
  }
  if (image.resource != nullptr) {
    const Resource& r = *image.resource;
    record.resource = report::Resource{report::ResourceKey{false, r.type, {}}, report::ResourceKey{r.named, r.id, r.name},
                                       r.language};
  }
  if (duplicateOf != nullptr) record.duplicateOf = *duplicateOf;
  settings_.report->Add(record);
}

void Sink::Done(const SourceOutputs& source, std::int64_t size, std::int64_t scanned) {
  ++files_;
  bytes_ += scanned;
  if (settings_.report != nullptr) settings_.report->Add(report::FileRecord{source.Path(), size, scanned, source.Images()});
}

void Sink::Summary(std::int64_t errors, double seconds) {
  if (settings_.report == nullptr) return;
  settings_.report->Add(report::SummaryRecord{files_, bytes_, images_, duplicates_, errors, seconds});
}

}  // namespace qx
