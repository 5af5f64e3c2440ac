// The run: its settings, read once from the command line and passed down to
// every step, and the road its files take. Besides StartTime there is no
// global state.
#pragma once

#include <cstdint>
#include <string>

#include <vector>

#include "app/NameList.h"
#include "output/RunLog.h"
#include "platform/platform.h"

namespace qx::app {

// The most bytes of one file that are read and scanned, unless -whole.
inline constexpr std::int64_t kMaxFileBytes = 100000000;

// A list of names to process, given with -files-from or -files0-from.
struct NameListOption {
  std::wstring path;  // "-": standard input
  NameSeparator separator;
};

struct Settings {
  std::uint32_t mask = 0;  // the kinds to extract: bits of output/Kinds.h
  bool subdirs = false;
  int verbosity = 3;
  int threads = 0;     // 0 until wmain sets it: one per online core, or -threads=N
  bool whole = false;   // -whole: files of any size searched whole
  bool unpack = false;  // -unpack: containers decoded and searched too
  std::wstring outDir;  // -out=DIR: outputs under DIR (empty: beside their source)
  std::wstring report;  // -report=FILE: a report of the run
  bool dedup = false;   // -dedup: an image already written is not written again
  bool list = false;    // -list: images found and reported, none written
  bool resources = false;  // -resources: the pictures of Windows programs too
  std::vector<NameListOption> lists;  // taken after the arguments, in this order
  bool strict = false;  // -strict: candidates that are no plausible image rejected
};

class Road;

struct Run {
  const Settings& settings;
  Road& road;
  Failures& failures;
};

// Hands one file the run has reached to its road.
void ProcessFile(Run& run, const wchar_t* path);

// Walks a directory: its files, and with -subdirs the directories below.
void ProcessDirectory(Run& run, const wchar_t* path);

// To be called for a file entry the walk or the expansion has just listed
// at `path`, before it looks at the entry's time. An entry named like an
// output may have been written by this very run since the listing read it
// (a listing may hand out what it read when it started), or may still be
// written by a file not yet finished: such a file is finished first, and the
// entry is described afresh, so that the run's own outputs are never taken
// for sources. False when the entry is gone.
bool SettleEntry(Run& run, const wchar_t* path, plat::FindData* entry);

}  // namespace qx::app
