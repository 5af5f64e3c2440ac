// Helpers shared by the Windows implementation; not part of the interface.
#pragma once

#include <string>
#include <string_view>

namespace qx::plat::windows {

// Keeps the C runtime's parameter checks from ending the process. The "_s"
// functions report a part that does not fit (and the other checked functions
// a bad argument) through the runtime's invalid-parameter handler, whose
// default ends the process; with this quiet handler installed they return
// their error code instead, which is what the callers test. Installed once,
// for the whole process, the first time any platform function needs it.
void EnsureQuietRuntime();

// UTF-16 to UTF-8. Surrogate pairs become one four-byte sequence; a lone
// surrogate is written as its own three-byte sequence rather than replaced,
// so no character of a name is silently lost from the output.
std::string ToUtf8(std::wstring_view text);

// UTF-8 to UTF-16; invalid bytes become U+FFFD.
std::wstring FromUtf8(std::string_view bytes);

}  // namespace qx::plat::windows
