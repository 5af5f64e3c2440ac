// Directory listing with the runtime's own wildcard matching
// (_wfindfirst64i32 and its family), and directory identities.
#include <io.h>
#include <windows.h>

#include <cwchar>
#include <mutex>
#include <set>

#include "platform/failure.h"
#include "platform/platform.h"
#include "platform/windows/runtime.h"

namespace qx::plat {
namespace {

static_assert(sizeof(_wfinddata64i32_t::name) / sizeof(wchar_t) == kNameCapacity,
              "a listed name must fit the record's name buffer");

void Fill(const _wfinddata64i32_t& found, FindData* record) {
  record->attrib = found.attrib;
  record->time_write = found.time_write;
  std::wmemcpy(record->name, found.name, kNameCapacity);
  record->name[kNameCapacity - 1] = L'\0';
}

// The runtime's handles are pointers to its own blocks: handing it one that
// was already closed is a use after free. The handles still open are kept
// here so that such a handle is refused instead.
std::mutex gOpenMutex;
std::set<intptr_t> gOpen;

bool IsOpen(FindHandle handle) {
  std::lock_guard<std::mutex> lock(gOpenMutex);
  return gOpen.count(static_cast<intptr_t>(handle)) != 0;
}

}  // namespace

FindHandle FindFirst(const wchar_t* pattern, FindData* record) {
  if (pattern == nullptr || record == nullptr) return kInvalidFind;
  windows::EnsureQuietRuntime();
  _wfinddata64i32_t found{};
  const intptr_t handle = _wfindfirst64i32(pattern, &found);
  if (handle == -1) {
    // A pattern that names nothing is no failure.
    const DWORD error = GetLastError();
    const bool nothing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                         error == ERROR_NO_MORE_FILES || error == ERROR_INVALID_NAME;
    detail::Failed(nothing ? 0 : static_cast<int>(error));
    return kInvalidFind;
  }
  {
    std::lock_guard<std::mutex> lock(gOpenMutex);
    gOpen.insert(handle);
  }
  Fill(found, record);
  return static_cast<FindHandle>(handle);
}

int FindNext(FindHandle handle, FindData* record) {
  if (record == nullptr || !IsOpen(handle)) return -1;
  windows::EnsureQuietRuntime();
  _wfinddata64i32_t found{};
  if (_wfindnext64i32(static_cast<intptr_t>(handle), &found) != 0) return -1;
  Fill(found, record);
  return 0;
}

int FindClose(FindHandle handle) {
  {
    std::lock_guard<std::mutex> lock(gOpenMutex);
    if (gOpen.erase(static_cast<intptr_t>(handle)) == 0) return -1;
  }
  windows::EnsureQuietRuntime();
  return _findclose(static_cast<intptr_t>(handle)) == 0 ? 0 : -1;
}

// Windows names hold no wildcard characters, so a listing of the path itself
// describes exactly that entry.
bool DescribeEntry(const wchar_t* path, FindData* record) {
  if (path == nullptr || record == nullptr) return false;
  // The runtime's search would take '*' and '?' as wildcards and describe
  // some other entry; no Windows name holds them.
  if (std::wcspbrk(path, L"*?") != nullptr) return false;
  windows::EnsureQuietRuntime();
  _wfinddata64i32_t found{};
  const intptr_t handle = _wfindfirst64i32(path, &found);
  if (handle == -1) return false;
  _findclose(handle);
  Fill(found, record);
  return true;
}

bool GetDirIdentity(const wchar_t* path, DirIdentity* identity) {
  if (path == nullptr || identity == nullptr) return false;
  // Backup semantics is what lets CreateFileW open a directory; without
  // FILE_FLAG_OPEN_REPARSE_POINT a link is followed to its target.
  const HANDLE handle =
      CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return detail::Failed(static_cast<int>(GetLastError()));
  BY_HANDLE_FILE_INFORMATION info{};
  const bool read = GetFileInformationByHandle(handle, &info) != 0;
  const DWORD error = GetLastError();
  CloseHandle(handle);
  if (!read) return detail::Failed(static_cast<int>(error));
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return detail::Failed(ERROR_DIRECTORY);
  identity->device = info.dwVolumeSerialNumber;
  identity->inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

}  // namespace qx::plat
