// Orderly ends for interrupted runs. The system runs a console control
// handler on a thread of its own, so it can wait for an output being written
// to be finished or abandoned, flush standard output, and end the process
// with the status Ctrl+C gives any console program.
#include <windows.h>

#include <atomic>
#include <mutex>

#include "platform/platform.h"

namespace qx::plat {
namespace {

std::atomic<bool> gInterrupted{false};
std::mutex gSectionMutex;

BOOL WINAPI OnControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  gInterrupted.store(true);
  // Never released: no output may begin once the log has been flushed.
  gSectionMutex.lock();
  FlushStdout();
  // What the default handler would end the process with; terminated here so
  // that no exit handler runs into the section held above.
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

}  // namespace

void InstallInterruptHandling() {
  static std::once_flag once;
  std::call_once(once, [] { SetConsoleCtrlHandler(OnControl, TRUE); });
}

bool InterruptRequested() { return gInterrupted.load(std::memory_order_relaxed); }

OutputSection::OutputSection() { gSectionMutex.lock(); }

OutputSection::~OutputSection() { gSectionMutex.unlock(); }

}  // namespace qx::plat
