#include "CliFixture.h"

#include <zlib.h>

#include "common/TestBytes.h"

#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <system_error>

namespace qx::cli {

namespace {

std::string UniqueName() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = "quarrix-cli-";
  for (char c : std::string(info->test_suite_name()) + "-" + info->name()) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    name += plain ? c : '_';
  }
  std::random_device random;
  std::ostringstream suffix;
  suffix << std::hex << random() << random();
  return name + "-" + suffix.str();
}

// Gives the owner full access again everywhere, so the tree can be removed
// also by a user without privileges.
void RestoreAccess(const fs::path& root) {
  std::error_code ignored;
  fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ignored);
  for (auto it = fs::recursive_directory_iterator(root, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_symlink(ignored)) continue;
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
}

}  // namespace

std::string Bitmap(std::uint32_t size, char fill) { return testbytes::Bitmap(size, fill); }

std::string Filler(std::size_t count) { return std::string(count, '.'); }

std::string Gzip(const std::string& bytes) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, 16 + 15, 9, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, static_cast<uLong>(bytes.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

void CliTest::SetUp() {
  const fs::path root = fs::temp_directory_path() / UniqueName();
  fs::create_directories(root);
  root_ = fs::canonical(root);
}

void CliTest::TearDown() {
  if (root_.empty()) return;
  RestoreAccess(root_);
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

void CliTest::WriteOld(const fs::path& path, const std::string& bytes) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    ASSERT_TRUE(out) << path;
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(1));
}

std::string CliTest::ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

FileMap CliTest::Snapshot() const {
  FileMap files;
  const auto options = fs::directory_options::skip_permission_denied;
  for (auto it = fs::recursive_directory_iterator(root_, options);
       it != fs::recursive_directory_iterator(); ++it) {
    if (it->is_symlink() || !it->is_regular_file()) continue;
    const std::u8string relative = fs::relative(it->path(), root_).generic_u8string();
    files[std::string(relative.begin(), relative.end())] = ReadAll(it->path());
  }
  return files;
}

FileMap CliTest::Written(const FileMap& before, const FileMap& after) {
  FileMap written;
  for (const auto& [name, content] : after) {
    const auto old = before.find(name);
    if (old == before.end() || old->second != content) written[name] = content;
  }
  return written;
}

plat::testing::ChildResult CliTest::Run(const std::vector<std::string>& args,
                                        const fs::path& cwd, bool asNobody,
                                        long long fileSizeLimit) const {
  std::vector<std::string> argv{QX_TOOL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return plat::testing::RunProgram(argv, Utf8(cwd.empty() ? root_ : cwd), asNobody,
                                   fileSizeLimit);
}

plat::testing::ChildResult CliTest::RunWith(const std::vector<std::string>& args,
                                            const plat::testing::RunOptions& options,
                                            const fs::path& cwd) const {
  std::vector<std::string> argv{QX_TOOL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return plat::testing::RunProgram(argv, Utf8(cwd.empty() ? root_ : cwd), options);
}

bool CliTest::PrepareUnprivilegedRun() {
  // Windows keeps no owner bits to drop: the permissions below would only
  // set the read-only attribute, which denies nobody reading.
  if (plat::kHasDrives) return false;
  if (!plat::testing::IsPrivileged()) return true;
  const auto everyone = fs::perms::all;
  fs::permissions(root_, everyone);
  for (auto it = fs::recursive_directory_iterator(root_); it != fs::recursive_directory_iterator();
       ++it) {
    if (it->is_symlink()) continue;
    fs::permissions(it->path(), it->is_directory() ? everyone
                                                   : fs::perms::owner_read | fs::perms::owner_write |
                                                         fs::perms::group_read | fs::perms::group_write |
                                                         fs::perms::others_read |
                                                         fs::perms::others_write);
  }
  // The build may lie where an unprivileged user cannot reach it.
  const auto probe = Run({}, root_, true);
  return probe.exitCode == 0 && probe.out == UsageText(fs::path(QX_TOOL_PATH).stem().string());
}

std::string CliTest::UsageText(const std::string& name) {
  std::string text = R"(
Usage: @ <-extract> [-subdirs] [-verbosity] <[FILE]> <[DIR]>

This application extracts resources from files.

  -extract   : The resources to extract. This parameter can be used multiple times.
               Must be one of the following:
               ALL  BMP  JPG  PNG

  -subdirs   : Go into sub-directories and do all the files and (sub-)directories

  -verbosity : The output verbosity:
               1 -> Compact  show nothing
               2 -> Normal   show the file names
               3 -> Verbose  show the file names and the extracted resources (default)


  FILE : One (or multiple) file name(s) for which to extract the resources

  DIR  : One (or multiple) directories for which to extract the resources


Examples:
  @ -extract=ALL "C:\Temp" "D:\My Files\File 1.exe" "D:\My Files\File 2.bin"
  @ -subdirs -verbosity=3 -extract=JPG "C:\Temp\*.dat" "C:\My Files\File 1.exe"
  @ -extract=JPG -extract=PNG *.exe

v1.02 - Quarrix digs the pictures out of any file
)";
  std::string filled;
  for (char c : text) {
    if (c == '@') {
      filled += name;
    } else {
      filled += c;
    }
  }
  return filled;
}

std::string CliTest::Failures(const std::vector<std::pair<std::string, std::string>>& lines) {
  std::string text;
  for (const auto& [path, reason] : lines) text += "quarrix: " + path + ": " + (plat::kHasDrives ? "*" : reason) + "\n";
  return text;
}

std::string CliTest::ReasonsHidden(const std::string& err) {
  if (!plat::kHasDrives) return err;
  // The reason follows the path's last ": " on its line.
  std::string hidden;
  std::size_t begin = 0;
  while (begin < err.size()) {
    std::size_t end = err.find('\n', begin);
    if (end == std::string::npos) end = err.size();
    const std::string line = err.substr(begin, end - begin);
    const std::size_t cut = line.rfind(": ");
    hidden += (cut == std::string::npos ? line : line.substr(0, cut + 2) + "*") + "\n";
    begin = end + 1;
  }
  return hidden;
}

}  // namespace qx::cli
