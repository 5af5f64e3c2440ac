#include "support/ByteSearch.h"  // IWYU pragma: export
