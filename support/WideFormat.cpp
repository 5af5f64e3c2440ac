// The tool's counted wide formatter. It reads no locale and calls no runtime
// formatter, so "%s" and "%S" mean the same thing on every platform.
#include "support/WideFormat.h"

#include <climits>
#include <cstdint>

namespace qx {
namespace {

// Texts longer than this cannot be reported as an int length.
constexpr std::uint64_t kMaxLength = INT_MAX;

// Writes into a caller's buffer of `count` characters while counting the
// whole text. Once the text is known to be longer than `count` the result is
// negative whatever follows, so the formatter may stop early.
class CountedSink {
 public:
  CountedSink(wchar_t* buffer, std::size_t count) : buffer_(buffer), count_(count) {}

  void Put(wchar_t c) {
    if (length_ < count_) buffer_[length_] = c;
    ++length_;
  }
  void Fill(wchar_t c, std::uint64_t n) {
    if (length_ < count_) {
      const std::uint64_t room = count_ - length_;
      const std::uint64_t stored = n < room ? n : room;
      for (std::uint64_t i = 0; i < stored; ++i) buffer_[length_ + i] = c;
    }
    length_ += n;
  }
  bool Done() const { return length_ > count_ || length_ > kMaxLength; }
  std::uint64_t length() const { return length_; }

 private:
  wchar_t* buffer_;
  std::uint64_t count_;
  std::uint64_t length_ = 0;
};

// Collects the whole text, however long.
class StringSink {
 public:
  explicit StringSink(std::wstring* out) : out_(out) {}
  void Put(wchar_t c) { out_->push_back(c); }
  void Fill(wchar_t c, std::uint64_t n) {
    if (out_->size() + n > kMaxLength) {
      tooLong_ = true;
      return;
    }
    out_->append(static_cast<std::size_t>(n), c);
  }
  bool Done() const { return tooLong_ || out_->size() > kMaxLength; }
  std::uint64_t length() const { return out_->size(); }

 private:
  std::wstring* out_;
  bool tooLong_ = false;
};

std::uint64_t WideLength(const wchar_t* s) {
  std::uint64_t n = 0;
  while (s[n] != L'\0') ++n;
  return n;
}

std::uint64_t NarrowLength(const char* s) {
  std::uint64_t n = 0;
  while (s[n] != '\0') ++n;
  return n;
}

// Formats into sink. False when the format holds a conversion the tool does
// not define. Stops early once the sink has seen enough to know the result;
// the caller judges the length.
template <class Sink>
bool Format(Sink& sink, const wchar_t* format, std::va_list args) {
  if (format == nullptr) return false;
  for (const wchar_t* f = format; *f != L'\0'; ++f) {
    if (sink.Done()) break;
    if (*f != L'%') {
      sink.Put(*f);
      continue;
    }
    ++f;
    if (*f == L'%') {
      sink.Put(L'%');
      continue;
    }
    bool zeroFill = false;
    if (*f == L'0') {
      zeroFill = true;
      ++f;
    }
    std::uint64_t width = 0;
    while (*f >= L'0' && *f <= L'9') {
      width = width * 10 + static_cast<std::uint64_t>(*f - L'0');
      if (width > kMaxLength) return false;
      ++f;
    }
    switch (*f) {
      case L's': {
        const wchar_t* s = va_arg(args, const wchar_t*);
        if (s == nullptr) s = L"(null)";
        if (width > 0) {
          const std::uint64_t n = WideLength(s);
          if (width > n) sink.Fill(L' ', width - n);
        }
        for (const wchar_t* p = s; *p != L'\0' && !sink.Done(); ++p) sink.Put(*p);
        break;
      }
      case L'S': {
        const char* s = va_arg(args, const char*);
        if (s == nullptr) s = "(null)";
        if (width > 0) {
          const std::uint64_t n = NarrowLength(s);
          if (width > n) sink.Fill(L' ', width - n);
        }
        // Each byte becomes the character of the same value: 0x80-0xFF are
        // read unsigned so that they land on U+0080-U+00FF.
        for (const char* p = s; *p != '\0' && !sink.Done(); ++p) {
          sink.Put(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
        }
        break;
      }
      case L'i':
      case L'd': {
        const int value = va_arg(args, int);
        // Negated as unsigned so that INT_MIN keeps its magnitude.
        unsigned magnitude = static_cast<unsigned>(value);
        if (value < 0) magnitude = 0u - magnitude;
        wchar_t digits[16];
        int count = 0;
        do {
          digits[count++] = static_cast<wchar_t>(L'0' + magnitude % 10);
          magnitude /= 10;
        } while (magnitude != 0);
        const std::uint64_t textLength = static_cast<std::uint64_t>(count) + (value < 0 ? 1 : 0);
        const std::uint64_t pad = width > textLength ? width - textLength : 0;
        if (!zeroFill) sink.Fill(L' ', pad);
        if (value < 0) sink.Put(L'-');
        if (zeroFill) sink.Fill(L'0', pad);
        while (count > 0) sink.Put(digits[--count]);
        break;
      }
      default:
        // Includes a lone '%' at the end of the format.
        return false;
    }
  }
  return true;
}

}  // namespace

int VFormatWide(wchar_t* buffer, std::size_t count, const wchar_t* format, std::va_list args) {
  if (buffer == nullptr) count = 0;
  CountedSink sink(buffer, count);
  if (!Format(sink, format, args)) return -1;
  const std::uint64_t length = sink.length();
  if (length > count || length > kMaxLength) return -1;
  if (length < count) buffer[length] = L'\0';
  return static_cast<int>(length);
}

int FormatWide(wchar_t* buffer, std::size_t count, const wchar_t* format, ...) {
  std::va_list args;
  va_start(args, format);
  const int result = VFormatWide(buffer, count, format, args);
  va_end(args);
  return result;
}

std::wstring VFormatWideString(const wchar_t* format, std::va_list args) {
  std::wstring text;
  StringSink sink(&text);
  if (!Format(sink, format, args) || sink.Done()) text.clear();
  return text;
}

}  // namespace qx
