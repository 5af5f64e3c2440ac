// Windows entry point. The program is linked with -municode, so the C
// runtime's wide start-up splits the command line by the system's quoting
// rules, expands no wildcards and calls wmain (app/) with UTF-16 arguments;
// the value wmain returns goes to exit(). Standard output needs no help from
// here: the first write registers its flush with atexit, so it runs when
// exit() does.
#include "app/Driver.h"
