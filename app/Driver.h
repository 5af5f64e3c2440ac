// The entry point: the option pass, the usage text, the StartTime snapshot
// and the expansion of every FILE and DIR argument.
#pragma once

#include <cstdint>

// Whole seconds since 1970 at the start of the run; only files last written
// strictly earlier are processed.
extern std::int64_t StartTime;

// The tool's entry point with the wide argument array. Returns 0, or 1 when
// an image that was found, or the report, could not be written.
extern "C" int wmain(int argc, wchar_t* argv[]);
