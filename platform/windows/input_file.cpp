// Input files: opened for reading, shared with other programs for reading,
// writing and deleting, files on disk only.
#include <windows.h>

#include <atomic>
#include <cstdlib>

#include "platform/failure.h"
#include "platform/platform.h"
#include "platform/windows/mapped_regions.h"

namespace qx::plat {

namespace {
std::atomic<bool> gMappingAllowed{true};
std::atomic<bool (*)(std::int64_t)> gRefuseLoad{nullptr};
}  // namespace

struct InputFile::State {
  HANDLE handle = INVALID_HANDLE_VALUE;
  HANDLE mapping = nullptr;  // for views, made on first use
  std::int64_t size = -1;
  const std::uint8_t* data = nullptr;
  std::int64_t length = 0;
  void* view = nullptr;
  int region = -1;
  std::uint8_t* heap = nullptr;
};

InputFile::InputFile() : state_(new State) {}

InputFile::~InputFile() {
  Unload();
  if (state_->mapping != nullptr) CloseHandle(state_->mapping);
  if (state_->handle != INVALID_HANDLE_VALUE) CloseHandle(state_->handle);
  delete state_;
}

void InputFile::AllowMapping(bool allowed) { gMappingAllowed.store(allowed); }

void InputFile::RefuseLoads(bool (*refuse)(std::int64_t)) { gRefuseLoad.store(refuse); }

bool InputFile::Open(const wchar_t* path) {
  if (path == nullptr || path[0] == L'\0' || state_->handle != INVALID_HANDLE_VALUE) {
    return detail::Failed(ERROR_INVALID_PARAMETER);
  }
  const HANDLE handle =
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return detail::Failed(static_cast<int>(GetLastError()));
  // A device name (CON, NUL, COM1, a pipe) opens too, but reading the console
  // would wait for typing: only files on disk are read.
  BY_HANDLE_FILE_INFORMATION info{};
  LARGE_INTEGER size{};
  // Not being a file on disk is no failure: such an entry is passed over.
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    return detail::Failed(0);
  }
  if (!GetFileInformationByHandle(handle, &info) || !GetFileSizeEx(handle, &size)) {
    const DWORD error = GetLastError();
    CloseHandle(handle);
    return detail::Failed(static_cast<int>(error));
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    CloseHandle(handle);
    return detail::Failed(0);
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
    if (!ReadFile(state_->handle, buffer, chunk, &read, &at)) return detail::Failed(static_cast<int>(GetLastError()));
    if (read == 0) return detail::Failed(kErrorCutShort);
    buffer += read;
    count -= read;
    offset += read;
  }
  return true;
}

bool InputFile::Load(std::int64_t length, bool* noRoom, bool) {
  if (noRoom != nullptr) *noRoom = false;
  if (state_->handle == INVALID_HANDLE_VALUE || length < 0 || length > state_->size ||
      state_->data != nullptr) {
    return false;
  }
  if (bool (*refuse)(std::int64_t) = gRefuseLoad.load(); refuse != nullptr && refuse(length)) {
    if (noRoom != nullptr) *noRoom = true;
    return detail::Failed(ERROR_NOT_ENOUGH_MEMORY);
  }
  static const std::uint8_t kEmpty[1] = {0};
  if (length == 0) {
    state_->data = kEmpty;
    return true;
  }
  if (static_cast<std::uint64_t>(length) > static_cast<std::size_t>(-1)) {
    if (noRoom != nullptr) *noRoom = true;
    return detail::Failed(ERROR_NOT_ENOUGH_MEMORY);
  }
  const auto count = static_cast<std::size_t>(length);
  if (length >= kReadBelow && gMappingAllowed.load(std::memory_order_relaxed)) {
    // The mapping object is only needed until the view exists.
    const HANDLE mapping =
        CreateFileMappingW(state_->handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping != nullptr) {
      void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, count);
      CloseHandle(mapping);
      if (view != nullptr) {
        const int region = windows::RegisterMappedRegion(view, count);
        if (region >= 0) {
          state_->view = view;
          state_->region = region;
          state_->data = static_cast<const std::uint8_t*>(view);
          state_->length = length;
          return true;
        }
        UnmapViewOfFile(view);
      }
    }
  }
  // A 32-bit process may have no room left for a view this large; one read
  // into memory is the way that remains.
  auto* heap = static_cast<std::uint8_t*>(std::malloc(count));
  if (heap == nullptr) {
    if (noRoom != nullptr) *noRoom = true;
    return detail::Failed(ERROR_NOT_ENOUGH_MEMORY);
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

// Views are brought in page by page as they are read; a read of one byte a
// page pays for that here instead.
void InputFile::Populate(std::int64_t from, std::int64_t to) const {
  if (state_->view == nullptr || from < 0 || to > state_->length || from >= to) return;
  const auto* base = static_cast<const volatile std::uint8_t*>(state_->view);
  unsigned sum = 0;
  for (std::int64_t at = from - from % 4096; at < to; at += 4096) sum += base[at];
  (void)sum;
}

const std::uint8_t* InputFile::Data() const { return state_->data; }

std::int64_t InputFile::Loaded() const { return state_->data != nullptr ? state_->length : 0; }

std::int64_t InputFile::DamagedFrom() const {
  return state_->region >= 0 ? windows::MappedRegionDamagedFrom(state_->region) : -1;
}

namespace {

std::int64_t Granularity() {
  static const std::int64_t granularity = [] {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return static_cast<std::int64_t>(info.dwAllocationGranularity > 0 ? info.dwAllocationGranularity
                                                                         : 65536);
  }();
  return granularity;
}

}  // namespace

bool InputFile::MapView(std::int64_t offset, std::int64_t length, View* view) {
  if (state_->handle == INVALID_HANDLE_VALUE || offset < 0 || length <= 0 || view == nullptr ||
      view->base != nullptr) {
    return false;
  }
  const std::int64_t aligned = offset - offset % Granularity();
  const std::int64_t extent = offset - aligned + length;
  if (static_cast<std::uint64_t>(extent) > static_cast<std::size_t>(-1)) return false;
  // A view may not reach past the end of the mapping: the mapped part stops
  // at the end of the file, and the rest of the view is read as zeros.
  const std::int64_t mappable = state_->size - aligned;
  if (gMappingAllowed.load(std::memory_order_relaxed) && mappable >= extent) {
    if (state_->mapping == nullptr) {
      state_->mapping = CreateFileMappingW(state_->handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
    }
    if (state_->mapping != nullptr) {
      const auto at = static_cast<std::uint64_t>(aligned);
      void* base = MapViewOfFile(state_->mapping, FILE_MAP_READ, static_cast<DWORD>(at >> 32),
                                 static_cast<DWORD>(at & 0xFFFFFFFFu), static_cast<std::size_t>(extent));
      if (base != nullptr) {
        const int region = windows::RegisterMappedRegion(base, static_cast<std::size_t>(extent));
        if (region >= 0) {
          view->base = base;
          view->extent = static_cast<std::size_t>(extent);
          view->region = region;
          view->read = false;
          view->data = static_cast<const std::uint8_t*>(base) + (offset - aligned);
          view->offset = offset;
          view->length = length;
          return true;
        }
        UnmapViewOfFile(base);
      }
    }
  }
  auto* heap = static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(length), 1));
  if (heap == nullptr) return false;
  const std::int64_t available = state_->size - offset;
  if (available > 0) ReadAt(offset, heap, static_cast<std::size_t>(available < length ? available : length));
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
    const bool replaced = windows::MappedRegionReplaced(view->region);
    windows::UnregisterMappedRegion(view->region);
    if (replaced) {
      VirtualFree(view->base, 0, MEM_RELEASE);
    } else {
      UnmapViewOfFile(view->base);
    }
  }
  *view = View{};
}

std::int64_t InputFile::ViewDamagedFrom(const View& view) const {
  if (view.read || view.region < 0) return -1;
  const std::int64_t damaged = windows::MappedRegionDamagedFrom(view.region);
  if (damaged < 0) return -1;
  return view.offset - (view.data - static_cast<const std::uint8_t*>(view.base)) + damaged;
}

void InputFile::Unload() {
  if (state_->view != nullptr) {
    const bool replaced = windows::MappedRegionReplaced(state_->region);
    windows::UnregisterMappedRegion(state_->region);
    if (replaced) {
      VirtualFree(state_->view, 0, MEM_RELEASE);
    } else {
      UnmapViewOfFile(state_->view);
    }
  }
  std::free(state_->heap);
  state_->view = nullptr;
  state_->region = -1;
  state_->heap = nullptr;
  state_->data = nullptr;
  state_->length = 0;
}

}  // namespace qx::plat
