// Orderly ends for interrupted runs.
//
// A handler that runs in the middle of whatever the program was doing could
// neither remove a temporary file safely nor touch the buffered standard
// output. So the three signals are blocked in every thread and one thread of
// their own waits for them with sigwait. When one comes, that thread marks
// the run as interrupted, waits until no output is being written (the output
// step holds an OutputSection while it creates, writes, renames and reports
// an output; a long write gives up when it sees the mark), flushes standard
// output and ends the process by raising the signal again with its default
// action, so that the parent sees the status it expects. The other threads
// are only scanning or waiting, which the end of the process does not harm.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "platform/platform.h"

namespace qx::plat {
namespace {

std::atomic<bool> gInterrupted{false};
std::mutex gSectionMutex;

// The signals to wait for. One that whoever started the tool ignores (nohup,
// a background job of a shell without job control) stays ignored, as it
// would for any program.
sigset_t InterruptSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    sigaddset(&set, signal);
  }
  return set;
}

[[noreturn]] void EndWith(int signal) {
  gInterrupted.store(true);
  // Never released: no output may begin once the log has been flushed.
  gSectionMutex.lock();
  FlushStdout();
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(signal);
  // Not reached for these signals; the shell's convention if it were.
  _exit(128 + signal);
}

void WaitForSignals(sigset_t set) {
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) == 0) EndWith(signal);
  }
}

}  // namespace

void InstallInterruptHandling() {
  static std::once_flag once;
  std::call_once(once, [] {
    const sigset_t set = InterruptSignals();
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
    std::thread(WaitForSignals, set).detach();
  });
}

bool InterruptRequested() { return gInterrupted.load(std::memory_order_relaxed); }

OutputSection::OutputSection() { gSectionMutex.lock(); }

OutputSection::~OutputSection() { gSectionMutex.unlock(); }

}  // namespace qx::plat
