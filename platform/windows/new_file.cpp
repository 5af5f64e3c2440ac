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

#include "platform/failure.h"
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
  if (!FullPath(relative, absolute.data(), kPathCapacity)) return detail::Failed(ERROR_FILENAME_EXCED_RANGE);
  absolute.resize(std::wcslen(absolute.c_str()));
  const DWORD attributes = GetFileAttributesW(absolute.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return detail::Failed(static_cast<int>(GetLastError()));
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return detail::Failed(ERROR_DIRECTORY);
  if (absolute.empty() || !IsSeparator(absolute.back())) absolute += L'\\';
  state_->path = std::move(absolute);
  return true;
}

bool OutputDir::OpenMade(const wchar_t* path) {
  state_->path.clear();
  std::wstring absolute(kPathCapacity, L'\0');
  const wchar_t* relative = path == nullptr || path[0] == L'\0' ? L"." : path;
  if (!FullPath(relative, absolute.data(), kPathCapacity)) return detail::Failed(ERROR_FILENAME_EXCED_RANGE);
  absolute.resize(std::wcslen(absolute.c_str()));
  // Each missing directory from the top down, past the drive or share.
  for (std::size_t cut = absolute.find_first_of(L"\\/", 3); cut != std::wstring::npos;
       cut = absolute.find_first_of(L"\\/", cut + 1)) {
    CreateDirectoryW(absolute.substr(0, cut).c_str(), nullptr);
  }
  CreateDirectoryW(absolute.c_str(), nullptr);
  return Open(absolute.c_str());
}

bool OutputDir::OpenBelow(const OutputDir& root, std::span<const std::wstring> below) {
  state_->path.clear();
  if (!root.IsOpen()) return detail::Failed(ERROR_INVALID_HANDLE);
  std::wstring path = root.state_->path;
  for (const std::wstring& component : below) {
    if (component.empty() || component == L"." || component == L".." ||
        component.find_first_of(L"\\/:") != std::wstring::npos) {
      return detail::Failed(ERROR_INVALID_NAME);
    }
    path += component;
    if (path.size() + 1 >= static_cast<std::size_t>(kPathCapacity)) return detail::Failed(ERROR_FILENAME_EXCED_RANGE);
    if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      return detail::Failed(static_cast<int>(GetLastError()));
    }
    // A link or junction in the component's place is not followed. (Windows
    // cannot open a directory relative to another's handle in its plain
    // interface, so this is a check of the name, not of a handle.)
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return detail::Failed(static_cast<int>(GetLastError()));
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return detail::Failed(ERROR_CANT_ACCESS_FILE);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return detail::Failed(ERROR_DIRECTORY);
    path += L'\\';
  }
  state_->path = std::move(path);
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
    return detail::Failed(ERROR_INVALID_PARAMETER);
  }
  for (const wchar_t* c = name; *c != L'\0'; ++c) {
    if (IsSeparator(*c) || *c == L':') return detail::Failed(ERROR_INVALID_NAME);
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
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
      state_->temporary.clear();
      return detail::Failed(static_cast<int>(error));
    }
  }
  state_->temporary.clear();
  return detail::Failed(ERROR_FILE_EXISTS);
}

bool NewFile::Write(const std::uint8_t* data, std::int64_t count) {
  if (state_->handle == INVALID_HANDLE_VALUE || count < 0 || (data == nullptr && count > 0)) {
    return false;
  }
  while (count > 0) {
    if (InterruptRequested()) break;
    const DWORD chunk = static_cast<DWORD>(count < kChunk ? count : kChunk);
    DWORD written = 0;
    if (!WriteFile(state_->handle, data, chunk, &written, nullptr)) {
      detail::Failed(static_cast<int>(GetLastError()));
      break;
    }
    if (written == 0) {
      detail::Failed(ERROR_DISK_FULL);
      break;
    }
    data += written;
    count -= written;
  }
  if (count == 0) return true;
  Abandon();
  return false;
}

bool NewFile::CopyFrom(InputFile& input, std::int64_t offset, std::int64_t count, Sha256* hash) {
  if (state_->handle == INVALID_HANDLE_VALUE || offset < 0 || count < 0) {
    return detail::Failed(ERROR_INVALID_PARAMETER);
  }
  constexpr std::int64_t kBuffer = 1 << 20;
  std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kBuffer]);
  if (!buffer) detail::Failed(ERROR_NOT_ENOUGH_MEMORY);
  while (buffer && count > 0) {
    const std::int64_t piece = count < kBuffer ? count : kBuffer;
    if (!input.ReadAt(offset, buffer.get(), static_cast<std::size_t>(piece))) break;
    if (hash != nullptr) hash->Update(buffer.get(), static_cast<std::size_t>(piece));
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
  if (state_->handle == INVALID_HANDLE_VALUE) return detail::Failed(ERROR_INVALID_HANDLE);
  const bool closed = CloseHandle(state_->handle) != 0;
  state_->handle = INVALID_HANDLE_VALUE;
  if (closed && MoveFileExW(state_->temporary.c_str(), state_->target.c_str(),
                            MOVEFILE_REPLACE_EXISTING) != 0) {
    state_->temporary.clear();
    return true;
  }
  const DWORD error = GetLastError();
  Abandon();
  return detail::Failed(static_cast<int>(error));
}

void NewFile::Abandon() {
  if (state_->handle != INVALID_HANDLE_VALUE) CloseHandle(state_->handle);
  state_->handle = INVALID_HANDLE_VALUE;
  if (!state_->temporary.empty()) DeleteFileW(state_->temporary.c_str());
  state_->temporary.clear();
}

// The report: a temporary beside the name, opened so that it may be renamed
// while open, and moved over the name at once.
struct GrowingFile::State {
  HANDLE handle = INVALID_HANDLE_VALUE;
};

GrowingFile::GrowingFile() : state_(new State) {}

GrowingFile::~GrowingFile() {
  if (state_->handle != INVALID_HANDLE_VALUE) CloseHandle(state_->handle);
  delete state_;
}

bool GrowingFile::Create(const wchar_t* path) {
  if (state_->handle != INVALID_HANDLE_VALUE) CloseHandle(state_->handle);
  state_->handle = INVALID_HANDLE_VALUE;
  if (path == nullptr || path[0] == L'\0') return detail::Failed(ERROR_INVALID_NAME);
  const std::wstring target(path);
  std::size_t cut = target.find_last_of(L"\\/");
  if (cut == std::wstring::npos && target.size() >= 2 && target[1] == L':') cut = 1;
  const std::wstring directory = cut == std::wstring::npos ? std::wstring() : target.substr(0, cut + 1);
  for (int attempt = 0; attempt < 64; ++attempt) {
    const std::wstring temporary = directory + TemporaryName();
    const HANDLE handle = CreateFileW(temporary.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
      return detail::Failed(static_cast<int>(error));
    }
    if (MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) == 0) {
      const DWORD error = GetLastError();
      CloseHandle(handle);
      DeleteFileW(temporary.c_str());
      return detail::Failed(static_cast<int>(error));
    }
    state_->handle = handle;
    return true;
  }
  return detail::Failed(ERROR_FILE_EXISTS);
}

bool GrowingFile::WriteAt(std::int64_t offset, const void* data, std::size_t count) {
  if (state_->handle == INVALID_HANDLE_VALUE) return detail::Failed(ERROR_INVALID_HANDLE);
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (count > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    const DWORD chunk = count > (1u << 30) ? (1u << 30) : static_cast<DWORD>(count);
    DWORD written = 0;
    if (!WriteFile(state_->handle, bytes, chunk, &written, &at)) return detail::Failed(static_cast<int>(GetLastError()));
    if (written == 0) return detail::Failed(ERROR_DISK_FULL);
    bytes += written;
    offset += written;
    count -= written;
  }
  return true;
}

bool GrowingFile::Truncate(std::int64_t length) {
  if (state_->handle == INVALID_HANDLE_VALUE) return detail::Failed(ERROR_INVALID_HANDLE);
  LARGE_INTEGER at{};
  at.QuadPart = length;
  if (!SetFilePointerEx(state_->handle, at, nullptr, FILE_BEGIN) || !SetEndOfFile(state_->handle)) {
    return detail::Failed(static_cast<int>(GetLastError()));
  }
  return true;
}

}  // namespace qx::plat
