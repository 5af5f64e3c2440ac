// One file's work, shared by the single-threaded run and the pipeline:
// announcing, loading, scanning, and writing out what the scan found.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "output/Output.h"
#include "platform/platform.h"
#include "scanners/SourceScanners.h"
#include "support/ByteSource.h"

namespace qx::app {

struct Hit {
  ResourceKind kind;
  std::int64_t start;
  std::int64_t length;
};

// Prints the file's name (verbosity 2) or path (3).
void Announce(const wchar_t* path, int verbosity);

// Opens the file and loads its first bytes, at most kMaxFileBytes. False when
// it cannot be opened, sized or loaded; *noRoom then tells whether memory or
// address space ran out.
bool OpenAndLoad(plat::InputFile& input, const wchar_t* path, bool* noRoom);

// The searches, by index in the order a file is scanned: BMP, JPEG, PNG.
inline constexpr int kKindCount = 3;
bool KindSelected(std::uint32_t mask, int kind);

// Runs search `kind` over the loaded bytes, handing every hit to `sink` in
// buffer order. Memory that runs out ends the search; what was found so far
// has been handed on.
void ScanKind(const plat::InputFile& input, int kind, const std::function<void(const Hit&)>& sink);

// Files larger than one span, scanned whole (-whole) through windows.
//
// The memory of one windowed search: the windows of its source's slots and
// the side tables of the search. A run keeps their sum for all the searches
// that may run at once (one per thread) under about 192 MiB, so that with
// everything else a run stays under 256 MiB whatever the files hold.
struct WindowedSearch {
  std::int64_t window;  // bytes per slot of the source
  ScanLimits limits;
};
WindowedSearch WindowedSearchFor(int threads);

// Runs search `kind` over the first `length` bytes of `input` through a
// FileSource. `progress`, when given, follows the search's scan position.
void ScanKindWindowed(plat::InputFile& input, std::int64_t length, int kind,
                      const WindowedSearch& search, std::atomic<std::int64_t>* progress,
                      const std::function<void(const Hit&)>& sink);

// The settings that decide how each file is taken, the same for every file
// of a run.
struct FileSettings {
  bool whole = false;   // -whole: files of any size scanned whole
  bool unpack = false;  // -unpack: containers decoded and scanned too
};

class HitWriter;

// -unpack: after a file's own images, finds the zip entries, gzip members
// and base64 blocks in `source`, decodes them in memory, runs the selected
// searches over what they hold (and unpacks that again, three levels deep),
// and writes each image found through `writer`, numbered after the file's
// own. Each decoded stream is cut at 100,000,000 bytes, what one file
// decodes in all is bounded, and so is the memory held (256 MiB), so that
// bombs cost neither memory nor time; nothing but the images is written.
//
// A deflate stream may hold its data as they are (stored blocks: what a
// compressor does with bytes that do not compress, such as most images), so
// an image it holds can lie in plain sight in the bytes it was decoded from,
// where the scan of those bytes found it already. An image found in a
// decoded stream is therefore not written again when the same image (kind,
// length and bytes) was found within that container's own bytes: it is one
// image, seen twice.
void UnpackAndWrite(ByteSource& source, std::uint32_t mask, HitWriter& writer);

// Writes the hits of one source, numbering each kind from 000.
class HitWriter {
 public:
  // `path`: the source as the run names it; `systemPath`: the same file for
  // the system, or null. The bytes come from the loaded block, or, with
  // `fromFile` (a file scanned through windows), from the file itself.
  HitWriter(plat::InputFile& input, const wchar_t* path, const wchar_t* systemPath, int verbosity,
            bool fromFile = false);
  void Write(const Hit& hit);
  // An image that lies in memory of its own (a decoded stream), numbered on
  // with the source's images of its kind.
  void WriteBytes(ResourceKind kind, const std::uint8_t* data, std::int64_t length);

  // The source's own hits handed to Write so far, when kept (-unpack).
  void KeepHits() { keepHits_ = true; }
  const std::vector<Hit>& Hits() const { return hits_; }
  // A fingerprint of the source's bytes under `hit`; false when they cannot
  // be read.
  bool Fingerprint(const Hit& hit, std::uint64_t* print);

 private:
  static bool Intact(const void* input, std::int64_t start, std::int64_t length);

  plat::InputFile& input_;
  bool fromFile_;
  OutputPlace place_;
  int verbosity_;
  int counters_[3] = {0, 0, 0};
  bool keepHits_ = false;
  std::vector<Hit> hits_;
};

// A 64-bit fingerprint of bytes, to tell two images apart.
std::uint64_t FingerprintBytes(const std::uint8_t* data, std::int64_t length,
                               std::uint64_t seed = 0xCBF29CE484222325ull);

}  // namespace qx::app
