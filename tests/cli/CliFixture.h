// Runs the real tool in a fresh temporary directory tree and looks at what it
// printed and wrote.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/testing.h"

namespace qx::cli {

namespace fs = std::filesystem;

// A bitmap file of `size` bytes (at least 26): "BM", the size, the pixel
// offset 26, a 12-byte information header, then `fill` bytes up to the size.
std::string Bitmap(std::uint32_t size, char fill);

// Bytes that hold no signature of any kind.
std::string Filler(std::size_t count);

// A gzip member of `bytes`, compressed by zlib.
std::string Gzip(const std::string& bytes);

// Relative path (with '/') -> content of every regular file below a root.
using FileMap = std::map<std::string, std::string>;

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The tree's root, canonical, so that it compares with the absolute paths
  // the tool prints.
  const fs::path& Root() const { return root_; }
  std::string At(const std::string& relative) const {
    return Utf8((root_ / Utf8Path(relative)).make_preferred());
  }
  // A path as a report's JSON string holds it: Windows' separators escaped.
  std::string JsonAt(const std::string& relative) const {
    std::string out;
    for (const char c : At(relative)) {
      if (c == '\\' || c == '"') out += '\\';
      out += c;
    }
    return out;
  }
  // The separator the tool writes when it composes a path.
  static std::string Sep() { return std::string(1, static_cast<char>(plat::kSeparator)); }

  // Names in the tests are UTF-8 bytes, as the tool prints them. A plain
  // std::string would be read in the system's narrow code page on Windows;
  // on POSIX both of these keep the bytes as they are.
  static fs::path Utf8Path(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
  }
  static std::string Utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
  }

  // Writes a file (creating its directories) and dates it an hour back:
  // files written in the second the run starts or later are never scanned.
  void WriteOld(const fs::path& path, const std::string& bytes);
  static std::string ReadAll(const fs::path& path);

  // Every regular file below the root, links not followed.
  FileMap Snapshot() const;
  // The files that are new or changed in `after`.
  static FileMap Written(const FileMap& before, const FileMap& after);

  // Runs the tool with the given arguments (argument 0 added) in `cwd`
  // (the root when empty).
  plat::testing::ChildResult Run(const std::vector<std::string>& args, const fs::path& cwd = {},
                                 bool asNobody = false, long long fileSizeLimit = -1) const;
  plat::testing::ChildResult RunWith(const std::vector<std::string>& args,
                                     const plat::testing::RunOptions& options,
                                     const fs::path& cwd = {}) const;

  // Opens the whole tree to other users, so that a run as an unprivileged
  // user can read and write it; false (the test should skip) when this
  // machine cannot run the tool as such a user.
  bool PrepareUnprivilegedRun();

  // The usage text for a program whose name part is `name`.
  static std::string UsageText(const std::string& name);

  // What standard error holds for the failures given, one line each,
  // "quarrix: <path>: <reason>": on POSIX with the reason as glibc words
  // it; elsewhere, where the system's words differ, only the paths are
  // compared (the reasons replaced by "*").
  static std::string Failures(const std::vector<std::pair<std::string, std::string>>& lines);
  static std::string ReasonsHidden(const std::string& err);

 private:
  fs::path root_;
};

}  // namespace qx::cli
