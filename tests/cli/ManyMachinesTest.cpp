// The README's recipes for many machines, run as written (the scanned tree
// put in the place of /srv/evidence, the tool found on the PATH): the
// shares that GNU parallel and a Slurm job array cut from one list write,
// together, exactly what one run over the tree writes.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "CliFixture.h"
#include "platform/platform.h"

namespace qx::cli {
namespace {

// The indented code blocks of the README, each without its indent.
std::vector<std::string> ReadmeBlocks() {
  const fs::path readme = fs::path(QX_TEST_DATA_DIR).parent_path().parent_path() / "README.md";
  std::ifstream in(readme);
  std::vector<std::string> blocks;
  std::string line;
  std::string block;
  while (std::getline(in, line)) {
    if (line.rfind("    ", 0) == 0) {
      block += line.substr(4) + "\n";
      continue;
    }
    if (!block.empty()) blocks.push_back(block);
    block.clear();
  }
  if (!block.empty()) blocks.push_back(block);
  return blocks;
}

// The one block that holds every one of `marks`; empty when there is none
// or more than one.
std::string BlockWith(const std::vector<std::string>& marks) {
  std::string found;
  int count = 0;
  for (const std::string& block : ReadmeBlocks()) {
    bool all = true;
    for (const std::string& mark : marks) all = all && block.find(mark) != std::string::npos;
    if (!all) continue;
    found = block;
    ++count;
  }
  return count == 1 ? found : std::string();
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

class ManyMachinesTest : public CliTest {
 protected:
  // A tree of 1400 files whose list passes 3 MiB, so that parallel's blocks
  // of 1 MiB make at least four shares: the files lie 12 directories of 240
  // characters deep. Every third holds a bitmap of its own; names that a
  // command line could not give stand at the top.
  void BuildTree(const fs::path& tree) {
    fs::path deep = tree;
    for (int level = 0; level < 12; ++level) deep /= std::string(240, static_cast<char>('a' + level));
    for (int i = 0; i < 1400; ++i) {
      const std::string name = "f" + std::to_string(i) + ".bin";
      const std::string bytes =
          i % 3 == 0 ? Filler(5) + Bitmap(52 + static_cast<std::uint32_t>(i % 200), static_cast<char>('a' + i % 26))
                     : Filler(40);
      WriteOld(deep / name, bytes);
    }
    for (const char* name : {"-lead.bin", "star*.bin", "new\nline.bin", "sp ace.bin"}) {
      WriteOld(tree / name, Filler(1) + Bitmap(77, name[1]));
    }
  }

  // Every file below `tree`, by its path relative to it.
  static FileMap FilesOf(const fs::path& tree) {
    FileMap files;
    for (auto it = fs::recursive_directory_iterator(tree); it != fs::recursive_directory_iterator(); ++it) {
      if (!it->is_regular_file()) continue;
      files[fs::relative(it->path(), tree).generic_string()] = ReadAll(it->path());
    }
    return files;
  }

  // Runs a shell script with the tool's directory first on the PATH.
  plat::testing::ChildResult Shell(const std::string& script) const {
    const std::string bin = fs::path(QX_TOOL_PATH).parent_path().string();
    plat::testing::RunOptions options;
    options.timeoutSeconds = 300;
    return plat::testing::RunProgram({"/bin/sh", "-c", "PATH='" + bin + "':$PATH; export PATH\n" + script},
                                     Root().string(), options);
  }

  // What one run over the whole tree writes.
  FileMap OneRun() {
    const fs::path tree = Root() / "single" / "evidence";
    BuildTree(tree);
    const FileMap before = FilesOf(tree);
    const auto result = Run({"-extract=ALL", "-verbosity=1", "-subdirs", tree.string()});
    EXPECT_EQ(result.exitCode, 0);
    return Written(before, FilesOf(tree));
  }

  // The shares' outputs against one run's; a difference is told by name
  // (the long directories shortened), not by the whole maps.
  static void ExpectSame(const FileMap& shares, const FileMap& single) {
    std::string differences;
    const auto shortName = [](const std::string& name) {
      return name.size() > 60 ? "..." + name.substr(name.rfind('/') + 1) : name;
    };
    for (const auto& [name, content] : shares) {
      const auto other = single.find(name);
      if (other == single.end()) differences += "only in the shares: " + shortName(name) + "\n";
      else if (other->second != content) differences += "other bytes: " + shortName(name) + "\n";
    }
    for (const auto& [name, content] : single) {
      if (shares.count(name) == 0) differences += "only in one run: " + shortName(name) + "\n";
    }
    EXPECT_EQ(differences, "");
  }

  bool SkipWithoutShell() {
    if (plat::kHasDrives) return true;  // no POSIX shell to run the recipes
    return Shell("true").exitCode != 0;
  }
};

TEST_F(ManyMachinesTest, FourParallelJobsWriteWhatOneRunWrites) {
  if (SkipWithoutShell()) GTEST_SKIP() << "no POSIX shell";
  if (Shell("command -v parallel >/dev/null").exitCode != 0) {
    GTEST_SKIP() << "GNU parallel is not installed (Debian package parallel)";
  }
  const std::string recipe = BlockWith({"parallel --pipe", "-j 4", "find /srv/evidence"});
  ASSERT_NE(recipe, "") << "README has no single GNU parallel recipe with four jobs";
  const fs::path tree = Root() / "shares" / "evidence";
  BuildTree(tree);
  const FileMap before = FilesOf(tree);

  const auto result = Shell(Replaced(recipe, "/srv/evidence", tree.string()));
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_GT(fs::file_size(tree.string() + ".list"), 3u * 1024 * 1024 + 200 * 1024)
      << "the list must make four blocks of parallel's 1 MiB";
  const FileMap shares = Written(before, FilesOf(tree));
  EXPECT_EQ(shares.size(), 471u);  // 467 deep bitmaps and the 4 at the top
  ExpectSame(shares, OneRun());
}

TEST_F(ManyMachinesTest, FourTasksOfASlurmArrayWriteWhatOneRunWrites) {
  if (SkipWithoutShell()) GTEST_SKIP() << "no POSIX shell";
  const std::string script = BlockWith({"#SBATCH", "split -t"});
  const std::string submission = BlockWith({"sbatch", "find /srv/evidence"});
  ASSERT_NE(script, "") << "README has no single Slurm job script";
  ASSERT_NE(submission, "") << "README has no single Slurm submission";
  const fs::path tree = Root() / "tasks" / "evidence";
  BuildTree(tree);
  const FileMap before = FilesOf(tree);

  // The list as the submission builds it; then each task as Slurm would
  // start it, with its own number and the array's size.
  const std::string listing = submission.substr(0, submission.find("sbatch"));
  const auto listed = Shell(Replaced(listing, "/srv/evidence", tree.string()));
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  for (int task = 1; task <= 4; ++task) {
    const auto result = Shell("SLURM_ARRAY_TASK_ID=" + std::to_string(task) +
                              " SLURM_ARRAY_TASK_COUNT=4 SLURM_CPUS_PER_TASK=1\n"
                              "export SLURM_ARRAY_TASK_ID SLURM_ARRAY_TASK_COUNT SLURM_CPUS_PER_TASK\n" +
                              Replaced(script, "/srv/evidence", tree.string()));
    EXPECT_EQ(result.exitCode, 0) << "task " << task << ": " << result.err;
  }
  const FileMap shares = Written(before, FilesOf(tree));
  EXPECT_EQ(shares.size(), 471u);
  ExpectSame(shares, OneRun());
}

}  // namespace
}  // namespace qx::cli
