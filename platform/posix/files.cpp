// Current directory, clock and file streams.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <cwchar>
#include <string>

#include "platform/failure.h"
#include "platform/platform.h"
#include "platform/posix/native_text.h"

namespace qx::plat {

static_assert(sizeof(off_t) >= 8, "64-bit file offsets are required");

wchar_t* GetCwd(wchar_t* buffer, int capacity) {
  if (buffer == nullptr || capacity <= 0) return nullptr;
  // getcwd(nullptr, 0) sizes the buffer itself, so a directory deeper than
  // any fixed guess is reported as "does not fit" rather than as a failure.
  char* raw = ::getcwd(nullptr, 0);
  if (raw == nullptr) return nullptr;
  const std::wstring wide = posix::DecodeNative(raw);
  std::free(raw);
  if (wide.size() >= static_cast<std::size_t>(capacity)) return nullptr;
  std::wmemcpy(buffer, wide.data(), wide.size());
  buffer[wide.size()] = L'\0';
  return buffer;
}

int ChangeDir(const wchar_t* path) {
  if (path == nullptr) return -1;
  if (::chdir(posix::EncodeNative(path).c_str()) == 0) return 0;
  detail::Failed(errno);
  return -1;
}

std::int64_t CurrentTime() { return static_cast<std::int64_t>(std::time(nullptr)); }

namespace {

int OpenNoInterrupt(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The tool reads and writes regular files only. Opening a FIFO could block
// until a peer appears, reading a device such as /dev/zero never ends, and
// writing into one has effects far beyond a file. The name is looked at
// before the open so that a device is not even opened (opening some has
// effects of its own); the descriptor is checked again after the open
// because the name may have been replaced in between. O_NONBLOCK keeps the
// open itself from waiting on a FIFO that appears in that window.
std::FILE* OpenRegular(const wchar_t* path, int flags, const char* streamMode) {
  if (path == nullptr || path[0] == L'\0') return nullptr;
  const std::string native = posix::EncodeNative(path);
  struct stat before {};
  if (::stat(native.c_str(), &before) == 0 && !S_ISREG(before.st_mode)) return nullptr;

  const int fd =
      OpenNoInterrupt(native.c_str(), flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) return nullptr;
  struct stat after {};
  bool ok = ::fstat(fd, &after) == 0 && S_ISREG(after.st_mode);
  if (ok) {
    // Regular files ignore O_NONBLOCK today; it is cleared anyway so that
    // the stream behaves as an ordinary blocking one everywhere.
    const int status = ::fcntl(fd, F_GETFL);
    ok = status >= 0 && ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) == 0;
  }
  // Truncation waits until the target is known to be a regular file.
  if (ok && (flags & O_WRONLY) != 0) ok = ::ftruncate(fd, 0) == 0;
  std::FILE* stream = ok ? ::fdopen(fd, streamMode) : nullptr;
  if (stream == nullptr) ::close(fd);
  return stream;
}

}  // namespace

std::FILE* OpenFile(const wchar_t* path, const wchar_t* mode) {
  if (mode == nullptr) return nullptr;
  if (std::wcscmp(mode, L"rb") == 0) return OpenRegular(path, O_RDONLY, "rb");
  if (std::wcscmp(mode, L"wb") == 0) return OpenRegular(path, O_WRONLY | O_CREAT, "wb");
  return nullptr;
}

int Seek64(std::FILE* stream, std::int64_t offset, int origin) {
  if (stream == nullptr) return -1;
  return ::fseeko(stream, static_cast<off_t>(offset), origin) == 0 ? 0 : -1;
}

std::int64_t Tell64(std::FILE* stream) {
  if (stream == nullptr) return -1;
  return static_cast<std::int64_t>(::ftello(stream));
}

}  // namespace qx::plat
