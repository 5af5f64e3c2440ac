// A fresh directory under the system's temporary directory for one test,
// removed with everything in it afterwards; and the wide spelling of paths
// the way the platform layer spells them.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/platform.h"
#include "platform/testing_fs.h"

namespace qx::test {

namespace fs = std::filesystem;

inline std::wstring Wide(const fs::path& path) { return qx::plat::testing::WidePath(path); }

inline fs::path Native(const std::wstring& wide) { return qx::plat::testing::NativePath(wide); }

class ScratchDir {
 public:
  ScratchDir() {
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
      const fs::path candidate =
          fs::temp_directory_path() / ("qx-platform-" + std::to_string(random()));
      std::error_code error;
      if (fs::create_directory(candidate, error)) {
        // The temporary directory may itself be reached through a link; the
        // canonical spelling is what getcwd reports.
        path_ = fs::canonical(candidate);
        return;
      }
    }
    throw std::runtime_error("no scratch directory");
  }
  ~ScratchDir() {
    std::error_code error;
    fs::remove_all(path_, error);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const fs::path& path() const { return path_; }
  std::wstring wide() const { return Wide(path_); }
  // The wide path of an entry inside the directory.
  std::wstring wide(const std::wstring& name) const { return wide() + L"/" + name; }

  void WriteFile(const fs::path& relative, const std::string& content = {}) const {
    std::ofstream out(path_ / relative, std::ios::binary);
    out << content;
  }

 private:
  fs::path path_;
};

// Restores the current directory when a test that changed it ends.
class CwdGuard {
 public:
  CwdGuard() : saved_(fs::current_path()) {}
  ~CwdGuard() {
    std::error_code error;
    fs::current_path(saved_, error);
  }
  CwdGuard(const CwdGuard&) = delete;
  CwdGuard& operator=(const CwdGuard&) = delete;

 private:
  fs::path saved_;
};

}  // namespace qx::test
