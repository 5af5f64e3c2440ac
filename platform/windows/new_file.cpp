// New files that replace a name only once complete: a temporary beside the
// name, created only if nothing of that name exists, then moved over the
// name, which replaces a file or a link at the name and never writes
// through one.
#include <windows.h>

#include <atomic>
#include <memory>
#include <new>
#include <cstdint>
#include <cwchar>
#include <string>

#include "platform/platform.h"
#include "platform/temporary_name.h"

namespace qx::plat {

struct OutputDir::State {
  std::wstring path;  // absolute, ending in a separator; empty while closed
};

struct NewFile::State {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::wstring temporary;
  std::wstring target;
};

namespace {

constexpr std::int64_t kChunk = 8 << 20;

// Seeds the names of temporaries: the clock and the process.
std::uint64_t Seed() {
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return static_cast<std::uint64_t>(now.QuadPart) ^
         (static_cast<std::uint64_t>(GetCurrentProcessId()) << 32);
}

std::wstring TemporaryName() {
  return detail::TemporaryName<wchar_t>(detail::NextRandom(Seed()));
}

}  // namespace

OutputDir::OutputDir() : state_(new State) {}

OutputDir::~OutputDir() { delete state_; }

bool OutputDir::Open(const wchar_t* path) {
  state_->path.clear();
  // The directory is known by its absolute path, so that names made in it
  // later do not depend on the current directory then.
  std::wstring absolute(kPathCapacity, L'\0');
  const wchar_t* relative = path == nullptr || path[0] == L'\0' ? L"." : path;
  if (!FullPath(relative, absolute.data(), kPathCapacity)) return false;
  absolute.resize(std::wcslen(absolute.c_str()));
  const DWORD attributes = GetFileAttributesW(absolute.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
  if (absolute.empty() || !IsSeparator(absolute.back())) absolute += L'\\';
  state_->path = std::move(absolute);
  return true;
}

bool OutputDir::IsOpen() const { return !state_->path.empty(); }

NewFile::NewFile() : state_(new State) {}

// Files here always take a named temporary.
void NewFile::AllowUnnamed(bool) {}

NewFile::~NewFile() {
  Abandon();
  delete state_;
}

bool NewFile::Create(const OutputDir& dir, const wchar_t* name, std::uint32_t) {
  if (name == nullptr || name[0] == L'\0' || state_->handle != INVALID_HANDLE_VALUE || !dir.IsOpen()) {
    return false;
  }
  for (const wchar_t* c = name; *c != L'\0'; ++c) {
    if (IsSeparator(*c) || *c == L':') return false;
  }
  const std::wstring& directory = dir.state_->path;
  state_->target = directory + name;
  for (int attempt = 0; attempt < 64; ++attempt) {
    state_->temporary = directory + TemporaryName();
    const HANDLE handle = CreateFileW(state_->temporary.c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      state_->handle = handle;
      return true;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  state_->temporary.clear();
  return false;
}

bool NewFile::Write(const std::uint8_t* data, std::int64_t count) {
  if (state_->handle == INVALID_HANDLE_VALUE || count < 0 || (data == nullptr && count > 0)) {
    return false;
  }
  while (count > 0) {
    if (InterruptRequested()) break;
    const DWORD chunk = static_cast<DWORD>(count < kChunk ? count : kChunk);
    DWORD written = 0;
    if (!WriteFile(state_->handle, data, chunk, &written, nullptr) || written == 0) break;
    data += written;
    count -= written;
  }
  if (count == 0) return true;
  Abandon();
  return false;
}

bool NewFile::CopyFrom(InputFile& input, std::int64_t offset, std::int64_t count) {
  if (state_->handle == INVALID_HANDLE_VALUE || offset < 0 || count < 0) return false;
  constexpr std::int64_t kBuffer = 1 << 20;
  std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kBuffer]);
  while (buffer && count > 0) {
    const std::int64_t piece = count < kBuffer ? count : kBuffer;
    if (!input.ReadAt(offset, buffer.get(), static_cast<std::size_t>(piece))) break;
    // Write abandons the file when it fails.
    if (!Write(buffer.get(), piece)) return false;
    offset += piece;
    count -= piece;
  }
  if (count == 0) return true;
  Abandon();
  return false;
}

bool NewFile::Commit() {
  if (state_->handle == INVALID_HANDLE_VALUE) return false;
  const bool closed = CloseHandle(state_->handle) != 0;
  state_->handle = INVALID_HANDLE_VALUE;
  if (closed && MoveFileExW(state_->temporary.c_str(), state_->target.c_str(),
                            MOVEFILE_REPLACE_EXISTING) != 0) {
    state_->temporary.clear();
    return true;
  }
  Abandon();
  return false;
}

void NewFile::Abandon() {
  if (state_->handle != INVALID_HANDLE_VALUE) CloseHandle(state_->handle);
  state_->handle = INVALID_HANDLE_VALUE;
  if (!state_->temporary.empty()) DeleteFileW(state_->temporary.c_str());
  state_->temporary.clear();
}

}  // namespace qx::plat
