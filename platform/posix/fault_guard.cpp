// Processor faults inside a guarded body, turned into a false return.
//
// A guard is entered once per string comparison and per checksum chunk, so
// entering one must cost no system call: the handlers for SIGSEGV and SIGBUS
// are installed once, lazily, and a guard is only a sigsetjmp that does not
// save the signal mask plus a thread-local pointer to the innermost active
// guard. The mask needs no restoring after the jump because the handlers run
// with SA_NODEFER and an empty sa_mask: nothing gets blocked on the way in.
//
// A fault with no guard active must look as if the guard machinery did not
// exist: the handler puts the previous action back and returns, the faulting
// instruction runs again and the fault goes to whoever handled it before
// (the default action, or a sanitizer's report).
//
// Under AddressSanitizer: with its default allow_user_segv_handler=1 the
// sanitizer lets the program install its own SEGV/BUS handler, and its own
// handler becomes the "previous action" above, so an unguarded fault is still
// reported by the sanitizer. With allow_user_segv_handler=0 (or
// handle_segv=2) the sanitizer silently keeps its own handler: guards then
// catch thrown exceptions only, and a fault is reported by the sanitizer as
// usual. Nothing here changes the sanitizer's settings.
#include <setjmp.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <mutex>

#include "platform/platform.h"
#include "platform/posix/mapped_regions.h"

namespace qx::plat {
namespace {

struct Guard {
  sigjmp_buf jump;
  Guard* outer;
};

thread_local Guard* tInnermost = nullptr;

std::atomic<bool> gInstalled{false};
std::mutex gInstallMutex;
struct sigaction gPreviousSegv;
struct sigaction gPreviousBus;

// The guard's handler runs on an alternate stack so that a fault caused by
// running out of stack can still be caught. sigaltstack is per thread; a
// thread that already has one (a sanitizer sets one up) keeps it.
class AltStack {
 public:
  AltStack() {
    stack_t current{};
    if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) == 0) return;
    const long minimum = sysconf(_SC_SIGSTKSZ);
    size_ = std::max<std::size_t>(64 * 1024, minimum > 0 ? static_cast<std::size_t>(minimum) : 0);
    memory_ = static_cast<char*>(std::malloc(size_));
    if (memory_ == nullptr) return;
    stack_t mine{};
    mine.ss_sp = memory_;
    mine.ss_size = size_;
    if (sigaltstack(&mine, nullptr) != 0) {
      std::free(memory_);
      memory_ = nullptr;
    }
  }
  ~AltStack() {
    if (memory_ == nullptr) return;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    std::free(memory_);
  }
  AltStack(const AltStack&) = delete;
  AltStack& operator=(const AltStack&) = delete;

 private:
  char* memory_ = nullptr;
  std::size_t size_ = 0;
};

void OnFault(int signal, siginfo_t* info, void*) {
  // A mapped input cut short under the scan: its missing pages become zero
  // pages and the read runs again, whatever guard is active.
  if (signal == SIGBUS && info != nullptr && info->si_code > 0 &&
      posix::PatchMappedFault(info->si_addr)) {
    return;
  }
  Guard* guard = tInnermost;
  // Only a real fault (not one sent with kill or raise) belongs to a guard.
  if (guard != nullptr && info != nullptr && info->si_code > 0) siglongjmp(guard->jump, 1);

  const struct sigaction& previous = signal == SIGBUS ? gPreviousBus : gPreviousSegv;
  sigaction(signal, &previous, nullptr);
  // The next guard puts the handlers back.
  gInstalled.store(false, std::memory_order_relaxed);
  // A fault re-executes when this returns; a sent signal must be sent again.
  if (info == nullptr || info->si_code <= 0) raise(signal);
}

void InstallOne(int signal, struct sigaction* previous) {
  struct sigaction action{};
  action.sa_sigaction = OnFault;
  action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, previous);
}

void InstallHandlers() {
  std::lock_guard<std::mutex> lock(gInstallMutex);
  if (gInstalled.load(std::memory_order_relaxed)) return;
  InstallOne(SIGSEGV, &gPreviousSegv);
  InstallOne(SIGBUS, &gPreviousBus);
  gInstalled.store(true, std::memory_order_release);
}

}  // namespace

namespace posix {

void EnsureFaultHandlers() {
  if (!gInstalled.load(std::memory_order_acquire)) InstallHandlers();
}

}  // namespace posix

bool RunFaultGuarded(void (*fn)(void*), void* context) noexcept {
  if (!gInstalled.load(std::memory_order_acquire)) InstallHandlers();
  thread_local AltStack altStack;

  Guard guard;
  guard.outer = tInnermost;
  if (sigsetjmp(guard.jump, 0) != 0) {
    tInnermost = guard.outer;
    return false;
  }
  tInnermost = &guard;
  fn(context);
  tInnermost = guard.outer;
  return true;
}

}  // namespace qx::plat
