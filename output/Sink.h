// Where every image goes: one step that names it, writes it safely, prints
// its line and counts it, whatever found it (a search of the file's bytes,
// or of a stream decoded from them) and on whatever thread.
//
// An output appears under its name only once complete, replacing whatever
// the name held (a link there is replaced, never followed), with the
// source's read and write permission bits. Only then is it counted and, at
// verbosity 3, reported on standard output as "  <output path>"; a failed
// write leaves nothing, prints nothing (standard error says why), and keeps
// the number for the next image of the kind. Images are written by the
// driver's thread alone, in the run's order, so that a run gives the same
// files and lines whatever number of threads searched.
//
// What the run asks beyond that is the sink's settings:
//  - an output directory (-out=DIR): outputs go under DIR instead of beside
//    their source, in the source's absolute directory mirrored below DIR
//    (POSIX: DIR/<directory without its leading />/; Windows:
//    DIR\<drive letter>\<directory>\, or DIR\UNC\<server>\<share>\...), with
//    the names and numbers they would have had beside it; DIR is made when
//    the first output is, the directories below it as needed, and no link
//    below DIR is ever followed;
//  - a report (-report): every image with its SHA-256, where it lies, what
//    it was decoded from, and its output;
//  - de-duplication (-dedup): an image whose bytes (SHA-256) equal those of
//    an image written before in the run is not written again: no file, no
//    line, no number taken; the report names the first one's output. The
//    run keeps a digest and a name per image written, never the bytes;
//  - a list-only run (-list): every image is found, numbered and reported
//    as usual, but nothing is written and no directory made; at verbosity 3
//    each prints "  <kind> <length> bytes at <offset>" instead of its path,
//    followed, for an image decoded from containers, by " in " and each
//    container outermost first as "<kind> at <offset>", joined by " > ".
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "output/Image.h"
#include "output/OutputNames.h"
#include "output/RunLog.h"
#include "platform/platform.h"

namespace qx {

class SourceOutputs;

// What the run asks of its outputs.
struct SinkSettings {
  int verbosity = 3;
  // -out=DIR: the directory as given (printed in output paths), and its
  // absolute form taken when the run started (where it is made).
  std::wstring outDir;
  std::wstring outDirAbsolute;
  bool list = false;   // -list
  bool dedup = false;  // -dedup
  RunReport* report = nullptr;
  Failures* failures = nullptr;
  // When set, told of every image written whole (or listed), with the path
  // it was written under, after its line.
  std::function<void(const SourceOutputs& source, const Image& image, const std::wstring& output)> written;
};

class Sink;

// The outputs of one source: their names and numbers, their directory, the
// file their bytes come from, and how many were written.
class SourceOutputs {
 public:
  // `path`: the source as the run names it. `file`: the source, open, for
  // bytes to be copied from it and for the damage mark of its loaded block.
  // Where the outputs go is settled now, relative to the current directory
  // now, since the walk may make another one current before they are
  // written; the directory itself is opened (or made) at the first output.
  SourceOutputs(Sink& sink, const wchar_t* path, plat::InputFile* file);

  const std::wstring& Path() const { return path_; }
  // Images written from it (or listed), its containers' among them.
  std::int64_t Images() const { return images_; }

 private:
  friend class Sink;

  std::wstring path_;
  OutputNames names_;
  plat::InputFile* file_;
  // Beside the source: the directory to open, when not opened at once.
  std::shared_ptr<plat::OutputDir> dir_;
  int dirError_ = 0;
  bool dirTried_ = false;
  // Under -out: the source's absolute directory, one name per component.
  std::vector<std::wstring> mirrored_;
  std::int64_t images_ = 0;
};

class Sink {
 public:
  explicit Sink(SinkSettings settings) : settings_(std::move(settings)) {}

  const SinkSettings& Settings() const { return settings_; }

  // Names, writes, reports and counts one image of `source`.
  void WriteResource(SourceOutputs& source, const Image& image);

  // The source is done: its record in the report, and its bytes counted.
  void Done(const SourceOutputs& source, std::int64_t size, std::int64_t scanned);

  // What the run did: its summary in the report.
  void Summary(std::int64_t errors, double seconds);

  std::int64_t Images() const { return images_; }
  std::int64_t Duplicates() const { return duplicates_; }

 private:
  using Digest = std::array<std::uint8_t, 32>;
  struct DigestHash {
    std::size_t operator()(const Digest& digest) const;
  };

  // The directory the source's outputs go to, opened (or made) the first
  // time; null when it cannot be, with the reason in *error.
  plat::OutputDir* DirectoryOf(SourceOutputs& source, int* error);
  // True when -dedup finds the image's bytes written before; it is then
  // recorded as a repeat of that one.
  bool Repeats(const SourceOutputs& source, const Image& image, const Digest& digest);
  void Lost(const std::wstring& path, int code);
  void Record(const SourceOutputs& source, const Image& image, const std::wstring* output,
              const Digest* digest, const std::wstring* duplicateOf);

  SinkSettings settings_;
  std::int64_t files_ = 0;
  std::int64_t bytes_ = 0;
  std::int64_t images_ = 0;
  std::int64_t duplicates_ = 0;
  std::unordered_map<Digest, std::wstring, DigestHash> firstOutput_;  // -dedup
  // -out: the root, and the last directory opened below it (the files of
  // one directory come one after the other).
  plat::OutputDir root_;
  bool rootTried_ = false;
  int rootError_ = 0;
  std::vector<std::wstring> lastMirrored_;
  std::shared_ptr<plat::OutputDir> lastBelow_;
};

}  // namespace qx
