// POSIX entry point: the arguments arrive as bytes; the tool works on wide
// text, so each is decoded losslessly before wmain sees it.
#include <csignal>
#include <string>
#include <vector>

#include "app/Driver.h"
#include "platform/platform.h"
#include "platform/posix/native_text.h"

int main(int argc, char* argv[]) {
  // A reader that goes away (a pager, head) must not end the run: standard
  // output then drops its text, and the files are still processed.
  std::signal(SIGPIPE, SIG_IGN);
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
