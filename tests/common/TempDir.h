// A fresh directory of the test's own under the system's temporary
// directory, removed with everything in it when the test is done.
#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace qx::testbytes {

class TempDir {
 public:
  TempDir() {
    std::random_device seed;
    path_ = std::filesystem::temp_directory_path() / ("qx-test-" + std::to_string(seed()) + std::to_string(seed()));
    std::filesystem::create_directories(path_);
    path_ = std::filesystem::canonical(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace qx::testbytes
