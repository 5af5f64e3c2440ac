// Path split and absolute paths: the runtime's own _wsplitpath_s and
// _wfullpath, so drive letters, both separators and drive-relative paths
// follow the system's rules exactly.
#include <stdlib.h>

#include <cerrno>

#include "platform/platform.h"
#include "platform/windows/runtime.h"

namespace qx::plat {
namespace {

void Clear(wchar_t* part, std::size_t capacity) {
  if (part != nullptr && capacity > 0) part[0] = L'\0';
}

}  // namespace

int SplitPath(const wchar_t* path, wchar_t* drive, std::size_t driveCapacity, wchar_t* dir,
              std::size_t dirCapacity, wchar_t* name, std::size_t nameCapacity, wchar_t* ext,
              std::size_t extCapacity) {
  windows::EnsureQuietRuntime();
  // The runtime treats a wanted part with no room at all as a bad argument
  // and leaves the other parts untouched; here nothing fits, so every part
  // comes back empty as for any part that is too small.
  const bool noRoom = (drive != nullptr && driveCapacity == 0) ||
                      (dir != nullptr && dirCapacity == 0) ||
                      (name != nullptr && nameCapacity == 0) || (ext != nullptr && extCapacity == 0);
  if (path == nullptr || noRoom) {
    Clear(drive, driveCapacity);
    Clear(dir, dirCapacity);
    Clear(name, nameCapacity);
    Clear(ext, extCapacity);
    return path == nullptr ? EINVAL : ERANGE;
  }
  // A part that is not wanted goes to the runtime as (null, 0).
  return _wsplitpath_s(path, drive, drive ? driveCapacity : 0, dir, dir ? dirCapacity : 0, name,
                       name ? nameCapacity : 0, ext, ext ? extCapacity : 0);
}

bool IsAbsolute(const wchar_t* path) {
  if (path == nullptr) return false;
  // C:\x, and \\server\share\x; \x and C:x depend on the current drive or
  // that drive's current directory.
  if (IsSeparator(path[0])) return IsSeparator(path[1]);
  return path[0] != L'\0' && path[1] == L':' && IsSeparator(path[2]);
}

bool FullPath(const wchar_t* path, wchar_t* out, int capacity) {
  // The runtime makes "" the current directory; an empty path names nothing.
  if (path == nullptr || path[0] == L'\0' || out == nullptr || capacity <= 0) return false;
  windows::EnsureQuietRuntime();
  return _wfullpath(out, path, static_cast<std::size_t>(capacity)) != nullptr;
}

}  // namespace qx::plat
