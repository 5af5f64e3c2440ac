#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "platform/testing.h"

namespace {

// These run the POSIX shell, so they need one (under Wine /bin/sh exists
// but is no program of the platform the tests are built for).
bool HaveShell() { return !qx::plat::kHasDrives && std::filesystem::exists("/bin/sh"); }

qx::plat::testing::ChildResult Shell(const std::string& script, const std::string& cwd = "/",
                                     bool asNobody = false) {
  return qx::plat::testing::RunProgram({"/bin/sh", "-c", script}, cwd, asNobody);
}

TEST(ChildProcess, CapturesBothStreamsAndTheExitStatus) {
  if (!HaveShell()) GTEST_SKIP() << "no /bin/sh";
  const auto small = Shell("printf out; printf err >&2; exit 3");
  EXPECT_EQ(3, small.exitCode);
  EXPECT_FALSE(small.aborted);
  EXPECT_EQ("out", small.out);
  EXPECT_EQ("err", small.err);

  // Far more than a pipe holds, on both streams at once.
  const auto big = Shell("head -c 300000 /dev/zero; head -c 200000 /dev/zero >&2; "
                         "head -c 300000 /dev/zero");
  EXPECT_EQ(0, big.exitCode);
  EXPECT_EQ(600000u, big.out.size());
  EXPECT_EQ(200000u, big.err.size());
}

TEST(ChildProcess, RunsDetachedInTheGivenDirectory) {
  if (!HaveShell()) GTEST_SKIP() << "no /bin/sh";
  const std::string dir = std::filesystem::temp_directory_path().string();
  const auto where = Shell("pwd -P; cat", dir);
  EXPECT_EQ(std::filesystem::canonical(dir).string() + "\n", where.out) << "stdin must be empty";
  // Opening the controlling terminal fails in a session of its own.
  EXPECT_NE(0, Shell(": </dev/tty").exitCode);
  EXPECT_EQ(127, qx::plat::testing::RunProgram({"/nonexistent/program"}, "/").exitCode);
}

TEST(ChildProcess, TellsAnAbortFromOtherEnds) {
  if (!HaveShell()) GTEST_SKIP() << "no /bin/sh";
  const auto aborted = Shell("kill -ABRT $$");
  EXPECT_TRUE(aborted.aborted);
  EXPECT_EQ(-1, aborted.exitCode);
  const auto killed = Shell("kill -TERM $$");
  EXPECT_FALSE(killed.aborted);
  EXPECT_EQ(-1, killed.exitCode);
}

TEST(ChildProcess, DropsPrivilegesWhenAsked) {
  if (!HaveShell()) GTEST_SKIP() << "no /bin/sh";
  if (!qx::plat::testing::IsPrivileged()) GTEST_SKIP() << "not running as root";
  EXPECT_EQ("0\n", Shell("id -u").out);
  const auto nobody = Shell("id -u; id -G", "/", true);
  EXPECT_EQ("65534\n65534\n", nobody.out) << nobody.err;
}

}  // namespace
