// Lists of names: read(2) on whatever the list is, in pieces as they come.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/failure.h"
#include "platform/platform.h"
#include "platform/posix/native_text.h"

namespace qx::plat {

struct ListFile::State {
  int fd = -1;
  bool owned = false;  // standard input is read, never closed
};

ListFile::ListFile() : state_(new State) {}

ListFile::~ListFile() {
  if (state_->owned) ::close(state_->fd);
  delete state_;
}

bool ListFile::Open(const wchar_t* path) {
  if (path == nullptr || path[0] == L'\0' || state_->fd >= 0) return false;
  if (path[0] == L'-' && path[1] == L'\0') {
    state_->fd = STDIN_FILENO;
    return true;
  }
  // A FIFO's open waits for its writer, as any reader of a FIFO does: the
  // list was asked for by name.
  const std::string native = posix::EncodeNative(path);
  int fd;
  do {
    fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return detail::Failed(errno);
  state_->fd = fd;
  state_->owned = true;
  return true;
}

bool ListFile::Ready() const {
  if (state_->fd < 0) return true;
  pollfd one{state_->fd, POLLIN, 0};
  return ::poll(&one, 1, 0) > 0;
}

std::ptrdiff_t ListFile::Read(std::uint8_t* buffer, std::size_t capacity) {
  if (state_->fd < 0 || buffer == nullptr || capacity == 0) return -1;
  for (;;) {
    const ssize_t n = ::read(state_->fd, buffer, capacity);
    if (n >= 0) return static_cast<std::ptrdiff_t>(n);
    if (errno != EINTR) {
      detail::Failed(errno);
      return -1;
    }
  }
}

bool DecodeListedName(std::string_view bytes, std::wstring* name) {
  if (name == nullptr) return false;
  *name = posix::DecodeNative(bytes);
  return true;
}

}  // namespace qx::plat
