// The run driver: options, usage, the StartTime snapshot, the expansion of
// FILE and DIR arguments, file loading and the directory walk.
#pragma once

#include <cstdint>

// Resource kinds to extract.
inline constexpr std::uint32_t kMaskBmp = 1;
inline constexpr std::uint32_t kMaskJpg = 2;
inline constexpr std::uint32_t kMaskPng = 4;
inline constexpr std::uint32_t kMaskAll = 0xFFFF;

// The most bytes of one file that are read and scanned.
inline constexpr std::int64_t kMaxFileBytes = 100000000;

// Whole seconds since 1970 at the start of the run; only files last written
// strictly earlier are processed.
extern std::int64_t StartTime;

// The tool's entry point with the wide argument array. Always returns 0.
extern "C" int wmain(int argc, wchar_t* argv[]);

void ProcessFile(const wchar_t* path, std::uint32_t mask, int verbosity);
void ProcessDirectory(const wchar_t* path, std::uint32_t mask, bool subdirs, int verbosity);
