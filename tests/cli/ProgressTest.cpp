// The run's progress line, seen in a real terminal: standard error on a
// pseudo-terminal (util-linux's script), standard output to a file. The line
// comes after about a second, tells files, bytes, images and the long file
// being read, is redrawn in place and cleared at the end; standard output
// is exactly what it is without a terminal.
#include <chrono>
#include <fstream>
#include <string>

#include "CliFixture.h"

namespace qx::cli {
namespace {

class ProgressTest : public CliTest {};

TEST_F(ProgressTest, ALongRunShowsItsLineOnATerminalAndClearsIt) {
  if (plat::kHasDrives || !fs::exists("/usr/bin/script")) GTEST_SKIP() << "needs util-linux's script";
  WriteOld(Root() / "a.bin", Bitmap(60, 'a'));
  // A sparse file read whole through windows, three searches over 6 GB of
  // zeros: seconds on any machine.
  {
    std::ofstream(Root() / "big.img", std::ios::binary) << Bitmap(70, 'b');
  }
  fs::resize_file(Root() / "big.img", std::uintmax_t{6} << 30);
  fs::last_write_time(Root() / "big.img", fs::file_time_type::clock::now() - std::chrono::hours(1));
  const std::string command = std::string(QX_TOOL_PATH) + " -extract=ALL -whole -threads=1 a.bin big.img > out.txt";
  const auto result = plat::testing::RunProgram({"/usr/bin/script", "-qfec", command, "typescript"}, Root().string());
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(ReadAll(Root() / "out.txt"), At("a.bin") + "\n  " + At("a_000.bmp") + "\n" + At("big.img") + "\n  " +
                                             At("big_000.bmp") + "\n");
  const std::string terminal = ReadAll(Root() / "typescript");
  // Drawn in place, with what the run has done and the long file's share.
  const std::size_t first = terminal.find("\r1 file, ");
  ASSERT_NE(first, std::string::npos) << terminal;
  EXPECT_NE(terminal.find(" MB/s; big.img: ", first), std::string::npos);
  EXPECT_NE(terminal.find(" of 6442.4 MB", first), std::string::npos);
  EXPECT_NE(terminal.find(" left", first), std::string::npos);
  // Taken away at the end: blanks over it, back to the line's start.
  const std::size_t last = terminal.rfind('\r');
  ASSERT_NE(last, std::string::npos);
  const std::size_t before = terminal.rfind('\r', last - 1);
  ASSERT_NE(before, std::string::npos);
  EXPECT_EQ(terminal.substr(before + 1, last - before - 1).find_first_not_of(' '), std::string::npos);
  // Without a terminal there is no line at all.
  const auto plain = Run({"-extract=ALL", "-whole", "-threads=1", "a.bin", "big.img"});
  EXPECT_EQ(plain.err, "");
}

}  // namespace
}  // namespace qx::cli
