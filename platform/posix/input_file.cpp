// Input files: opened read-only, regular files only.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "platform/posix/native_text.h"

namespace qx::plat {

struct InputFile::State {
  int fd = -1;
  std::int64_t size = -1;
  std::uint32_t permissions = 0;
};

InputFile::InputFile() : state_(new State) {}

InputFile::~InputFile() {
  if (state_->fd >= 0) ::close(state_->fd);
  delete state_;
}

bool InputFile::Open(const wchar_t* path) {
  if (path == nullptr || path[0] == L'\0' || state_->fd >= 0) return false;
  const std::string native = posix::EncodeNative(path);
  // The name is looked at first so that a device is not even opened (opening
  // some has effects of its own); the descriptor is checked again because the
  // name may have been replaced in between. O_NONBLOCK keeps the open itself
  // from waiting on a FIFO that appears in that window.
  struct stat before {};
  if (::stat(native.c_str(), &before) == 0 && !S_ISREG(before.st_mode)) return false;
  int fd;
  do {
    fd = ::open(native.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  // Regular files ignore O_NONBLOCK today; it is cleared anyway so that reads
  // block as on any ordinary file.
  const int status = ::fcntl(fd, F_GETFL);
  if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return false;
  }
  state_->fd = fd;
  state_->size = static_cast<std::int64_t>(st.st_size);
  state_->permissions = static_cast<std::uint32_t>(st.st_mode) & 0666u;
  return true;
}

std::int64_t InputFile::Size() const { return state_->fd >= 0 ? state_->size : -1; }

std::uint32_t InputFile::Permissions() const { return state_->permissions; }

bool InputFile::ReadAt(std::int64_t offset, std::uint8_t* buffer, std::size_t count) {
  if (state_->fd < 0 || offset < 0) return false;
  while (count > 0) {
    const ssize_t n = ::pread(state_->fd, buffer, count, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffer += n;
    count -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

}  // namespace qx::plat
