// Null-safe comparisons and bounded formatting. Every body, its pointer
// checks included, runs under one failure guard; a caught failure is
// reported from the handler's line and the neutral result is returned.
#include "support/StringHelper.h"

#include <cstdarg>
#include <cstdint>
#include <type_traits>

#include "support/ExceptionReporter.h"
#include "support/WideFormat.h"

namespace {

// Folding covers 'A'..'Z' only, whatever the locale: option names and values
// must match the same way on every machine.
template <class Char>
constexpr Char FoldAscii(Char c) {
  return (c >= Char('A') && c <= Char('Z')) ? static_cast<Char>(c + (Char('a') - Char('A'))) : c;
}

// Order at a difference: wide characters as unsigned code units, narrow
// ones as signed bytes (so 0x80-0xFF order before 0x01-0x7F).
constexpr std::int64_t OrderValue(wchar_t c) {
  return static_cast<std::int64_t>(static_cast<std::make_unsigned_t<wchar_t>>(c));
}
constexpr std::int64_t OrderValue(char c) {
  return static_cast<std::int64_t>(static_cast<signed char>(c));
}

// The one procedure behind all six comparisons. A null pointer counts as an
// empty string, and that first test is not limited by the count, so a null
// and a non-empty string differ even with a count of 0. A negative count
// compares nothing, like 0.
template <class Char, bool kCounted, bool kFold>
CompareResult Compare(const Char* first, const Char* second, int count) {
  if (first == nullptr) return (second == nullptr || *second == Char(0)) ? 0 : -1;
  if (second == nullptr) return *first == Char(0) ? 0 : 1;
  const std::int64_t limit = kCounted ? (count < 0 ? 0 : count) : INT64_MAX;
  // Nothing at index count or beyond is read.
  for (std::int64_t i = 0; i < limit; ++i) {
    Char a = first[i];
    Char b = second[i];
    if constexpr (kFold) {
      a = FoldAscii(a);
      b = FoldAscii(b);
    }
    if (a == Char(0) && b == Char(0)) return 0;
    if (a == Char(0)) return -1;  // the first is a proper prefix
    if (b == Char(0)) return 1;
    if (a != b) return OrderValue(a) > OrderValue(b) ? 1 : -1;
  }
  return 0;
}

constexpr int kDebugMessageCapacity = 65536;

}  // namespace

CompareResult Safe_wcscmp(const wchar_t* first, const wchar_t* second) {
  CompareResult result = 0;
  if (!qx::RunGuarded([&] { result = Compare<wchar_t, false, false>(first, second, 0); })) {
    QX_REPORT_FAILURE();
    return 0;
  }
  return result;
}

CompareResult Safe_wcsicmp(const wchar_t* first, const wchar_t* second) {
  CompareResult result = 0;
  if (!qx::RunGuarded([&] { result = Compare<wchar_t, false, true>(first, second, 0); })) {
    QX_REPORT_FAILURE();
    return 0;
  }
  return result;
}

CompareResult Safe_wcsncmp(const wchar_t* first, const wchar_t* second, int count) {
  CompareResult result = 0;
  if (!qx::RunGuarded([&] { result = Compare<wchar_t, true, false>(first, second, count); })) {
    QX_REPORT_FAILURE();
    return 0;
  }
  return result;
}

CompareResult Safe_wcsnicmp(const wchar_t* first, const wchar_t* second, int count) {
  CompareResult result = 0;
  if (!qx::RunGuarded([&] { result = Compare<wchar_t, true, true>(first, second, count); })) {
    QX_REPORT_FAILURE();
    return 0;
  }
  return result;
}

CompareResult Safe_strncmp(const char* first, const char* second, int count) {
  CompareResult result = 0;
  if (!qx::RunGuarded([&] { result = Compare<char, true, false>(first, second, count); })) {
    QX_REPORT_FAILURE();
    return 0;
  }
  return result;
}

CompareResult Safe_strnicmp(const char* first, const char* second, int count) {
  CompareResult result = 0;
  if (!qx::RunGuarded([&] { result = Compare<char, true, true>(first, second, count); })) {
    QX_REPORT_FAILURE();
    return 0;
  }
  return result;
}

int Safe_wcsnprintf(wchar_t* buffer, int size, const wchar_t* format, ...) {
  int result = 0;
  std::va_list args;
  va_start(args, format);
  const bool completed = qx::RunGuarded([&] {
    if (buffer == nullptr || size <= 0) return;
    const int written =
        qx::VFormatWide(buffer, static_cast<std::size_t>(size - 1), format, args);
    // A text that did not fit (or could not be formatted) is cut; the
    // terminator is set whatever happened, so the buffer is always a string.
    result = written < 0 ? size - 1 : written;
    buffer[size - 1] = L'\0';
  });
  va_end(args);
  if (!completed) {
    QX_REPORT_FAILURE();
    return 0;
  }
  return result;
}

void OutputDebugMessage(std::wstring* target, const wchar_t* format, ...) {
  // A fixed local buffer: nothing to allocate, and nothing to release when a
  // fault caught in the middle of the body leaves by a jump that runs no
  // destructors.
  wchar_t local[kDebugMessageCapacity];
  std::va_list args;
  va_start(args, format);
  const bool completed = qx::RunGuarded([&] {
    if (target == nullptr) return;
    const int written = qx::VFormatWide(
        local, static_cast<std::size_t>(kDebugMessageCapacity - 1), format, args);
    // A text that does not fit is dropped whole rather than cut.
    if (written <= 0) return;
    int length = 0;
    while (length < written && local[length] != L'\0') ++length;
    target->append(local, static_cast<std::size_t>(length));
  });
  va_end(args);
  if (!completed) {
    QX_REPORT_FAILURE();
    return;
  }
}
