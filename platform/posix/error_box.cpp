// The error box. POSIX has no modal box, so the stand-in shows the caption and
// the text on standard error and takes the answer from the controlling
// terminal itself, not from standard input: the tool's input may be a pipe,
// and a user who can see the question is one who has a terminal.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/posix/native_text.h"

namespace qx::plat {
namespace {

std::atomic<ErrorBoxHook> gHook{nullptr};

constexpr int kAttempts = 5;

void WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// One line from the terminal, its first few characters kept. False at end of
// input or on a read error.
bool ReadLine(int fd, std::string* line) {
  line->clear();
  for (;;) {
    char c;
    const ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (c == '\n') return true;
    if (line->size() < 16) line->push_back(c);
  }
}

// kBoxYes, kBoxNo, or kBoxFailed for an answer that is neither.
int Interpret(std::string answer) {
  while (!answer.empty() && (answer.back() == ' ' || answer.back() == '\t' || answer.back() == '\r')) {
    answer.pop_back();
  }
  std::size_t start = 0;
  while (start < answer.size() && (answer[start] == ' ' || answer[start] == '\t')) ++start;
  answer.erase(0, start);
  for (char& c : answer) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (answer == "y" || answer == "yes") return kBoxYes;
  if (answer == "n" || answer == "no") return kBoxNo;
  return kBoxFailed;
}

int AskTerminal(const wchar_t* text, const wchar_t* caption) {
  std::string shown = "\n";
  if (caption != nullptr) shown += "[" + posix::EncodeNative(caption) + "]\n";
  if (text != nullptr) shown += posix::EncodeNative(text) + "\n";
  WriteAll(STDERR_FILENO, shown);

  const int tty = open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) return kBoxFailed;
  int answer = kBoxFailed;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    WriteAll(STDERR_FILENO, "Continue? [y/n] ");
    std::string line;
    if (!ReadLine(tty, &line)) {
      WriteAll(STDERR_FILENO, "\n");
      break;
    }
    answer = Interpret(line);
    if (answer != kBoxFailed) break;
  }
  close(tty);
  return answer;
}

}  // namespace

int ShowErrorBox(const wchar_t* text, const wchar_t* caption, unsigned style) {
  // What the tool printed before the failure must be visible while the user
  // decides, and must not be lost if the answer ends the process.
  FlushStdout();
  if (const ErrorBoxHook hook = gHook.load(); hook != nullptr) return hook(text, caption, style);
  return AskTerminal(text, caption);
}

ErrorBoxHook SetErrorBoxHook(ErrorBoxHook hook) { return gHook.exchange(hook); }

void AbortProcess() { std::abort(); }

}  // namespace qx::plat
