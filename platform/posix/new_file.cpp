// New files that replace a name only once complete.
//
// Where the file system can (Linux's O_TMPFILE), the bytes go to a file
// without a name in the output's directory, which is linked under the name
// once complete. A link never follows a link at its target (it fails when
// anything is there), and a file without a name vanishes by itself if the
// run ends before, so nothing is ever left behind. When the name is taken
// (a rerun replacing its outputs) the file is linked under a temporary name
// and renamed over it. Elsewhere the temporary is named from the start,
// created exclusively and without following links, and renamed over the
// name. Every step goes through the OutputDir's descriptor of the
// directory, so the file cannot end up in another directory even if a
// component of the path is swapped for a link meanwhile.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <new>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/failure.h"
#include "platform/platform.h"
#include "platform/posix/descriptors.h"
#include "platform/posix/native_text.h"
#include "platform/temporary_name.h"

namespace qx::plat {

struct OutputDir::State {
  int fd = -1;
};

struct NewFile::State {
  int dirFd = -1;  // the OutputDir's, not ours
  int fd = -1;
  bool unnamed = false;   // an O_TMPFILE file, not yet linked anywhere
  std::string temporary;  // name inside the directory, while it has one
  std::string target;     // name inside the directory
};

namespace {

#ifdef O_PATH
// The directory is only used to name things in it: no read permission on it
// is needed, just as for a plain open by path.
constexpr int kDirectoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// Bytes handed to one write call: small enough that an interruption is seen
// within one of them, large enough that a write costs one call for nearly
// every image.
constexpr std::int64_t kChunk = 8 << 20;

// Seeds the names of temporaries: the clock and the process.
std::uint64_t Seed() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<std::uint64_t>(now.tv_nsec) << 20) ^ static_cast<std::uint64_t>(now.tv_sec) ^
         (static_cast<std::uint64_t>(getpid()) << 40);
}

std::string TemporaryName() { return detail::TemporaryName<char>(detail::NextRandom(Seed())); }

void CloseFd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

std::atomic<bool> gUnnamedAllowed{true};

// An unnamed file is given a name through its /proc entry: linking it by
// its descriptor alone needs a privilege the tool may not have.
bool CanLinkUnnamed() {
  static const bool can = ::access("/proc/self/fd", X_OK) == 0;
  return can && gUnnamedAllowed.load(std::memory_order_relaxed);
}

// Links the unnamed file `fd` as `name` in `dirFd`. Fails with EEXIST when
// anything, a link too, is there.
int LinkUnnamed(int fd, int dirFd, const std::string& name) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return ::linkat(AT_FDCWD, self.c_str(), dirFd, name.c_str(), AT_SYMLINK_FOLLOW);
}

}  // namespace

OutputDir::OutputDir() : state_(new State) {}

OutputDir::~OutputDir() {
  CloseFd(&state_->fd);
  delete state_;
}

bool OutputDir::Open(const wchar_t* path) {
  CloseFd(&state_->fd);
  const std::string native = path == nullptr ? std::string() : posix::EncodeNative(path);
  state_->fd = ::open(native.empty() ? "." : native.c_str(), kDirectoryFlags);
  return state_->fd >= 0 || detail::Failed(errno);
}

bool OutputDir::OpenMade(const wchar_t* path) {
  CloseFd(&state_->fd);
  const std::string native = path == nullptr ? std::string() : posix::EncodeNative(path);
  if (native.empty()) return Open(path);
  // Each missing directory from the top down; one that appears meanwhile
  // is as good.
  for (std::size_t slash = native.find('/', 1);; slash = native.find('/', slash + 1)) {
    const std::string part = native.substr(0, slash);
    if (::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return detail::Failed(errno);
    if (slash == std::string::npos) break;
  }
  return Open(path);
}

bool OutputDir::OpenBelow(const OutputDir& root, std::span<const std::wstring> below) {
  CloseFd(&state_->fd);
  if (!root.IsOpen()) return detail::Failed(EBADF);
  int fd = ::fcntl(root.state_->fd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return detail::Failed(errno);
  for (const std::wstring& component : below) {
    const std::string name = posix::EncodeNative(component.c_str());
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
      ::close(fd);
      return detail::Failed(EINVAL);
    }
    // O_NOFOLLOW: a link in the component's place fails the open (ELOOP, or
    // ENOTDIR with O_PATH) instead of being followed.
    int next = ::openat(fd, name.c_str(), kDirectoryFlags | O_NOFOLLOW);
    if (next < 0 && errno == ENOENT) {
      if (::mkdirat(fd, name.c_str(), 0777) != 0 && errno != EEXIST) {
        const int error = errno;
        ::close(fd);
        return detail::Failed(error);
      }
      next = ::openat(fd, name.c_str(), kDirectoryFlags | O_NOFOLLOW);
    }
    const int error = errno;
    ::close(fd);
    if (next < 0) return detail::Failed(error);
    fd = next;
  }
  state_->fd = fd;
  return true;
}

bool OutputDir::IsOpen() const { return state_->fd >= 0; }

NewFile::NewFile() : state_(new State) {}

void NewFile::AllowUnnamed(bool allowed) { gUnnamedAllowed.store(allowed); }

NewFile::~NewFile() {
  Abandon();
  delete state_;
}

bool NewFile::Create(const OutputDir& dir, const wchar_t* name, std::uint32_t permissions) {
  if (name == nullptr || state_->fd >= 0 || !dir.IsOpen()) return detail::Failed(EBADF);
  state_->target = posix::EncodeNative(name);
  if (state_->target.empty() || state_->target.find('/') != std::string::npos) return detail::Failed(EINVAL);
  state_->dirFd = dir.state_->fd;
  const mode_t mode = static_cast<mode_t>(permissions & 0666u);
#ifdef O_TMPFILE
  if (CanLinkUnnamed()) {
    int fd;
    do {
      fd = ::openat(state_->dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      state_->fd = fd;
      state_->unnamed = true;
      return true;
    }
    // A file system without unnamed files: a named temporary instead.
  }
#endif
  for (int attempt = 0; attempt < 64; ++attempt) {
    state_->temporary = TemporaryName();
    int fd;
    do {
      fd = ::openat(state_->dirFd, state_->temporary.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      state_->fd = fd;
      return true;
    }
    if (errno != EEXIST) break;
  }
  const int error = errno;
  state_->temporary.clear();
  state_->dirFd = -1;
  return detail::Failed(error);
}

bool NewFile::Write(const std::uint8_t* data, std::int64_t count) {
  if (state_->fd < 0 || count < 0 || (data == nullptr && count > 0)) return false;
  while (count > 0) {
    if (InterruptRequested()) break;
    const std::int64_t chunk = count < kChunk ? count : kChunk;
    const ssize_t n = ::write(state_->fd, data, static_cast<std::size_t>(chunk));
    if (n < 0 && errno == EINTR) continue;
    // A short count is followed by one more call, which tells the reason.
    if (n <= 0) {
      detail::Failed(n < 0 ? errno : ENOSPC);
      break;
    }
    data += n;
    count -= n;
  }
  if (count == 0) return true;
  Abandon();
  return false;
}

bool NewFile::CopyFrom(InputFile& input, std::int64_t offset, std::int64_t count, Sha256* hash) {
  const int from = InputFileAccess::Descriptor(input);
  if (state_->fd < 0 || from < 0 || offset < 0 || count < 0) return detail::Failed(EBADF);
  // The kernel copies between the files itself where it can, so even an
  // image of gigabytes passes through no memory of ours; bytes to be hashed
  // have to.
  bool kernelCopies = hash == nullptr;
  std::unique_ptr<std::uint8_t[]> buffer;
  constexpr std::int64_t kBuffer = 1 << 20;
  while (count > 0 && !InterruptRequested()) {
    const std::int64_t chunk = count < kChunk ? count : kChunk;
    if (kernelCopies) {
      off_t at = static_cast<off_t>(offset);
      const ssize_t n =
          ::copy_file_range(from, &at, state_->fd, nullptr, static_cast<std::size_t>(chunk), 0);
      if (n > 0) {
        offset += n;
        count -= n;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      // Not between these two files (another file system, an old kernel):
      // read and write instead.
      if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
        kernelCopies = false;
        continue;
      }
      // The input ended, or the output failed.
      detail::Failed(n < 0 ? errno : kErrorCutShort);
      break;
    }
    if (!buffer) buffer.reset(new (std::nothrow) std::uint8_t[kBuffer]);
    if (!buffer) {
      detail::Failed(ENOMEM);
      break;
    }
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
  if (state_->fd < 0) return detail::Failed(EBADF);
  if (state_->unnamed) {
    if (LinkUnnamed(state_->fd, state_->dirFd, state_->target) == 0) {
      state_->unnamed = false;
      // Local file systems report no write errors at the close; were one
      // reported, the name would hold a file that is not whole.
      const bool closed = ::close(state_->fd) == 0;
      const int error = errno;
      state_->fd = -1;
      if (!closed) ::unlinkat(state_->dirFd, state_->target.c_str(), 0);
      state_->dirFd = -1;
      return closed || detail::Failed(error);
    }
    if (errno != EEXIST) {
      const int error = errno;
      Abandon();
      return detail::Failed(error);
    }
    // The name is taken: a temporary name, renamed over it below.
    for (int attempt = 0; attempt < 64 && state_->temporary.empty(); ++attempt) {
      const std::string name = TemporaryName();
      if (LinkUnnamed(state_->fd, state_->dirFd, name) == 0) {
        state_->temporary = name;
      } else if (errno != EEXIST) {
        break;
      }
    }
    const int error = errno;
    state_->unnamed = false;
    if (state_->temporary.empty()) {
      Abandon();
      return detail::Failed(error);
    }
  }
  // A failing close can report a write that did not reach the disk.
  const bool closed = ::close(state_->fd) == 0;
  state_->fd = -1;
  if (closed && ::renameat(state_->dirFd, state_->temporary.c_str(), state_->dirFd,
                           state_->target.c_str()) == 0) {
    state_->temporary.clear();
    state_->dirFd = -1;
    return true;
  }
  const int error = errno;
  Abandon();
  return detail::Failed(error);
}

void NewFile::Abandon() {
  // An unnamed file is gone with its last descriptor.
  state_->unnamed = false;
  CloseFd(&state_->fd);
  if (!state_->temporary.empty() && state_->dirFd >= 0) {
    ::unlinkat(state_->dirFd, state_->temporary.c_str(), 0);
  }
  state_->temporary.clear();
  state_->dirFd = -1;
}

// The report: made as a NewFile and put under its name at once, then
// written to in place.
struct GrowingFile::State {
  int fd = -1;
};

GrowingFile::GrowingFile() : state_(new State) {}

GrowingFile::~GrowingFile() {
  CloseFd(&state_->fd);
  delete state_;
}

bool GrowingFile::Create(const wchar_t* path) {
  CloseFd(&state_->fd);
  if (path == nullptr || path[0] == L'\0') return detail::Failed(ENOENT);
  const std::wstring whole(path);
  const std::size_t slash = whole.rfind(L'/');
  OutputDir dir;
  if (!dir.Open(slash == std::wstring::npos ? L"" : whole.substr(0, slash + 1).c_str())) return false;
  NewFile file;
  const std::wstring name = slash == std::wstring::npos ? whole : whole.substr(slash + 1);
  if (!file.Create(dir, name.c_str(), 0666u)) return false;
  // Another descriptor of the same file, which stays open once the new file
  // is committed under its name.
  state_->fd = ::fcntl(file.state_->fd, F_DUPFD_CLOEXEC, 0);
  if (state_->fd < 0) return detail::Failed(errno);
  if (!file.Commit()) {
    CloseFd(&state_->fd);
    return false;
  }
  return true;
}

bool GrowingFile::WriteAt(std::int64_t offset, const void* data, std::size_t count) {
  if (state_->fd < 0) return detail::Failed(EBADF);
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (count > 0) {
    const ssize_t n = ::pwrite(state_->fd, bytes, count, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return detail::Failed(n < 0 ? errno : ENOSPC);
    bytes += n;
    offset += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

bool GrowingFile::Truncate(std::int64_t length) {
  if (state_->fd < 0) return detail::Failed(EBADF);
  return ::ftruncate(state_->fd, static_cast<off_t>(length)) == 0 || detail::Failed(errno);
}

}  // namespace qx::plat
