// The run's progress line on standard error: files done, bytes scanned,
// images written, the rate, and the file whose turn it is (for a long file
// read through windows, its bytes scanned of its size and the time left).
// Drawn only when standard error is a terminal, never at verbosity 1, only
// once the run has taken about a second, redrawn four times a second by a
// thread of its own (so that it moves while the run writes a large image as
// well as while it scans), taken away before any other line is written
// (plat::ShowStatus) and cleared at the end. Standard output never sees it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace qx::app {

class ProgressLine {
 public:
  // Whether a line is drawn at all in this run.
  static bool Wanted(int verbosity);

  ProgressLine();
  ~ProgressLine();  // stops, and clears the line if it was drawn
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // The file whose turn it is. For a file read through windows, `scanned`
  // tells the bytes its `passes` searches have gone through (asked from the
  // line's own thread); otherwise it is empty.
  void Begin(const wchar_t* path, std::int64_t size, int passes, std::function<std::int64_t()> scanned);
  // The file is done, its `scanned` bytes searched.
  void End(std::int64_t scanned);
  // One more image written.
  void Image();

  // What the run has done, for the line.
  struct Counts {
    std::int64_t files = 0;
    std::int64_t bytes = 0;
    std::int64_t images = 0;
  };
  // The line for `counts` after `seconds`, `name` being scanned (`done` of
  // its `total` bytes in `fileSeconds`, when total > 0).
  static std::wstring Text(const Counts& counts, double seconds, const std::wstring& name, std::int64_t done,
                           std::int64_t total, double fileSeconds);

 private:
  void Run();

  std::chrono::steady_clock::time_point started_;
  std::mutex mutex_;
  Counts counts_;
  std::wstring name_;
  std::chrono::steady_clock::time_point fileStarted_;
  std::int64_t size_ = 0;
  int passes_ = 1;
  std::function<std::int64_t()> scanned_;
  std::condition_variable stop_;
  bool stopping_ = false;
  bool shown_ = false;
  std::thread thread_;
};

}  // namespace qx::app
