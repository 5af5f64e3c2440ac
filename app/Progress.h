// A progress line on standard error for a file that takes long: its name,
// the bytes scanned of its size, the rate and the time left. Drawn only when
// standard error is a terminal, never at verbosity 1, only once a file has
// taken about a second, redrawn four times a second by a thread of its own
// (so that it moves while the run writes a large image as well as while it
// scans), and cleared when the file is done. Standard output never sees it.
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
  // Whether lines are drawn at all in this run.
  static bool Wanted(int verbosity);

  // `size`: the file's bytes; `passes`: the searches that each go through
  // them; `scanned`: the bytes gone through so far by all passes together,
  // asked from the line's own thread.
  ProgressLine(const wchar_t* path, std::int64_t size, int passes,
               std::function<std::int64_t()> scanned);
  ~ProgressLine();  // stops, and clears the line if it was drawn
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // The text for `done` of `total` bytes after `seconds`.
  static std::wstring Text(const std::wstring& name, std::int64_t done, std::int64_t total,
                           double seconds);

 private:
  void Run();

  std::wstring name_;
  std::int64_t size_;
  int passes_;
  std::function<std::int64_t()> scanned_;
  std::chrono::steady_clock::time_point started_;
  std::size_t shown_ = 0;  // characters of the line on screen
  std::mutex mutex_;
  std::condition_variable stop_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace qx::app
