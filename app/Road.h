// One road for every file, whatever the options and the threads.
//
// A file the run reaches is taken at once on the driver's thread: opened,
// and its bytes made ready (its first 100,000,000 bytes loaded as one block,
// or, with -whole, the file read through windows); so what is read is what
// the run reached, when it reached it. Its turn comes after every file
// before it: it is announced, the selected searches run over its bytes in
// the order of the kinds, each image they find goes to the sink, then, with
// -unpack, the images of its containers do, numbered on.
//
// Threads change where the searches run, not the road. With more than one,
// a pool searches files ahead of their turn while the driver's thread goes
// on with the walk; their images wait in bounded queues and reach the sink
// on the driver's thread in the road's order, so that every effect anyone
// can see is that of a single-threaded run. With one thread there is no
// pool: each file's turn comes as soon as it is taken. How a file is taken
// (searched by the pool or by the driver's thread, its pages brought in by
// the pool, its block released by a thread of its own) is decided in one
// place, Road::Plan.
//
// Writing later than a single-threaded run would is invisible, with one
// exception the walk must respect: a file still to be finished may write
// outputs whose names the walk meets meanwhile. Before the walk looks at an
// entry whose name such a file may write (MayWrite), it finishes every file
// taken so far and looks again (SettleEntry).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>

#include "app/Run.h"
#include "output/Kinds.h"
#include "output/Sink.h"

namespace qx::app {

struct Plan;
class ProgressLine;

class Road {
 public:
  // Images a search may have waiting for the driver before it pauses.
  static constexpr std::size_t kQueuedImages = 4096;

  // Every image goes to `sink`. The kinds are the tool's own, and the
  // queues as deep as said, unless a test asks otherwise.
  // Sources that cannot be read are told to `failures`.
  Road(const Settings& settings, Sink& sink, Failures& failures, std::span<const KindRow> kinds = Kinds(),
       std::size_t queuedImages = kQueuedImages);
  ~Road();  // finishes every file, then stops the threads
  Road(const Road&) = delete;
  Road& operator=(const Road&) = delete;

  // Takes the file the run has reached.
  void Take(const wchar_t* path);

  // A directory or pattern the run has reached and could not read: said at
  // its turn, after every file before it, as the files' own failures are.
  void Tell(const wchar_t* path, int error);

  // True when a file not yet finished may write outputs named after `stem`
  // (as FoldedStem gives it), in whatever directory.
  bool MayWrite(const std::wstring& stem) const { return stems_.count(stem) != 0; }

  // Finishes every file taken so far, in order.
  void Finish();

  // The run's progress line, told of every file and image from now on.
  void Follow(ProgressLine* progress) { progress_ = progress; }

  struct File;

 private:
  class Pool;
  struct Loads;

  Plan PlanFor(std::int64_t size) const;
  void Open(File& file);
  void Complete();
  void WaitForRoom(int loaded);
  int Loaded() const;

  const Settings& settings_;
  Sink& sink_;
  Failures& failures_;
  std::span<const KindRow> kinds_;
  std::unique_ptr<Loads> loads_;
  std::unique_ptr<Pool> pool_;  // null with one thread
  ProgressLine* progress_ = nullptr;
  std::deque<std::unique_ptr<File>> pending_;
  // Folded name parts of the pending files, with their counts.
  std::unordered_map<std::wstring, int> stems_;
};

}  // namespace qx::app
