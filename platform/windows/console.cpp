// Standard output, the error box and abort.
//
// Output is collected as wide text and written out in blocks. A real console
// gets the wide text itself (WriteConsoleW), so every character shows
// whatever the console's code page; a file or a pipe gets UTF-8 bytes with
// "\n" line ends untouched, the same bytes the POSIX build writes.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "platform/platform.h"
#include "platform/windows/runtime.h"

namespace qx::plat {
namespace {

// Plain arrays, so nothing here is destroyed before the flush at exit runs.
constexpr std::size_t kBufferChars = 8192;
wchar_t gBuffer[kBufferChars];
std::size_t gUsed = 0;
bool gFlushAtExit = false;
// The interruption handler flushes from a thread of its own. A slim lock
// needs no construction or destruction, so it is usable until the very end.
SRWLOCK gLock = SRWLOCK_INIT;

class Locked {
 public:
  Locked() { AcquireSRWLockExclusive(&gLock); }
  ~Locked() { ReleaseSRWLockExclusive(&gLock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

std::atomic<ErrorBoxHook> gBoxHook{nullptr};

void WriteAll(HANDLE handle, const char* bytes, std::size_t size) {
  while (size > 0) {
    DWORD written = 0;
    const DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
    if (!WriteFile(handle, bytes, chunk, &written, nullptr) || written == 0) return;
    bytes += written;
    size -= written;
  }
}

void WriteConsoleAll(HANDLE handle, const wchar_t* text, std::size_t size) {
  while (size > 0) {
    DWORD written = 0;
    const DWORD chunk = size > 0x4000 ? 0x4000 : static_cast<DWORD>(size);
    if (!WriteConsoleW(handle, text, chunk, &written, nullptr) || written == 0) return;
    text += written;
    size -= written;
  }
}

// Writes the first `count` buffered characters and keeps the rest.
void WriteOut(std::size_t count) {
  const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE && count > 0) {
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
      ClearStatus();
      WriteConsoleAll(handle, gBuffer, count);
    } else {
      const std::string bytes = windows::ToUtf8(std::wstring_view(gBuffer, count));
      WriteAll(handle, bytes.data(), bytes.size());
    }
  }
  std::wmemmove(gBuffer, gBuffer + count, gUsed - count);
  gUsed -= count;
}

void FlushAtExit() { FlushStdout(); }

// The status line on standard error: how many characters it covers.
SRWLOCK gStatusLock = SRWLOCK_INIT;
std::size_t gStatusShown = 0;

void WriteStderrRaw(const wchar_t* text, std::size_t length) {
  const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || length == 0) return;
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode)) {
    WriteConsoleAll(handle, text, length);
  } else {
    const std::string bytes = windows::ToUtf8(std::wstring_view(text, length));
    WriteAll(handle, bytes.data(), bytes.size());
  }
}

void ClearStatusLocked() {
  if (gStatusShown == 0) return;
  const std::wstring blank = L"\r" + std::wstring(gStatusShown, L' ') + L"\r";
  WriteStderrRaw(blank.data(), blank.size());
  gStatusShown = 0;
}

}  // namespace

void WriteStdout(const wchar_t* text, std::size_t length) {
  if (text == nullptr) return;
  Locked locked;
  if (!gFlushAtExit) {
    gFlushAtExit = true;
    std::atexit(FlushAtExit);
  }
  while (length > 0) {
    const std::size_t room = kBufferChars - gUsed;
    const std::size_t take = length < room ? length : room;
    std::wmemcpy(gBuffer + gUsed, text, take);
    gUsed += take;
    text += take;
    length -= take;
    if (gUsed == kBufferChars) {
      // A surrogate pair cut by the block end waits for its second half, so
      // that it is encoded as one character.
      const wchar_t last = gBuffer[gUsed - 1];
      const bool highHalf = last >= 0xD800 && last <= 0xDBFF;
      WriteOut(highHalf ? gUsed - 1 : gUsed);
    }
  }
}

void FlushStdout() {
  Locked locked;
  WriteOut(gUsed);
  std::fflush(stdout);
}

bool StderrIsTerminal() {
  const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

void WriteStderr(const wchar_t* text, std::size_t length) {
  if (text == nullptr || length == 0) return;
  AcquireSRWLockExclusive(&gStatusLock);
  ClearStatusLocked();
  WriteStderrRaw(text, length);
  ReleaseSRWLockExclusive(&gStatusLock);
}

void ShowStatus(const wchar_t* text, std::size_t length) {
  if (text == nullptr) return;
  AcquireSRWLockExclusive(&gStatusLock);
  std::wstring line = L"\r" + std::wstring(text, length);
  if (length < gStatusShown) line += std::wstring(gStatusShown - length, L' ');
  WriteStderrRaw(line.data(), line.size());
  gStatusShown = length > gStatusShown ? length : gStatusShown;
  ReleaseSRWLockExclusive(&gStatusLock);
}

void ClearStatus() {
  AcquireSRWLockExclusive(&gStatusLock);
  ClearStatusLocked();
  ReleaseSRWLockExclusive(&gStatusLock);
}

int ShowErrorBox(const wchar_t* text, const wchar_t* caption, unsigned style) {
  FlushStdout();
  if (const ErrorBoxHook hook = gBoxHook.load()) return hook(text, caption, style);
  const int answer = MessageBoxW(nullptr, text, caption, style);
  return answer == IDYES ? kBoxYes : answer == IDNO ? kBoxNo : kBoxFailed;
}

ErrorBoxHook SetErrorBoxHook(ErrorBoxHook hook) { return gBoxHook.exchange(hook); }

void AbortProcess() { std::abort(); }

}  // namespace qx::plat
