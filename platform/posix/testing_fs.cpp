#include <sys/stat.h>

#include "platform/testing_fs.h"

#include "platform/posix/native_text.h"

namespace qx::plat::testing {

bool MakeFifo(const std::string& path) { return ::mkfifo(path.c_str(), 0600) == 0; }

std::wstring WidePath(const std::filesystem::path& path) { return posix::DecodeNative(path.native()); }

std::filesystem::path NativePath(const std::wstring& wide) {
  return std::filesystem::path(posix::EncodeNative(wide));
}

}  // namespace qx::plat::testing
