// Formatted progress output to standard output, in the tool's wide formats
// (WideFormat.h). The text goes to the platform's buffered standard output.
#pragma once

namespace qx {

// Formats and writes to standard output. Returns the number of characters
// written, or a negative value when the format could not be honoured.
int PrintOut(const wchar_t* format, ...);

}  // namespace qx
