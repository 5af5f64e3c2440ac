#include <sys/mount.h>
#include <sys/stat.h>

#include <string>

#include "platform/testing_fs.h"

#include "platform/posix/native_text.h"

namespace qx::plat::testing {

bool MakeFifo(const std::string& path) { return ::mkfifo(path.c_str(), 0600) == 0; }

bool MountSmallDisk(const std::string& path, long long bytes) {
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0777";
  return ::mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
}

void Unmount(const std::string& path) { ::umount2(path.c_str(), MNT_DETACH); }

std::wstring WidePath(const std::filesystem::path& path) { return posix::DecodeNative(path.native()); }

std::filesystem::path NativePath(const std::wstring& wide) {
  return std::filesystem::path(posix::EncodeNative(wide));
}

}  // namespace qx::plat::testing
