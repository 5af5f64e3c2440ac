// The reasons of failures, in the system's own words.
#include <windows.h>

#include <string>

#include "platform/failure.h"
#include "platform/platform.h"

namespace qx::plat {
namespace {

thread_local int gLastError = 0;

}  // namespace

bool detail::Failed(int code) {
  gLastError = code;
  return false;
}

int LastError() { return gLastError; }

int NoMemoryError() { return ERROR_NOT_ENOUGH_MEMORY; }

int PathTooLongError() { return ERROR_FILENAME_EXCED_RANGE; }

std::wstring ErrorText(int code) {
  if (code == kErrorCutShort) return L"File cut short while it was read";
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring words = length > 0 && text != nullptr ? std::wstring(text, length) : L"Error " + std::to_wstring(code);
  if (text != nullptr) LocalFree(text);
  // The system's text ends in a full stop and a line break.
  while (!words.empty() && (words.back() == L'\n' || words.back() == L'\r' || words.back() == L' ' || words.back() == L'.')) {
    words.pop_back();
  }
  return words;
}

}  // namespace qx::plat
