// Null-safe string comparison and bounded wide formatting.
//
// Every function accepts null strings, buffers and targets, never writes past
// the size it is given, and runs its whole body under the failure guard of
// ExceptionReporter.h: a failure inside (a thrown exception, a fault while
// reading a bad pointer) is reported and the function returns its neutral
// result (0, or nothing).
//
// Comparisons return exactly -1, 0 or +1. A null string compares like an
// empty one, except that the count does not limit that first test. Wide
// characters order as unsigned values, narrow ones as signed 8-bit values.
// Case folding maps only 'A'..'Z' to 'a'..'z'. A negative count compares
// nothing, like a count of 0 (after the null test).
#pragma once

#include <cstdint>
#include <string>

using CompareResult = std::int8_t;

CompareResult Safe_wcscmp(const wchar_t* first, const wchar_t* second);
CompareResult Safe_wcsicmp(const wchar_t* first, const wchar_t* second);
CompareResult Safe_wcsncmp(const wchar_t* first, const wchar_t* second, int count);
CompareResult Safe_wcsnicmp(const wchar_t* first, const wchar_t* second, int count);
CompareResult Safe_strncmp(const char* first, const char* second, int count);
CompareResult Safe_strnicmp(const char* first, const char* second, int count);

// Formats into buffer (size characters, terminating null included) with the
// tool's wide formats (see WideFormat.h). Stores at most size - 1 characters,
// always terminates, cuts a longer text without notice. Returns the number of
// characters stored; 0 for a null buffer or a size of 0 or less.
int Safe_wcsnprintf(wchar_t* buffer, int size, const wchar_t* format, ...);

// Appends the formatted text to *target. A text that is empty, longer than
// 65,535 characters or cannot be formatted is dropped whole. A null target
// changes nothing.
void OutputDebugMessage(std::wstring* target, const wchar_t* format, ...);
