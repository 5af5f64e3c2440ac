// The report's text before it is written: the characters of a name together
// with what is no character (a byte that is not UTF-8, a lone surrogate), so
// that each form can write both in its own lossless way. Not part of the
// module's interface.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qx::report::detail {

// One code per character: a Unicode scalar value (U+0000..U+10FFFF outside
// the surrogates), a lone surrogate (U+D800..U+DFFF) of UTF-16 text, or
// kByteBase + b for a byte b (0x80..0xFF) that is not part of valid UTF-8.
using Codes = std::u32string;
inline constexpr char32_t kByteBase = 0x110000;

// A wide name as the platform layer holds it: UTF-16 where wchar_t has 16
// bits; elsewhere UTF-32 in which U+DC80..U+DCFF stand for bytes (POSIX's
// lossless mapping) and any other surrogate or value past U+10FFFF, which no
// name can hold, is U+FFFD as the platform layer writes it.
void AppendWide(Codes& out, std::wstring_view text);
void AppendUtf16(Codes& out, std::u16string_view text);
// Bytes read as UTF-8 (shortest forms of scalar values only); each byte of
// anything else is a byte code.
void AppendBytes(Codes& out, std::string_view bytes);
void AppendAscii(Codes& out, std::string_view text);
void AppendNumber(Codes& out, std::int64_t value);

// The text as the body of a JSON string (without the quotes).
void AppendJsonString(std::string& out, const Codes& text);

// True when XML cannot hold the text as it is, and it must be percent-encoded.
bool NeedsPercent(const Codes& text);
// The text as XML character data: percent-encoded when `percent`, with '&',
// '<' and '>' as entities.
void AppendXmlText(std::string& out, const Codes& text, bool percent);

}  // namespace qx::report::detail
