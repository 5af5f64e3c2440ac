// New files that replace a name only once complete: a temporary beside the
// name, created only if nothing of that name exists, then moved over the
// name, which replaces a file or a link at the name and never writes
// through one.
#include <windows.h>

#include <atomic>
#include <memory>
#include <new>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "platform/temporary_name.h"

namespace qx::plat {

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

NewFile::NewFile() : state_(new State) {}

// Files here always take a named temporary.
void NewFile::AllowUnnamed(bool) {}

NewFile::~NewFile() {
  Abandon();
  delete state_;
}

bool NewFile::Create(const wchar_t* path, std::uint32_t) {
  if (path == nullptr || state_->handle != INVALID_HANDLE_VALUE) return false;
  state_->target = path;
  std::size_t cut = state_->target.find_last_of(L"\\/");
  if (cut == std::wstring::npos && state_->target.size() >= 2 && state_->target[1] == L':') cut = 1;
  const std::wstring directory =
      cut == std::wstring::npos ? std::wstring() : state_->target.substr(0, cut + 1);
  if (cut != std::wstring::npos && cut + 1 >= state_->target.size()) return false;
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
