// Current directory, clock and file streams, through the C runtime.
#include <direct.h>
#include <io.h>
#include <time.h>
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "platform/failure.h"
#include "platform/platform.h"
#include "platform/windows/runtime.h"

namespace qx::plat {

wchar_t* GetCwd(wchar_t* buffer, int capacity) {
  if (buffer == nullptr || capacity <= 0) return nullptr;
  windows::EnsureQuietRuntime();
  return _wgetcwd(buffer, capacity);
}

int ChangeDir(const wchar_t* path) {
  if (path == nullptr) return -1;
  windows::EnsureQuietRuntime();
  if (_wchdir(path) == 0) return 0;
  detail::Failed(static_cast<int>(GetLastError()));
  return -1;
}

namespace {

// Under Wine, files on the host's disk take their times from the host
// kernel's coarse clock, which runs up to one clock tick behind the precise
// clock that _time64 reads there (and, on a loaded host, more than 20 ms
// behind was seen). An output written just after a second began could then
// carry the second before the run's start and be scanned in the same run.
// There the start is taken one second early, which keeps the tool's own
// outputs out at the price of passing over files written in the last second
// before the run; Windows itself stamps files from the same clock that
// _time64 reads.
bool RunsUnderWine() {
  static const bool wine = [] {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

}  // namespace

std::int64_t CurrentTime() {
  if (!RunsUnderWine()) return static_cast<std::int64_t>(_time64(nullptr));
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER ticks;  // 100 ns units since 1601-01-01
  ticks.LowPart = now.dwLowDateTime;
  ticks.HighPart = now.dwHighDateTime;
  constexpr std::int64_t kTicksFrom1601To1970 = 116444736000000000LL;
  constexpr std::int64_t kMargin = 10000000;  // one second
  const std::int64_t since1970 =
      static_cast<std::int64_t>(ticks.QuadPart) - kTicksFrom1601To1970 - kMargin;
  return since1970 / 10000000;
}

namespace {

// The tool reads and writes files on disk only. A directory cannot be opened
// as a stream anyway; a device name (CON, NUL, COM1, a pipe) opens, but
// reading the console would wait for typing and writing to it is no file:
// such a stream is closed again at once.
bool IsDiskFile(std::FILE* stream) {
  const intptr_t raw = _get_osfhandle(_fileno(stream));
  const HANDLE handle = reinterpret_cast<HANDLE>(raw);
  if (raw == -1 || GetFileType(handle) != FILE_TYPE_DISK) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  return GetFileInformationByHandle(handle, &info) != 0 &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

std::FILE* OpenFile(const wchar_t* path, const wchar_t* mode) {
  if (path == nullptr || path[0] == L'\0' || mode == nullptr) return nullptr;
  if (std::wcscmp(mode, L"rb") != 0 && std::wcscmp(mode, L"wb") != 0) return nullptr;
  windows::EnsureQuietRuntime();
  // _wfopen shares the file for reading and writing with other programs.
  std::FILE* stream = _wfopen(path, mode);
  if (stream != nullptr && !IsDiskFile(stream)) {
    std::fclose(stream);
    stream = nullptr;
  }
  return stream;
}

int Seek64(std::FILE* stream, std::int64_t offset, int origin) {
  if (stream == nullptr) return -1;
  windows::EnsureQuietRuntime();
  return _fseeki64(stream, offset, origin) == 0 ? 0 : -1;
}

std::int64_t Tell64(std::FILE* stream) {
  if (stream == nullptr) return -1;
  windows::EnsureQuietRuntime();
  return static_cast<std::int64_t>(_ftelli64(stream));
}

}  // namespace qx::plat
