// OS help that only the tests need. Linked into test programs, never into
// the tool.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qx::plat::testing {

// A page of memory that faults on every access; released by the destructor.
class NoAccessPage {
 public:
  NoAccessPage();
  ~NoAccessPage();
  NoAccessPage(const NoAccessPage&) = delete;
  NoAccessPage& operator=(const NoAccessPage&) = delete;
  void* address() const { return address_; }
  std::size_t size() const { return size_; }

 private:
  void* address_ = nullptr;
  std::size_t size_ = 0;
};

// Result of running a program to its end.
struct ChildResult {
  int exitCode = -1;        // the exit status when it exited normally, else -1
  bool aborted = false;     // ended by SIGABRT (POSIX) / abort (Windows)
  std::string out;          // everything written to standard output
  std::string err;          // everything written to standard error
};

// Runs `argv` (argv[0] is the program path, bytes as the OS sees them) in
// directory `cwd` with standard input closed/empty and no controlling
// terminal; waits for it. When `runAsNobody` is set and the test runs as root,
// the child drops to an unprivileged user first (so that permission bits are
// enforced even for root). A non-negative `fileSizeLimit` caps the size of
// every file the child writes (POSIX: RLIMIT_FSIZE, writes past it fail as on
// a full disk; ignored elsewhere).
ChildResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd,
                       bool runAsNobody = false, long long fileSizeLimit = -1);

// Runs fn in a forked child and reports how the child ended (POSIX only; on
// other platforms the child result has exitCode -1 and aborted false).
ChildResult RunInChild(void (*fn)());

// True when the process runs with root privileges.
bool IsPrivileged();

}  // namespace qx::plat::testing
