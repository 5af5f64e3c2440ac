// Input files: opened for reading, shared with other programs for reading,
// writing and deleting, files on disk only.
#include <windows.h>

#include "platform/platform.h"

namespace qx::plat {

struct InputFile::State {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::int64_t size = -1;
};

InputFile::InputFile() : state_(new State) {}

InputFile::~InputFile() {
  if (state_->handle != INVALID_HANDLE_VALUE) CloseHandle(state_->handle);
  delete state_;
}

bool InputFile::Open(const wchar_t* path) {
  if (path == nullptr || path[0] == L'\0' || state_->handle != INVALID_HANDLE_VALUE) return false;
  const HANDLE handle =
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  // A device name (CON, NUL, COM1, a pipe) opens too, but reading the console
  // would wait for typing: only files on disk are read.
  BY_HANDLE_FILE_INFORMATION info{};
  LARGE_INTEGER size{};
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !GetFileSizeEx(handle, &size)) {
    CloseHandle(handle);
    return false;
  }
  state_->handle = handle;
  state_->size = static_cast<std::int64_t>(size.QuadPart);
  return true;
}

std::int64_t InputFile::Size() const {
  return state_->handle != INVALID_HANDLE_VALUE ? state_->size : -1;
}

// Windows keeps access rules, not permission bits; outputs take the rules
// their directory hands down.
std::uint32_t InputFile::Permissions() const { return 0666u; }

bool InputFile::ReadAt(std::int64_t offset, std::uint8_t* buffer, std::size_t count) {
  if (state_->handle == INVALID_HANDLE_VALUE || offset < 0) return false;
  while (count > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    const DWORD chunk = count > (1u << 30) ? (1u << 30) : static_cast<DWORD>(count);
    DWORD read = 0;
    if (!ReadFile(state_->handle, buffer, chunk, &read, &at) || read == 0) return false;
    buffer += read;
    count -= read;
    offset += read;
  }
  return true;
}

}  // namespace qx::plat
