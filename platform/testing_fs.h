// File-system help that only the tests need: things the standard library
// cannot make. Linked into test programs, never into the tool.
#pragma once

#include <filesystem>
#include <string>

namespace qx::plat::testing {

// Creates a named pipe at `path` (bytes as the OS sees them). False where it
// cannot be made, or where the platform has no named pipes in its file system.
bool MakeFifo(const std::string& path);

// Mounts an empty in-memory file system of `bytes` bytes on the directory
// `path`, to stand for a nearly full disk. False where that cannot be done
// (no privilege, no such file system); Unmount undoes it.
bool MountSmallDisk(const std::string& path, long long bytes);
void Unmount(const std::string& path);

// A path as the platform layer spells it in wide text, and back: on POSIX
// through the lossless byte mapping, on Windows the path's own UTF-16.
std::wstring WidePath(const std::filesystem::path& path);
std::filesystem::path NativePath(const std::wstring& wide);

}  // namespace qx::plat::testing
