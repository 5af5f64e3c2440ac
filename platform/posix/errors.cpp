// The reasons of failures, in the system's own words.
#include <errno.h>
#include <string.h>

#include <string>

#include "platform/failure.h"
#include "platform/platform.h"
#include "platform/posix/native_text.h"

namespace qx::plat {
namespace {

thread_local int gLastError = 0;

// Both forms of strerror_r: the GNU one returns its text, the POSIX one
// fills the buffer.
[[maybe_unused]] const char* Text(int result, const char* buffer) { return result == 0 ? buffer : "Unknown error"; }
[[maybe_unused]] const char* Text(const char* result, const char*) { return result; }

}  // namespace

bool detail::Failed(int code) {
  gLastError = code;
  return false;
}

int LastError() { return gLastError; }

int NoMemoryError() { return ENOMEM; }

int PathTooLongError() { return ENAMETOOLONG; }

std::wstring ErrorText(int code) {
  if (code == kErrorCutShort) return L"File cut short while it was read";
  char buffer[256] = {};
  return posix::DecodeNative(Text(::strerror_r(code, buffer, sizeof buffer), buffer));
}

}  // namespace qx::plat
