// OS help that only the tests need. Linked into test programs, never into
// the tool.
#pragma once

#include <cstddef>
#include <functional>
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
  int signal = 0;           // the signal that ended it (POSIX), else 0
  bool timedOut = false;    // killed by the runner after its time ran out
  double seconds = 0;       // wall time from start to end
  long long peakKiB = 0;    // peak resident memory (POSIX), 0 where unknown
  std::string out;          // everything written to standard output
  std::string err;          // everything written to standard error
};

// How to run a program. Options a platform does not have are ignored there.
struct RunOptions {
  // When the test runs as root, the child drops to an unprivileged user
  // first, so that permission bits are enforced even for root.
  bool asNobody = false;
  // Caps the size of every file the child writes (POSIX: RLIMIT_FSIZE; the
  // signal it raises keeps the disposition the program gives it).
  long long fileSizeLimit = -1;
  // Starts the program with standard input or output closed (POSIX), or
  // with standard output going nowhere instead of to the result.
  bool closeStdin = false;
  bool closeStdout = false;
  bool discardStdout = false;
  // The child's umask, when not negative (POSIX).
  int umask = -1;
  // Sends `signal` to the child once the file `signalWhen` exists (POSIX).
  int signal = 0;
  std::string signalWhen;
  // Kills the child after this many seconds; 0 waits for ever.
  int timeoutSeconds = 0;
  // Standard input through a pipe: these bytes, then the end (without
  // either, an empty input). While `releaseInput` is set and answers false
  // (it is asked every few milliseconds, on Windows from a thread of its
  // own), only the first `inputHeldFrom` bytes are written; the rest
  // follows once it answers true.
  std::string input;
  std::size_t inputHeldFrom = 0;
  std::function<bool()> releaseInput;
};

// Runs `argv` (argv[0] is the program path, bytes as the OS sees them) in
// directory `cwd` with standard input empty (or fed as the options say) and
// no controlling terminal; waits for it.
ChildResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd,
                       const RunOptions& options);

// The same with the two options most tests need.
ChildResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd,
                       bool runAsNobody = false, long long fileSizeLimit = -1);

// Runs fn in a forked child and reports how the child ended (POSIX only; on
// other platforms the child result has exitCode -1 and aborted false).
ChildResult RunInChild(void (*fn)());

// Writes `count` bytes as the whole content of `path` with one open, one
// write and one close, creating or truncating it: the plainest way to write
// a file, which benchmarks measure the tool against.
bool WriteWholeFile(const std::string& path, const void* data, std::size_t count);

// The same done safely, as the tool must: the bytes go to a new temporary
// file beside `path` (created exclusively), which is then renamed over it.
bool WriteWholeFileSafely(const std::string& path, const void* data, std::size_t count);

// The signals that interrupt a run (POSIX); 0 where there are none to send.
extern const int kSignalInterrupt;  // SIGINT
extern const int kSignalTerminate;  // SIGTERM
extern const int kSignalHangUp;     // SIGHUP
extern const int kSignalKill;       // SIGKILL: no handler runs

// True when the process runs with root privileges.
bool IsPrivileged();

}  // namespace qx::plat::testing
