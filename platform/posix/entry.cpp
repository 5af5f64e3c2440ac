// POSIX entry point: the arguments arrive as bytes; the tool works on wide
// text, so each is decoded losslessly before wmain sees it.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "app/Driver.h"
#include "platform/platform.h"
#include "platform/posix/native_text.h"

namespace {

// A program started with standard output closed (`quarrix ... >&-`, some
// daemons and cron set-ups) would hand descriptor 1 to the first file it
// opens, and its log would then be written into an extracted image. Each
// of the three that is closed is opened on /dev/null before anything else.
void OpenClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    // The lowest free descriptor is fd itself; anything else is not ours.
    if (opened >= 0 && opened != fd) close(opened);
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  OpenClosedStandardDescriptors();
  // A reader that goes away (a pager, head) must not end the run: standard
  // output then drops its text, and the files are still processed.
  std::signal(SIGPIPE, SIG_IGN);
  // A write beyond the file size limit (ulimit -f) then fails like a write
  // to a full disk, instead of ending the run with a half-written output.
  std::signal(SIGXFSZ, SIG_IGN);
  qx::plat::InstallInterruptHandling();

  std::vector<std::wstring> args;
  args.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) args.push_back(qx::plat::posix::DecodeNative(argv[i]));
  std::vector<wchar_t*> wideArgv;
  wideArgv.reserve(args.size() + 1);
  for (auto& arg : args) wideArgv.push_back(arg.data());
  wideArgv.push_back(nullptr);
  const int status = wmain(argc, wideArgv.data());
  qx::plat::FlushStdout();
  return status;
}
