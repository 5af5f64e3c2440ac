// Runs a fuzz target's entry point over kept inputs, so that they are checked
// as an ordinary test with any compiler. Each argument names an input file or
// a directory whose files are all inputs (in name order). A target that finds
// a fault aborts, which fails the run.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s INPUT-FILE-OR-DIRECTORY...\n", argv[0]);
    return 2;
  }
  std::vector<fs::path> inputs;
  for (int a = 1; a < argc; ++a) {
    const fs::path path(argv[a]);
    std::error_code error;
    if (fs::is_directory(path, error)) {
      std::vector<fs::path> files;
      for (const auto& entry : fs::directory_iterator(path, error)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
      inputs.insert(inputs.end(), files.begin(), files.end());
    } else if (fs::is_regular_file(path, error)) {
      inputs.push_back(path);
    } else {
      std::fprintf(stderr, "no input file or directory: %s\n", argv[a]);
      return 1;
    }
  }
  // An empty corpus would pass without checking anything.
  if (inputs.empty()) {
    std::fprintf(stderr, "no inputs found\n");
    return 1;
  }
  for (const fs::path& input : inputs) {
    std::ifstream in(input, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    if (!in.eof() && !in.good()) {
      std::fprintf(stderr, "cannot read %s\n", input.string().c_str());
      return 1;
    }
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::printf("%lu inputs replayed\n", static_cast<unsigned long>(inputs.size()));
  return 0;
}
