#include "platform/posix/native_text.h"

#include <cstddef>
#include <cstdint>

namespace qx::plat::posix {

static_assert(sizeof(wchar_t) == 4, "POSIX wide text is UTF-32");

namespace {

// Bytes 0x80..0xFF that are not part of a valid sequence travel as
// U+DC80..U+DCFF: low surrogates, which valid UTF-8 can never produce, so the
// escape cannot be confused with a decoded character.
constexpr char32_t kEscapeBase = 0xDC00;
constexpr char32_t kEscapeFirst = 0xDC80;
constexpr char32_t kEscapeLast = 0xDCFF;
constexpr char32_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Length of the valid UTF-8 sequence starting at `p` (lead byte >= 0x80), or 0
// when it is not one. Only shortest forms of scalar values up to U+10FFFF
// count: overlong forms, encoded surrogates and truncated sequences are not
// valid, and the second byte's range is what rules them out.
std::size_t ValidSequenceLength(const unsigned char* p, std::size_t avail) {
  const unsigned char lead = p[0];
  std::size_t length;
  unsigned char secondLow = 0x80;
  unsigned char secondHigh = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) secondLow = 0xA0;    // below: overlong
    if (lead == 0xED) secondHigh = 0x9F;   // above: surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) secondLow = 0x90;    // below: overlong
    if (lead == 0xF4) secondHigh = 0x8F;   // above: past U+10FFFF
  } else {
    return 0;
  }
  if (avail < length) return 0;
  if (p[1] < secondLow || p[1] > secondHigh) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (!IsContinuation(p[k])) return 0;
  }
  return length;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

std::wstring DecodeNative(std::string_view bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      out.push_back(static_cast<wchar_t>(p[i]));
      ++i;
      continue;
    }
    const std::size_t length = ValidSequenceLength(p + i, n - i);
    if (length == 0) {
      // Only the lead byte is escaped: whatever follows it is decoded afresh,
      // so a valid character right after a stray byte is still recognised.
      out.push_back(static_cast<wchar_t>(kEscapeBase + p[i]));
      ++i;
      continue;
    }
    char32_t c;
    if (length == 2) {
      c = (char32_t{p[i]} & 0x1F) << 6;
    } else if (length == 3) {
      c = (char32_t{p[i]} & 0x0F) << 12 | (char32_t{p[i + 1]} & 0x3F) << 6;
    } else {
      c = (char32_t{p[i]} & 0x07) << 18 | (char32_t{p[i + 1]} & 0x3F) << 12 |
          (char32_t{p[i + 2]} & 0x3F) << 6;
    }
    c |= char32_t{p[i + length - 1]} & 0x3F;
    out.push_back(static_cast<wchar_t>(c));
    i += length;
  }
  return out;
}

// Decoding never yields a surrogate outside U+DC80..U+DCFF, nor a value past
// U+10FFFF. Should such a value reach the encoder anyway (built by hand, say),
// it becomes U+FFFD: writing it as generalised UTF-8 would create a name that
// decodes to something else, and dropping it could make two names equal.
std::string EncodeNative(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (const wchar_t w : text) {
    const auto c = static_cast<char32_t>(static_cast<std::uint32_t>(w));
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c >= kEscapeFirst && c <= kEscapeLast) {
      out.push_back(static_cast<char>(c - kEscapeBase));
    } else if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
      AppendUtf8(out, kReplacement);
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

}  // namespace qx::plat::posix
