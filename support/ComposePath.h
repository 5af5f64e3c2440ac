// Composition of paths that are never used cut.
//
// A path cut to the platform's capacity can name another file or directory
// than the one meant (or create one the user never asked for), so a path that
// does not fit is reported as such and the caller passes the entry over.
#pragma once

namespace qx {

// Formats into buffer, which holds qx::plat::kPathCapacity wide characters,
// with the tool's wide formats. Returns true when the whole text fits (at most
// kPathCapacity - 1 characters, then terminated); false when it is longer or
// cannot be formatted, and the buffer's content is then not to be used.
bool ComposePath(wchar_t* buffer, const wchar_t* format, ...);

}  // namespace qx
