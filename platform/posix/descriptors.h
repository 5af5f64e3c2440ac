// Platform-internal: the descriptor behind an open input file, for copies
// from it that the kernel can do itself.
#pragma once

#include "platform/platform.h"

namespace qx::plat {

struct InputFileAccess {
  static int Descriptor(const InputFile& input);
};

}  // namespace qx::plat
