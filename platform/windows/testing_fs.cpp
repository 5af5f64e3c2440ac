#include "platform/testing_fs.h"

namespace qx::plat::testing {

// Windows has named pipes, but not as entries of a directory that a listing
// would meet, so there is nothing of the kind to create.
bool MakeFifo(const std::string&) { return false; }

// No file system of a chosen small size can be mounted from a test here.
bool MountSmallDisk(const std::string&, long long) { return false; }
void Unmount(const std::string&) {}

std::wstring WidePath(const std::filesystem::path& path) { return path.wstring(); }

std::filesystem::path NativePath(const std::wstring& wide) { return std::filesystem::path(wide); }

}  // namespace qx::plat::testing
