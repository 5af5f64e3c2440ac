// File-system help that only the tests need: things the standard library
// cannot make. Linked into test programs, never into the tool.
#pragma once

#include <string>

namespace qx::plat::testing {

// Creates a named pipe at `path` (bytes as the OS sees them). False where it
// cannot be made, or where the platform has no named pipes in its file system.
bool MakeFifo(const std::string& path);

}  // namespace qx::plat::testing
