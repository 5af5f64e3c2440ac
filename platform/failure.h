// Platform-internal: where the layer's calls leave the reason they failed,
// for LastError().
#pragma once

namespace qx::plat::detail {

// Keeps `code` as this thread's last error and returns false, so that a
// failing call can end with `return Failed(errno);`.
bool Failed(int code);

}  // namespace qx::plat::detail
