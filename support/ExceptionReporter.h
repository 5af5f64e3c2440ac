// Failure guards and the exception report.
//
// The guarded functions of the support and checksum modules run their whole
// body under one guard that catches thrown exceptions of any type and
// processor faults alike. The handler reports where it happened with
// ShowExceptionError and the function returns its neutral result:
//
//   CompareResult Safe_wcscmp(const wchar_t* a, const wchar_t* b) {
//     CompareResult result = 0;
//     if (!qx::RunGuarded([&] { result = ...; })) {
//       QX_REPORT_FAILURE();
//       return 0;
//     }
//     return result;
//   }
#pragma once

#include <utility>

#include "platform/platform.h"

// Shows "Exception error" with the module, its timestamp, the function and
// the line, and waits for Yes (continue: this returns) or No (the process
// ends at once through abort). A box that cannot be shown means continue.
void ShowExceptionError(const char* module, int line, const char* function,
                        const char* timestamp);

namespace qx {

// The file name part of a source path, for the report's module name.
constexpr const char* BaseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  return base;
}

// Runs body with every failure caught. True when the body completed.
template <class Body>
bool RunGuarded(Body&& body) noexcept {
  struct Context {
    Body* body;
    bool threw;
  } context{&body, false};
  auto thunk = [](void* raw) noexcept {
    auto* c = static_cast<Context*>(raw);
    try {
      (*c->body)();
    } catch (...) {
      c->threw = true;
    }
  };
  const bool completed = plat::RunFaultGuarded(thunk, &context);
  return completed && !context.threw;
}

}  // namespace qx

// Reports a failure caught in the enclosing function, from this very line.
#define QX_REPORT_FAILURE()                                                   \
  ShowExceptionError(::qx::BaseName(__FILE__), __LINE__, QX_FUNCTION_SIGNATURE, \
                     __TIMESTAMP__)
