// Where every image goes: one step that names it, writes it safely, prints
// its line and counts it, whatever found it (a search of the file's bytes,
// or of a stream decoded from them) and on whatever thread.
//
// An output appears under its name only once complete, replacing whatever
// the name held (a link there is replaced, never followed), with the
// source's read and write permission bits. Only then is it counted and, at
// verbosity 3, reported on standard output as "  <output path>"; a failed
// write leaves nothing, prints nothing and keeps the number for the next
// image of the kind. Images are written by the driver's thread alone, in
// the run's order, so that a run gives the same files and lines whatever
// number of threads searched.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "output/Image.h"
#include "output/OutputNames.h"
#include "platform/platform.h"

namespace qx {

class SourceOutputs;

// What the run asks of its outputs.
struct SinkSettings {
  int verbosity = 3;
  // When set, told of every image written whole, with the path it was
  // written under, after its line.
  std::function<void(const SourceOutputs& source, const Image& image, const std::wstring& output)> written;
};

// The outputs of one source: their names and numbers, their directory, and
// the file their bytes come from.
class SourceOutputs {
 public:
  // `path`: the source as the run names it. `file`: the source, open, for
  // bytes to be copied from it and for the damage mark of its loaded block.
  // A relative path's directory is opened at once, since the walk may make
  // another directory current before the outputs are written.
  SourceOutputs(const wchar_t* path, plat::InputFile* file);

  const std::wstring& Path() const { return path_; }

 private:
  friend class Sink;
  bool OpenDirectory();

  std::wstring path_;
  OutputNames names_;
  plat::OutputDir dir_;
  bool dirTried_ = false;
  plat::InputFile* file_;
};

class Sink {
 public:
  explicit Sink(SinkSettings settings) : settings_(std::move(settings)) {}

  // Names, writes, reports and counts one image of `source`.
  void WriteResource(SourceOutputs& source, const Image& image);

 private:
  SinkSettings settings_;
};

}  // namespace qx
