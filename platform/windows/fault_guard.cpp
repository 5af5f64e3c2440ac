// Processor faults inside a guarded body, turned into a false return.
//
// MinGW's g++ has no __try, so faults are caught with a vectored exception
// handler, installed once for the process. It is called first for every
// exception of every thread; it acts only on memory faults (access
// violation, in-page error, misalignment, array bounds) raised on a thread
// that is inside a guard, and passes everything else on untouched: C++
// exceptions, breakpoints, and every fault outside a guard, which then ends
// the process exactly as if the handler did not exist.
//
// The handler does not jump out of the exception dispatch itself. It edits
// the faulting thread's context so that, once the system resumes the thread,
// it runs ResumeAtGuard on a fresh piece of the same stack; that function
// jumps back to the innermost guard with __builtin_longjmp, which restores
// the stack and frame pointers without any unwinding. The frames of the
// body between the guard and the fault are abandoned, as with siglongjmp on
// POSIX: objects in them are not destroyed.
//
// A stack overflow is not caught: its guard page is already spent and there
// is no room left to run the resumption on.
//
// Entering a guard costs no system call: the innermost guard of a thread is
// a TLS slot (TlsGetValue/TlsSetValue only touch the thread's own block, so
// the handler may read it whatever the thread was doing when it faulted).
#include <windows.h>

#include "platform/platform.h"
#include "platform/windows/mapped_regions.h"

namespace qx::plat {
namespace {

struct Guard {
  void* jump[5];  // __builtin_setjmp's buffer
  Guard* outer;
#if defined(__i386__)
  // The x86 SEH chain (fs:[0]) as it was at the guard: frames registered by
  // the abandoned body must not stay on it.
  void* sehChain;
#endif
};

DWORD gSlot = TLS_OUT_OF_INDEXES;

Guard* Innermost() { return static_cast<Guard*>(TlsGetValue(gSlot)); }
void SetInnermost(Guard* guard) { TlsSetValue(gSlot, guard); }

bool IsMemoryFault(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
      return true;
    default:
      return false;
  }
}

#if defined(__i386__)
// fs:[0] is the head of the chain (NtCurrentTeb()->ExceptionList, read
// directly: g++ 12 misjudges the header's segment read as out of bounds).
void* SehChain() {
  void* head;
  __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}
void SetSehChain(void* head) { __asm__ volatile("movl %0, %%fs:0" : : "r"(head) : "memory"); }
#endif

[[noreturn]] void ResumeAtGuard() {
  Guard* guard = Innermost();
#if defined(__i386__)
  SetSehChain(guard->sehChain);
#endif
  __builtin_longjmp(guard->jump, 1);
}

// Room left between the faulting stack pointer and the resumption's frame,
// for a red zone or whatever the faulting code kept just below it.
constexpr std::uintptr_t kStackGap = 512;

LONG CALLBACK OnException(EXCEPTION_POINTERS* info) {
  // A mapped input whose pages failed under the scan: its view becomes
  // zeroed memory and the read runs again, whatever guard is active.
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if (record->ExceptionCode == EXCEPTION_IN_PAGE_ERROR && record->NumberParameters >= 2 &&
      windows::PatchMappedFault(reinterpret_cast<void*>(record->ExceptionInformation[1]))) {
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  if (gSlot == TLS_OUT_OF_INDEXES || !IsMemoryFault(info->ExceptionRecord->ExceptionCode) ||
      Innermost() == nullptr) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  CONTEXT* context = info->ContextRecord;
  // The new stack pointer is 16-aligned minus one return address, as at the
  // entry of any function.
#if defined(__x86_64__)
  context->Rsp = ((context->Rsp - kStackGap) & ~std::uintptr_t{15}) - sizeof(void*);
  context->Rip = reinterpret_cast<DWORD64>(&ResumeAtGuard);
#elif defined(__i386__)
  context->Esp = ((context->Esp - kStackGap) & ~DWORD{15}) - sizeof(void*);
  context->Eip = reinterpret_cast<DWORD>(&ResumeAtGuard);
#elif defined(__aarch64__)
  context->Sp = (context->Sp - kStackGap) & ~DWORD64{15};
  context->Pc = reinterpret_cast<DWORD64>(&ResumeAtGuard);
#else
#error "no resumption for this processor"
#endif
  return EXCEPTION_CONTINUE_EXECUTION;
}

void InstallOnce() {
  static const bool installed = [] {
    gSlot = TlsAlloc();
    if (gSlot != TLS_OUT_OF_INDEXES) AddVectoredExceptionHandler(1, OnException);
    return true;
  }();
  (void)installed;
}

}  // namespace

namespace windows {

void EnsureFaultHandler() { InstallOnce(); }

}  // namespace windows

bool RunFaultGuarded(void (*fn)(void*), void* context) noexcept {
  InstallOnce();
  if (gSlot == TLS_OUT_OF_INDEXES) {
    // Without a slot no fault can be told apart; the body still runs.
    fn(context);
    return true;
  }
  Guard guard;
  guard.outer = Innermost();
#if defined(__i386__)
  guard.sehChain = SehChain();
#endif
  if (__builtin_setjmp(guard.jump) != 0) {
    SetInnermost(guard.outer);
    return false;
  }
  SetInnermost(&guard);
  fn(context);
  SetInnermost(guard.outer);
  return true;
}

}  // namespace qx::plat
