// Windows entry point. The program is linked with -municode, so the C
// runtime's wide start-up splits the command line by the system's quoting
// rules, expands no wildcards and calls wmain (app/) with UTF-16 arguments;
// the value wmain returns goes to exit(). Standard output needs no help from
// here: the first write registers its flush with atexit, so it runs when
// exit() does.
#include "app/Driver.h"
#include "platform/platform.h"

namespace {

// Ctrl+C and Ctrl+Break end a run in order from its very start; wmain is
// the runtime's entry, so this is done while the program is constructed.
[[maybe_unused]] const bool gInterruptsHandled = (qx::plat::InstallInterruptHandling(), true);

}  // namespace
