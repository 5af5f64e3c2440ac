// The lossless mapping between the bytes POSIX uses for names and arguments
// and the tool's wide text.
//
// Valid UTF-8 decodes to its code points; each byte of an invalid sequence
// becomes U+DC80 + byte (so 0x80..0xFF map to U+DC80..U+DCFF). Encoding
// reverses it exactly: U+DC80..U+DCFF become the single bytes again, every
// other code point its UTF-8 form. Decoding then encoding gives back the
// original bytes, whatever they were, so a file whose name is not valid UTF-8
// is found, read and written under its exact name.
#pragma once

#include <string>
#include <string_view>

namespace qx::plat::posix {

std::wstring DecodeNative(std::string_view bytes);
std::string EncodeNative(std::wstring_view text);

}  // namespace qx::plat::posix
