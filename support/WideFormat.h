// The tool's own counted wide formatter.
//
// The runtimes disagree on what "%s" means in a wide format, so the tool
// formats its wide text itself, with one meaning everywhere:
//   %s   a wide string (const wchar_t*; null prints "(null)")
//   %S   a narrow string (const char*), one character per byte: bytes
//        0x80-0xFF become U+0080-U+00FF
//   %i %d  a signed decimal int; a width and zero fill as in %03i or %5d
//   %%   a percent sign
// A width before s or S pads the string with spaces on the left. Any other
// conversion, flag or length modifier makes the format invalid.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

namespace qx {

// Writes at most `count` characters of the formatted text into buffer; adds a
// terminating null only when the text is shorter than `count`. Returns the
// text's length, or a negative value when the text is longer than `count` or
// the format cannot be honoured.
int VFormatWide(wchar_t* buffer, std::size_t count, const wchar_t* format, std::va_list args);
int FormatWide(wchar_t* buffer, std::size_t count, const wchar_t* format, ...);

// The whole formatted text, however long; empty when the format is invalid.
std::wstring VFormatWideString(const wchar_t* format, std::va_list args);

}  // namespace qx
