// Files scanned by a pool of threads while the driver's thread goes on with
// the walk, with every effect that anyone can see in the exact order of a
// single-threaded run.
//
// The driver's thread keeps everything that the order of a run decides: the
// walk and its listings, opening and loading each file (at the moment the
// run reaches it), the announcement of each file, and every output, written
// file by file in the order the files were reached. Only the searches run on
// the pool: a loaded file waits in a queue for a thread, and its hits flow
// to the driver through a bounded queue of their own, so that memory stays
// bounded whatever a file holds. At most `threads` files are loaded at once.
//
// Writing later than a single-threaded run would is invisible, with one
// exception the walk must respect: a file still to be finished may write
// outputs whose names the walk meets meanwhile. Before the walk looks at an
// entry whose name such a file may write (MayWrite), it finishes every file
// handed in so far and looks again, as a single-threaded run would have
// (SettleEntry).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "app/FileScan.h"
#include "platform/platform.h"

namespace qx::app {

class Pipeline {
 public:
  Pipeline(int threads, const FileSettings& settings);
  ~Pipeline();  // finishes every file, then stops the threads
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  // Takes the file the run has reached: opens and loads it now and queues its
  // scan; its announcement and outputs follow those of every file before it.
  void Submit(const wchar_t* path, std::uint32_t mask, int verbosity);

  // True when a file not yet finished may write outputs named after `stem`
  // (as OutputStem gives it), in whatever directory.
  bool MayWrite(const std::wstring& stem) const;

  // Finishes every file handed in so far, in order.
  void Finish();

 public:
  struct Job;

 private:
  class Workers;

  void CompleteFront();
  // Finishes files until fewer than `loaded` are loaded.
  void WaitForRoom(int loaded);
  void Unpack(Job& job, HitWriter& writer);
  static std::wstring FoldedStem(const wchar_t* path);

  int threads_;
  FileSettings settings_;
  std::unique_ptr<Workers> workers_;
  std::deque<std::unique_ptr<Job>> pending_;
  // Folded name parts of the pending files, with their counts.
  std::unordered_map<std::wstring, int> stems_;
};

// One file from start to end on the calling thread, writing each output as
// soon as it is found: the single-threaded run.
void ProcessFileNow(const wchar_t* path, std::uint32_t mask, int verbosity,
                    const FileSettings& settings);

// How the run takes each file; ProcessFile follows it.
void UseFileSettings(const FileSettings& settings);

// True when `name` has the form of an output name, <stem>_NNN.<bmp|jpg|png>;
// *stem then receives the stem, folded for comparison with others.
bool OutputStem(const wchar_t* name, std::wstring* stem);

// The run's pipeline, or null for a single-threaded run: ProcessFile hands
// files to it.
void UsePipeline(Pipeline* pipeline);

// To be called for a file entry the walk or the expansion has just listed
// at `path`, before it looks at the entry's time. An entry named like an
// output may have been written by this very run since the listing read it
// (a listing may hand out what it read when it started), or may still be
// written by a file not yet finished: such a file is finished first, and the
// entry is described afresh, so that the run's own outputs are never taken
// for sources. False when the entry is gone.
bool SettleEntry(const wchar_t* path, plat::FindData* entry);

}  // namespace qx::app
