#include "report/Text.h"

#include <charconv>
#include <cstddef>

namespace qx::report::detail {

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char kHex[] = "0123456789abcdef";
constexpr char kUpperHex[] = "0123456789ABCDEF";

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }
bool IsByte(char32_t c) { return c >= kByteBase; }

// The UTF-8 form of a scalar value, or of a lone surrogate, whose three-byte
// form is what Windows' text becomes byte by byte.
std::size_t Utf8(char32_t c, unsigned char* out) {
  if (c < 0x80) {
    out[0] = static_cast<unsigned char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
    out[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
    out[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
  out[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
  return 4;
}

void AppendUtf8(std::string& out, char32_t c) {
  unsigned char bytes[4];
  const std::size_t n = Utf8(c, bytes);
  out.append(reinterpret_cast<const char*>(bytes), n);
}

// Control characters (C0, DEL, C1): JSON must escape C0, and the others
// would be taken as line ends or terminal commands by some readers.
bool IsControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// Characters that XML 1.0 cannot hold as they are: control characters
// other than tab, line feed and carriage return, which it can hold but
// parsers change (line ends are normalised), and U+FFFE and U+FFFF.
bool XmlMustEscape(char32_t c) { return IsControl(c) || c == 0xFFFE || c == 0xFFFF; }

void AppendJsonEscape(std::string& out, char32_t unit) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(unit >> shift) & 15];
}

void AppendPercent(std::string& out, unsigned char byte) {
  out += '%';
  out += kUpperHex[byte >> 4];
  out += kUpperHex[byte & 15];
}

// Length of the valid UTF-8 sequence at p (lead byte 0x80 or above), or 0.
// The second byte's range rules out overlong forms, encoded surrogates and
// values past U+10FFFF.
std::size_t ValidSequence(const unsigned char* p, std::size_t avail, char32_t* value) {
  const unsigned char lead = p[0];
  std::size_t length;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  char32_t c;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    c = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    c = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (avail < length || p[1] < low || p[1] > high) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((p[k] & 0xC0) != 0x80) return 0;
    c = (c << 6) | (p[k] & 0x3F);
  }
  *value = c;
  return length;
}

}  // namespace

void AppendUtf16(Codes& out, std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size()) {
      const char32_t next = text[i + 1];
      if (next >= 0xDC00 && next <= 0xDFFF) {
        out += 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
        ++i;
        continue;
      }
    }
    out += unit;  // lone surrogates stay as they are
  }
}

void AppendWide(Codes& out, std::wstring_view text) {
  if constexpr (sizeof(wchar_t) == 2) {
    std::u16string units;
    units.reserve(text.size());
    for (const wchar_t w : text) units += static_cast<char16_t>(w);
    AppendUtf16(out, units);
  } else {
    for (const wchar_t w : text) {
      const auto c = static_cast<char32_t>(static_cast<std::uint32_t>(w));
      if (c >= 0xDC80 && c <= 0xDCFF) {
        out += kByteBase + (c - 0xDC00);
      } else if (IsSurrogate(c) || c > 0x10FFFF) {
        out += kReplacement;
      } else {
        out += c;
      }
    }
  }
}

void AppendBytes(Codes& out, std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t i = 0;
  while (i < bytes.size()) {
    char32_t c = p[i];
    if (c < 0x80) {
      out += c;
      ++i;
      continue;
    }
    const std::size_t length = ValidSequence(p + i, bytes.size() - i, &c);
    if (length == 0) {
      out += kByteBase + p[i];  // only this byte: a valid sequence may follow
      ++i;
    } else {
      out += c;
      i += length;
    }
  }
}

void AppendAscii(Codes& out, std::string_view text) {
  for (const char c : text) out += static_cast<char32_t>(static_cast<unsigned char>(c));
}

void AppendNumber(Codes& out, std::int64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  AppendAscii(out, std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

void AppendJsonString(std::string& out, const Codes& text) {
  for (const char32_t c : text) {
    if (IsByte(c)) {
      AppendJsonEscape(out, 0xDC00 + (c - kByteBase));  // surrogateescape's form
    } else if (IsSurrogate(c)) {
      AppendJsonEscape(out, c);
    } else if (c == U'"') {
      out += "\\\"";
    } else if (c == U'\\') {
      out += "\\\\";
    } else if (c == U'\b') {
      out += "\\b";
    } else if (c == U'\t') {
      out += "\\t";
    } else if (c == U'\n') {
      out += "\\n";
    } else if (c == U'\f') {
      out += "\\f";
    } else if (c == U'\r') {
      out += "\\r";
    } else if (IsControl(c) || c == 0x2028 || c == 0x2029) {
      AppendJsonEscape(out, c);
    } else {
      AppendUtf8(out, c);
    }
  }
}

bool NeedsPercent(const Codes& text) {
  for (const char32_t c : text) {
    if (IsByte(c) || IsSurrogate(c) || XmlMustEscape(c)) return true;
  }
  return false;
}

void AppendXmlText(std::string& out, const Codes& text, bool percent) {
  for (const char32_t c : text) {
    if (c == U'&') {
      out += "&amp;";
    } else if (c == U'<') {
      out += "&lt;";
    } else if (c == U'>') {
      out += "&gt;";
    } else if (!percent) {
      AppendUtf8(out, c);
    } else if (IsByte(c)) {
      AppendPercent(out, static_cast<unsigned char>(c - kByteBase));
    } else if (IsSurrogate(c) || XmlMustEscape(c) || c == U'%') {
      unsigned char bytes[4];
      const std::size_t n = Utf8(c, bytes);
      for (std::size_t k = 0; k < n; ++k) AppendPercent(out, bytes[k]);
    } else {
      AppendUtf8(out, c);
    }
  }
}

}  // namespace qx::report::detail
