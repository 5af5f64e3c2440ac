// OS help for the tests: a page that faults, and child processes whose
// output is captured whole.
#include "platform/testing.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace qx::plat::testing {
namespace {

// The unprivileged account ("nobody") a child drops to.
constexpr uid_t kNobody = 65534;

struct Pipes {
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
};

void CloseFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

// What every child starts with: its own session (so no controlling
// terminal), empty standard input, captured output, and no core file.
void PrepareChild(const Pipes& pipes) {
  setsid();
  const int devNull = open("/dev/null", O_RDONLY);
  if (devNull >= 0) {
    dup2(devNull, STDIN_FILENO);
    if (devNull != STDIN_FILENO) close(devNull);
  }
  dup2(pipes.out[1], STDOUT_FILENO);
  dup2(pipes.err[1], STDERR_FILENO);
  struct rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
}

// Reads both pipes to their end together, so that a child filling one of
// them never waits for a parent blocked on the other. `tick` is called
// about every few milliseconds meanwhile.
template <class Tick>
void Drain(Pipes* pipes, ChildResult* result, Tick tick) {
  CloseFd(&pipes->out[1]);
  CloseFd(&pipes->err[1]);
  pollfd fds[2] = {{pipes->out[0], POLLIN, 0}, {pipes->err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result->out, &result->err};
  int open = 0;
  for (const pollfd& fd : fds) open += fd.fd >= 0 ? 1 : 0;
  while (open > 0) {
    const int ready = poll(fds, 2, 5);
    tick();
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[4096];
      const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;  // poll skips negative descriptors
        --open;
        continue;
      }
      sinks[i]->append(chunk, static_cast<std::size_t>(n));
    }
  }
  for (pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  pipes->out[0] = -1;
  pipes->err[0] = -1;
}

void Reap(pid_t pid, ChildResult* result) {
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) return;
  }
  result->peakKiB = usage.ru_maxrss;
  if (WIFEXITED(status)) result->exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) {
    result->signal = WTERMSIG(status);
    if (WTERMSIG(status) == SIGABRT) result->aborted = true;
  }
}

bool OpenPipes(Pipes* pipes) {
  if (pipe2(pipes->out, O_CLOEXEC) != 0) return false;
  if (pipe2(pipes->err, O_CLOEXEC) != 0) {
    CloseFd(&pipes->out[0]);
    CloseFd(&pipes->out[1]);
    return false;
  }
  return true;
}

void CloseAll(Pipes* pipes) {
  for (int* fd : {&pipes->out[0], &pipes->out[1], &pipes->err[0], &pipes->err[1]}) CloseFd(fd);
}

// Anything still buffered in this process would otherwise be written twice,
// once by each side of the fork.
void FlushBeforeFork() {
  FlushStdout();
  std::fflush(nullptr);
}

}  // namespace

NoAccessPage::NoAccessPage() {
  const long page = sysconf(_SC_PAGESIZE);
  const std::size_t size = page > 0 ? static_cast<std::size_t>(page) : 4096;
  void* address = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (address != MAP_FAILED) {
    address_ = address;
    size_ = size;
  }
}

NoAccessPage::~NoAccessPage() {
  if (address_ != nullptr) munmap(address_, size_);
}

namespace {

// Forks a child whose standard output and error go to pipes and runs
// `child` in it (which must end the child itself); the parent collects both
// streams and how the child ended, calling tick(pid) now and then.
template <class Child, class Tick>
ChildResult RunForked(Child&& child, Tick tick) {
  ChildResult result;
  Pipes pipes;
  if (!OpenPipes(&pipes)) return result;
  FlushBeforeFork();
  const auto started = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) {
    CloseAll(&pipes);
    return result;
  }
  if (pid == 0) {
    PrepareChild(pipes);
    child();
    _exit(127);
  }
  Drain(&pipes, &result, [&] { tick(pid, &result); });
  Reap(pid, &result);
  result.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return result;
}

template <class Child>
ChildResult RunForked(Child&& child) {
  return RunForked(std::forward<Child>(child), [](pid_t, ChildResult*) {});
}

}  // namespace

namespace {

// Standard input fed from the parent through a pipe, a little at every
// tick, so that the parent never blocks on a child that does not read.
class InputFeed {
 public:
  explicit InputFeed(const RunOptions& options) : options_(options) {
    wanted_ = !options.input.empty() || options.releaseInput;
    if (wanted_ && pipe2(fds_, O_CLOEXEC) != 0) wanted_ = false;
    released_ = !options.releaseInput;
  }
  ~InputFeed() {
    CloseFd(&fds_[0]);
    CloseFd(&fds_[1]);
  }
  InputFeed(const InputFeed&) = delete;
  InputFeed& operator=(const InputFeed&) = delete;

  // In the child, before the program starts.
  void Attach() const {
    if (wanted_) dup2(fds_[0], STDIN_FILENO);
  }
  // In the parent, now and then.
  void Tick() {
    if (!wanted_) return;
    if (fds_[0] >= 0) {
      CloseFd(&fds_[0]);
      const int status = fcntl(fds_[1], F_GETFL);
      if (status >= 0) fcntl(fds_[1], F_SETFL, status | O_NONBLOCK);
    }
    if (fds_[1] < 0) return;
    if (!released_ && options_.releaseInput()) released_ = true;
    const std::string& input = options_.input;
    const std::size_t limit =
        released_ ? input.size() : std::min(options_.inputHeldFrom, input.size());
    while (written_ < limit) {
      const ssize_t n = write(fds_[1], input.data() + written_, limit - written_);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return;
      if (n <= 0) {  // the child has closed its input
        CloseFd(&fds_[1]);
        return;
      }
      written_ += static_cast<std::size_t>(n);
    }
    if (released_ && written_ == input.size()) CloseFd(&fds_[1]);
  }

 private:
  const RunOptions& options_;
  bool wanted_ = false;
  bool released_ = true;
  int fds_[2] = {-1, -1};
  std::size_t written_ = 0;
};

// A write to a pipe whose reader has gone fails instead of ending the test.
class PipeSignalIgnored {
 public:
  PipeSignalIgnored() { previous_ = std::signal(SIGPIPE, SIG_IGN); }
  ~PipeSignalIgnored() { std::signal(SIGPIPE, previous_); }
  PipeSignalIgnored(const PipeSignalIgnored&) = delete;
  PipeSignalIgnored& operator=(const PipeSignalIgnored&) = delete;

 private:
  void (*previous_)(int) = SIG_DFL;
};

}  // namespace

ChildResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd,
                       const RunOptions& options) {
  if (argv.empty()) return {};
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const auto started = std::chrono::steady_clock::now();
  bool signalled = false;
  bool killed = false;
  const PipeSignalIgnored pipeSignal;
  InputFeed feed(options);
  return RunForked(
      [&] {
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        // The test runner's own dispositions are not the program's.
        std::signal(SIGXFSZ, SIG_DFL);
        std::signal(SIGPIPE, SIG_DFL);
        feed.Attach();
        if (options.fileSizeLimit >= 0) {
          const rlimit limit{static_cast<rlim_t>(options.fileSizeLimit),
                             static_cast<rlim_t>(options.fileSizeLimit)};
          if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
        }
        if (options.umask >= 0) ::umask(static_cast<mode_t>(options.umask));
        if (options.asNobody && geteuid() == 0) {
          if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) {
            _exit(126);
          }
        }
        if (options.closeStdin) close(STDIN_FILENO);
        if (options.closeStdout) close(STDOUT_FILENO);
        if (options.discardStdout) {
          const int devNull = open("/dev/null", O_WRONLY);
          if (devNull >= 0) dup2(devNull, STDOUT_FILENO);
        }
        execv(args[0], args.data());
      },
      [&](pid_t pid, ChildResult* result) {
        feed.Tick();
        if (options.signal != 0 && !signalled && !options.signalWhen.empty() &&
            access(options.signalWhen.c_str(), F_OK) == 0) {
          kill(pid, options.signal);
          signalled = true;
        }
        if (options.timeoutSeconds > 0 && !killed &&
            std::chrono::steady_clock::now() - started >
                std::chrono::seconds(options.timeoutSeconds)) {
          kill(pid, SIGKILL);
          killed = true;
          result->timedOut = true;
        }
      });
}

ChildResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd,
                       bool runAsNobody, long long fileSizeLimit) {
  RunOptions options;
  options.asNobody = runAsNobody;
  options.fileSizeLimit = fileSizeLimit;
  return RunProgram(argv, cwd, options);
}

ChildResult RunInChild(void (*fn)()) {
  if (fn == nullptr) return {};
  return RunForked([&] {
    fn();
    // What a normal exit of the tool would write out; exit handlers and the
    // test framework's own teardown are not run in the child.
    FlushStdout();
    std::fflush(nullptr);
    _exit(0);
  });
}

namespace {

bool WriteAll(int fd, const void* data, std::size_t count) {
  const auto* bytes = static_cast<const char*>(data);
  while (count > 0) {
    const ssize_t n = write(fd, bytes, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool WriteWholeFile(const std::string& path, const void* data, std::size_t count) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, data, count);
  return close(fd) == 0 && written;
}

bool WriteWholeFileSafely(const std::string& path, const void* data, std::size_t count) {
  static unsigned serial = 0;
  const std::size_t slash = path.rfind('/');
  const std::string temporary =
      (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + ".qxw" +
      std::to_string(getpid() % 100) + "_" + std::to_string(serial++);
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, data, count);
  const bool ok = close(fd) == 0 && written && rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) unlink(temporary.c_str());
  return ok;
}

const int kSignalInterrupt = SIGINT;
const int kSignalTerminate = SIGTERM;
const int kSignalHangUp = SIGHUP;
const int kSignalKill = SIGKILL;

bool IsPrivileged() { return geteuid() == 0; }

}  // namespace qx::plat::testing
