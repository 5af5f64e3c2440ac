#include "platform/testing_fs.h"

namespace qx::plat::testing {

// Windows has named pipes, but not as entries of a directory that a listing
// would meet, so there is nothing of the kind to create.
bool MakeFifo(const std::string&) { return false; }

}  // namespace qx::plat::testing
