#include "support/ComposePath.h"

#include <cstdarg>
#include <cstddef>

#include "platform/platform.h"
#include "support/WideFormat.h"

namespace qx {

bool ComposePath(wchar_t* buffer, const wchar_t* format, ...) {
  constexpr std::size_t kMostCharacters = plat::kPathCapacity - 1;
  std::va_list args;
  va_start(args, format);
  const int written = VFormatWide(buffer, kMostCharacters, format, args);
  va_end(args);
  if (written < 0 || static_cast<std::size_t>(written) > kMostCharacters) return false;
  // The formatter leaves the terminator out when the text fills the count.
  buffer[written] = L'\0';
  return true;
}

}  // namespace qx
