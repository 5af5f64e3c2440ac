// Input files: opened read-only, regular files only, loaded by mapping.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "platform/failure.h"
#include "platform/platform.h"
#include "platform/posix/descriptors.h"
#include "platform/posix/mapped_regions.h"
#include "platform/posix/native_text.h"

namespace qx::plat {

namespace {

std::atomic<bool> gMappingAllowed{true};
std::atomic<bool (*)(std::int64_t)> gRefuseLoad{nullptr};

std::int64_t PageSize() {
  static const std::int64_t size = [] {
    const long page = sysconf(_SC_PAGESIZE);
    return static_cast<std::int64_t>(page > 0 ? page : 4096);
  }();
  return size;
}

}  // namespace

struct InputFile::State {
  int fd = -1;
  std::int64_t size = -1;
  std::uint32_t permissions = 0;
  // The loaded block: a mapping (registered with the fault handler), or a
  // heap block.
  const std::uint8_t* data = nullptr;
  std::int64_t length = 0;
  void* mapping = nullptr;
  std::size_t mappingLength = 0;
  int region = -1;
  std::uint8_t* heap = nullptr;
};

InputFile::InputFile() : state_(new State) {}

InputFile::~InputFile() {
  Unload();
  if (state_->fd >= 0) ::close(state_->fd);
  delete state_;
}

void InputFile::AllowMapping(bool allowed) { gMappingAllowed.store(allowed); }

void InputFile::RefuseLoads(bool (*refuse)(std::int64_t)) { gRefuseLoad.store(refuse); }

bool InputFile::Open(const wchar_t* path) {
  if (path == nullptr || path[0] == L'\0' || state_->fd >= 0) return detail::Failed(EINVAL);
  const std::string native = posix::EncodeNative(path);
  // The name is looked at first so that a device is not even opened (opening
  // some has effects of its own); the descriptor is checked again because the
  // name may have been replaced in between. O_NONBLOCK keeps the open itself
  // from waiting on a FIFO that appears in that window.
  struct stat before {};
  // Not being a regular file is no failure: such an entry is passed over.
  if (::stat(native.c_str(), &before) == 0 && !S_ISREG(before.st_mode)) return detail::Failed(0);
  int fd;
  do {
    fd = ::open(native.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return detail::Failed(errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int error = errno;
    ::close(fd);
    return detail::Failed(error);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return detail::Failed(0);
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
    if (n <= 0) return detail::Failed(n < 0 ? errno : kErrorCutShort);
    buffer += n;
    count -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

bool InputFile::Load(std::int64_t length, bool* noRoom, bool populate) {
  if (noRoom != nullptr) *noRoom = false;
  if (state_->fd < 0 || length < 0 || length > state_->size || state_->data != nullptr) {
    return false;
  }
  if (bool (*refuse)(std::int64_t) = gRefuseLoad.load(); refuse != nullptr && refuse(length)) {
    if (noRoom != nullptr) *noRoom = true;
    return detail::Failed(ENOMEM);
  }
  static const std::uint8_t kEmpty[1] = {0};
  if (length == 0) {
    state_->data = kEmpty;
    return true;
  }
  const auto count = static_cast<std::size_t>(length);
  if (length >= kReadBelow && gMappingAllowed.load(std::memory_order_relaxed)) {
    // Populated at once: one call brings every cached page in, instead of a
    // fault per page while the scanners run.
    void* mapping = ::mmap(nullptr, count, PROT_READ, MAP_PRIVATE | (populate ? MAP_POPULATE : 0),
                           state_->fd, 0);
    if (mapping != MAP_FAILED) {
      const int region = posix::RegisterMappedRegion(mapping, count);
      if (region >= 0) {
        state_->mapping = mapping;
        state_->mappingLength = count;
        state_->region = region;
        state_->data = static_cast<const std::uint8_t*>(mapping);
        state_->length = length;
        return true;
      }
      // Without the fault handler's protection a mapping is not used.
      ::munmap(mapping, count);
    }
  }
  // Not zero-filled: the read overwrites every byte before anyone looks.
  auto* heap = static_cast<std::uint8_t*>(std::malloc(count));
  if (heap == nullptr) {
    if (noRoom != nullptr) *noRoom = true;
    return detail::Failed(ENOMEM);
  }
  if (!ReadAt(0, heap, count)) {
    std::free(heap);
    return false;
  }
  state_->heap = heap;
  state_->data = heap;
  state_->length = length;
  return true;
}

void InputFile::Populate(std::int64_t from, std::int64_t to) const {
  if (state_->mapping == nullptr || from < 0 || to > state_->length || from >= to) return;
  const std::int64_t page = PageSize();
  const std::int64_t start = from - from % page;
  auto* base = static_cast<std::uint8_t*>(state_->mapping);
#ifdef MADV_POPULATE_READ
  if (::madvise(base + start, static_cast<std::size_t>(to - start), MADV_POPULATE_READ) == 0) return;
#endif
  // Older kernels: a read of one byte a page does the same, fault by fault.
  unsigned sum = 0;
  for (std::int64_t at = start; at < to; at += page) sum += static_cast<volatile std::uint8_t*>(base)[at];
  (void)sum;
}

const std::uint8_t* InputFile::Data() const { return state_->data; }

std::int64_t InputFile::Loaded() const { return state_->data != nullptr ? state_->length : 0; }

std::int64_t InputFile::DamagedFrom() const {
  return state_->region >= 0 ? posix::MappedRegionDamagedFrom(state_->region) : -1;
}

bool InputFile::MapView(std::int64_t offset, std::int64_t length, View* view) {
  if (state_->fd < 0 || offset < 0 || length <= 0 || view == nullptr || view->base != nullptr) {
    return false;
  }
  const std::int64_t aligned = offset - offset % PageSize();
  const auto extent = static_cast<std::size_t>(offset - aligned + length);
  if (gMappingAllowed.load(std::memory_order_relaxed)) {
    void* base = ::mmap(nullptr, extent, PROT_READ, MAP_PRIVATE | MAP_POPULATE, state_->fd,
                        static_cast<off_t>(aligned));
    if (base != MAP_FAILED) {
      const int region = posix::RegisterMappedRegion(base, extent);
      if (region >= 0) {
        view->base = base;
        view->extent = extent;
        view->region = region;
        view->read = false;
        view->data = static_cast<const std::uint8_t*>(base) + (offset - aligned);
        view->offset = offset;
        view->length = length;
        return true;
      }
      ::munmap(base, extent);
    }
  }
  // Read instead: what lies past the end of the file reads as zeros.
  auto* heap = static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(length), 1));
  if (heap == nullptr) return false;
  std::int64_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(state_->fd, heap + done, static_cast<std::size_t>(length - done),
                              static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  view->base = heap;
  view->extent = static_cast<std::size_t>(length);
  view->region = -1;
  view->read = true;
  view->data = heap;
  view->offset = offset;
  view->length = length;
  return true;
}

void InputFile::ReleaseView(View* view) {
  if (view == nullptr || view->base == nullptr) return;
  if (view->read) {
    std::free(view->base);
  } else {
    posix::UnregisterMappedRegion(view->region);
    ::munmap(view->base, view->extent);
  }
  *view = View{};
}

std::int64_t InputFile::ViewDamagedFrom(const View& view) const {
  if (view.read || view.region < 0) return -1;
  const std::int64_t damaged = posix::MappedRegionDamagedFrom(view.region);
  if (damaged < 0) return -1;
  const std::int64_t aligned = view.offset - (view.data - static_cast<const std::uint8_t*>(view.base));
  return aligned + damaged;
}

void InputFile::Unload() {
  if (state_->mapping != nullptr) {
    posix::UnregisterMappedRegion(state_->region);
    ::munmap(state_->mapping, state_->mappingLength);
  }
  std::free(state_->heap);
  state_->mapping = nullptr;
  state_->mappingLength = 0;
  state_->region = -1;
  state_->heap = nullptr;
  state_->data = nullptr;
  state_->length = 0;
}

int InputFileAccess::Descriptor(const InputFile& input) { return input.state_->fd; }

}  // namespace qx::plat
