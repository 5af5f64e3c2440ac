// The exception report: one modal box per caught failure. It carries no guard
// of its own; the only guarded function it calls formats constant texts.
#include "support/ExceptionReporter.h"

#include "platform/platform.h"
#include "support/StringHelper.h"

void ShowExceptionError(const char* module, int line, const char* function,
                        const char* timestamp) {
  wchar_t text[8192];
  Safe_wcsnprintf(text, 8192, L"Exception error\nFile     : %S (%S)\nFunction : %S\nLine     : %i",
                  module, timestamp, function, line);
  const int answer = qx::plat::ShowErrorBox(text, L"Exception error",
                                            qx::plat::kBoxYesNoErrorTaskModal);
  // Only an explicit No ends the process; Yes and a box that could not be
  // shown both let the guarded function return its neutral result.
  if (answer == qx::plat::kBoxNo) qx::plat::AbortProcess();
}
