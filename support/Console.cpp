// Progress output in the tool's wide formats.
#include "support/Console.h"

#include <cstdarg>
#include <string>

#include "platform/platform.h"
#include "support/WideFormat.h"

namespace qx {

int PrintOut(const wchar_t* format, ...) {
  // Progress lines are short: most fit the stack buffer and need no heap.
  wchar_t small[512];
  std::va_list args;
  va_start(args, format);
  std::va_list again;
  va_copy(again, args);
  int length = VFormatWide(small, sizeof small / sizeof small[0], format, args);
  va_end(args);
  if (length >= 0) {
    va_end(again);
    plat::WriteStdout(small, static_cast<std::size_t>(length));
    return length;
  }
  // Either longer than the stack buffer or not a valid format; a text that
  // long cannot be empty, so an empty result means the format was invalid.
  const std::wstring text = VFormatWideString(format, again);
  va_end(again);
  if (text.empty()) return -1;
  plat::WriteStdout(text.data(), text.size());
  return static_cast<int>(text.size());
}

}  // namespace qx
