// Lists of names: ReadFile on whatever the list is, in pieces as they come.
// A list is UTF-8 text; the byte-order mark some editors put first is left
// out.
#include <windows.h>

#include <climits>
#include <cstring>
#include <string>

#include "platform/failure.h"
#include "platform/platform.h"

namespace qx::plat {

namespace {

// What ReadFile gives: a count, 0 at the end (a pipe whose writer has gone
// ends with ERROR_BROKEN_PIPE), -1 on a failure.
std::ptrdiff_t ReadSome(HANDLE handle, std::uint8_t* buffer, std::size_t capacity) {
  const DWORD wanted = capacity > static_cast<std::size_t>(1u << 30) ? (1u << 30)
                                                                     : static_cast<DWORD>(capacity);
  DWORD got = 0;
  if (!ReadFile(handle, buffer, wanted, &got, nullptr)) {
    if (GetLastError() == ERROR_BROKEN_PIPE) return 0;
    detail::Failed(static_cast<int>(GetLastError()));
    return -1;
  }
  return static_cast<std::ptrdiff_t>(got);
}

constexpr std::uint8_t kByteOrderMark[3] = {0xEF, 0xBB, 0xBF};

}  // namespace

struct ListFile::State {
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool owned = false;  // standard input is read, never closed
  // The list's first three bytes, read before anything is handed out, so
  // that a byte-order mark can be told from the start of a name.
  bool started = false;
  std::uint8_t head[3] = {};
  std::size_t headCount = 0;
  std::size_t headGiven = 0;
};

ListFile::ListFile() : state_(new State) {}

ListFile::~ListFile() {
  if (state_->owned) CloseHandle(state_->handle);
  delete state_;
}

bool ListFile::Open(const wchar_t* path) {
  if (path == nullptr || path[0] == L'\0' || state_->handle != INVALID_HANDLE_VALUE) return false;
  if (path[0] == L'-' && path[1] == L'\0') {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == INVALID_HANDLE_VALUE || input == nullptr) return false;
    state_->handle = input;
    return true;
  }
  const HANDLE handle =
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return detail::Failed(static_cast<int>(GetLastError()));
  state_->handle = handle;
  state_->owned = true;
  return true;
}

bool ListFile::Ready() const {
  const State& state = *state_;
  if (state.handle == INVALID_HANDLE_VALUE || state.headGiven < state.headCount) return true;
  switch (GetFileType(state.handle)) {
    case FILE_TYPE_DISK:
      return true;
    case FILE_TYPE_PIPE: {
      DWORD available = 0;
      // A pipe that cannot be peeked is broken: a read ends at once.
      if (!PeekNamedPipe(state.handle, nullptr, 0, nullptr, &available, nullptr)) return true;
      return available > 0;
    }
    default:
      return false;
  }
}

std::ptrdiff_t ListFile::Read(std::uint8_t* buffer, std::size_t capacity) {
  State& state = *state_;
  if (state.handle == INVALID_HANDLE_VALUE || buffer == nullptr || capacity == 0) return -1;
  if (!state.started) {
    state.started = true;
    while (state.headCount < sizeof state.head) {
      const std::ptrdiff_t n =
          ReadSome(state.handle, state.head + state.headCount, sizeof state.head - state.headCount);
      if (n < 0) return -1;
      if (n == 0) break;
      state.headCount += static_cast<std::size_t>(n);
    }
    if (state.headCount == sizeof state.head &&
        std::memcmp(state.head, kByteOrderMark, sizeof kByteOrderMark) == 0) {
      state.headCount = 0;
    }
  }
  if (state.headGiven < state.headCount) {
    std::size_t count = state.headCount - state.headGiven;
    if (count > capacity) count = capacity;
    std::memcpy(buffer, state.head + state.headGiven, count);
    state.headGiven += count;
    return static_cast<std::ptrdiff_t>(count);
  }
  return ReadSome(state.handle, buffer, capacity);
}

bool DecodeListedName(std::string_view bytes, std::wstring* name) {
  if (name == nullptr || bytes.size() > static_cast<std::size_t>(INT_MAX)) return false;
  name->clear();
  if (bytes.empty()) return true;
  const int size = static_cast<int>(bytes.size());
  const int needed =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
  if (needed <= 0) return false;
  name->resize(static_cast<std::size_t>(needed));
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), size, name->data(),
                             needed) == needed;
}

}  // namespace qx::plat
