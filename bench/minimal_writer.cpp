// The yardstick for runs that write many outputs: a program that does only
// what cannot be avoided, mapping each source once and writing each output
// with one open, one write and one close; with --safe, as the tool must,
// each to a temporary beside it renamed over its name. Its plan (one line
// per output: source, offset, length, output, separated by tabs) is worked
// out by run_bench beforehand, so nothing here scans.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "platform/platform.h"
#include "platform/testing.h"
#include "platform/testing_fs.h"

int main(int argc, char* argv[]) {
  const bool safe = argc == 3 && std::string(argv[1]) == "--safe";
  if (argc != 2 && !safe) {
    std::fprintf(stderr, "usage: minimal_writer [--safe] PLAN\n");
    return 2;
  }
  std::ifstream plan(argv[argc - 1]);
  std::string line;
  std::string current;
  auto input = std::make_unique<qx::plat::InputFile>();
  bool loaded = false;
  while (std::getline(plan, line)) {
    std::istringstream fields(line);
    std::string source, offset, length, output;
    std::getline(fields, source, '\t');
    std::getline(fields, offset, '\t');
    std::getline(fields, length, '\t');
    std::getline(fields, output, '\t');
    if (source != current) {
      current = source;
      input = std::make_unique<qx::plat::InputFile>();
      loaded = input->Open(qx::plat::testing::WidePath(source).c_str()) &&
               input->Load(input->Size());
    }
    if (!loaded) return 1;
    const std::int64_t at = std::stoll(offset);
    const std::int64_t count = std::stoll(length);
    const auto write = safe ? &qx::plat::testing::WriteWholeFileSafely
                            : &qx::plat::testing::WriteWholeFile;
    if (!write(output, input->Data() + at, static_cast<std::size_t>(count))) return 1;
  }
  return 0;
}
