#include <sys/stat.h>

#include "platform/testing_fs.h"

namespace qx::plat::testing {

bool MakeFifo(const std::string& path) { return ::mkfifo(path.c_str(), 0600) == 0; }

}  // namespace qx::plat::testing
