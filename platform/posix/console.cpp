// The tool's own buffered standard output. Wide text becomes UTF-8 through
// the lossless native mapping, so output never depends on the C locale and a
// path that was not valid UTF-8 prints as the very bytes it came from.
#include <errno.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/posix/native_text.h"

namespace qx::plat {
namespace {

constexpr std::size_t kFlushThreshold = 64 * 1024;

void WriteAllTo(int fd, std::string_view rest) {
  while (!rest.empty()) {
    const ssize_t n = write(fd, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

// The status line on standard error: how many characters it covers.
std::mutex gStatusMutex;
std::size_t gStatusShown = 0;

void ClearStatusLocked() {
  if (gStatusShown == 0) return;
  WriteAllTo(STDERR_FILENO, "\r" + std::string(gStatusShown, ' ') + "\r");
  gStatusShown = 0;
}

class StdoutBuffer {
 public:
  // A user watching a terminal sees each progress line as it is written;
  // into a file or a pipe the text goes in large blocks.
  StdoutBuffer() : lineByLine_(isatty(STDOUT_FILENO) == 1) { pending_.reserve(kFlushThreshold); }
  StdoutBuffer(const StdoutBuffer&) = delete;
  StdoutBuffer& operator=(const StdoutBuffer&) = delete;

  void Append(std::wstring_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ += posix::EncodeNative(text);
    if (pending_.size() >= kFlushThreshold ||
        (lineByLine_ && text.find(L'\n') != std::wstring_view::npos)) {
      FlushLocked();
    }
  }

  void Flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    FlushLocked();
  }

 private:
  void FlushLocked() {
    if (lineByLine_ && !pending_.empty()) ClearStatus();
    std::string_view rest = pending_;
    while (!rest.empty()) {
      const ssize_t n = write(STDOUT_FILENO, rest.data(), rest.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        break;  // a closed or full device: the text is dropped, not retried
      }
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    pending_.clear();
  }

  std::mutex mutex_;
  std::string pending_;
  const bool lineByLine_;
};

void FlushAtExit() { FlushStdout(); }

// Built on first use and never destroyed, so that text written by another
// static object's destructor still has somewhere to go; normal exit writes
// out what is left.
StdoutBuffer& Buffer() {
  static StdoutBuffer* const buffer = [] {
    auto* made = new StdoutBuffer;
    std::atexit(FlushAtExit);
    return made;
  }();
  return *buffer;
}

}  // namespace

void WriteStdout(const wchar_t* text, std::size_t length) {
  if (text == nullptr || length == 0) return;
  Buffer().Append(std::wstring_view(text, length));
}

void FlushStdout() { Buffer().Flush(); }

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void WriteStderr(const wchar_t* text, std::size_t length) {
  if (text == nullptr || length == 0) return;
  std::lock_guard<std::mutex> lock(gStatusMutex);
  ClearStatusLocked();
  WriteAllTo(STDERR_FILENO, posix::EncodeNative(std::wstring_view(text, length)));
}

void ShowStatus(const wchar_t* text, std::size_t length) {
  if (text == nullptr) return;
  std::lock_guard<std::mutex> lock(gStatusMutex);
  // A shorter line than the last one covers the rest with blanks.
  std::string line = "\r" + posix::EncodeNative(std::wstring_view(text, length));
  if (length < gStatusShown) line += std::string(gStatusShown - length, ' ');
  WriteAllTo(STDERR_FILENO, line);
  gStatusShown = length > gStatusShown ? length : gStatusShown;
}

void ClearStatus() {
  std::lock_guard<std::mutex> lock(gStatusMutex);
  ClearStatusLocked();
}

}  // namespace qx::plat
