// OS help for the tests on Windows.
#include "platform/testing.h"

#include <windows.h>

#include <string>

#include "platform/windows/runtime.h"

namespace qx::plat::testing {

NoAccessPage::NoAccessPage() {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  size_ = info.dwPageSize;
  address_ = VirtualAlloc(nullptr, size_, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
  if (address_ == nullptr) size_ = 0;
}

NoAccessPage::~NoAccessPage() {
  if (address_ != nullptr) VirtualFree(address_, 0, MEM_RELEASE);
}

namespace {

// Quotes one argument so that the runtime's start-up in the child splits it
// back out unchanged: backslashes are literal except before a quote, where
// each pair stands for one backslash.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') line.append(backslashes * 2 + 1, L'\\');
    else line.append(backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

struct Drain {
  HANDLE pipe;
  std::string* sink;
};

DWORD WINAPI DrainPipe(void* raw) {
  auto* drain = static_cast<Drain*>(raw);
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(drain->pipe, chunk, sizeof chunk, &got, nullptr) && got > 0) {
    drain->sink->append(chunk, got);
  }
  return 0;
}

// Feeds a child's standard input from a thread of its own: the part before
// the hold, then, once the options release it, the rest; then the end.
struct Feed {
  HANDLE pipe;
  HANDLE process;  // a child that has ended is fed no more
  const RunOptions* options;
};

bool WriteAllTo(HANDLE pipe, const char* data, std::size_t count) {
  while (count > 0) {
    const DWORD chunk = count > 65536 ? 65536 : static_cast<DWORD>(count);
    DWORD written = 0;
    if (!WriteFile(pipe, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    count -= written;
  }
  return true;
}

DWORD WINAPI FeedPipe(void* raw) {
  auto* feed = static_cast<Feed*>(raw);
  const std::string& input = feed->options->input;
  std::size_t held = input.size();
  if (feed->options->releaseInput && feed->options->inputHeldFrom < held) {
    held = feed->options->inputHeldFrom;
  }
  if (WriteAllTo(feed->pipe, input.data(), held)) {
    if (feed->options->releaseInput) {
      while (!feed->options->releaseInput()) {
        if (WaitForSingleObject(feed->process, 5) == WAIT_OBJECT_0) break;
      }
    }
    WriteAllTo(feed->pipe, input.data() + held, input.size() - held);
  }
  CloseHandle(feed->pipe);
  return 0;
}

// msvcrt's abort ends the process with this status.
constexpr DWORD kAbortStatus = 3;

}  // namespace

ChildResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd,
                       bool runAsNobody, long long fileSizeLimit) {
  RunOptions options;
  options.asNobody = runAsNobody;
  options.fileSizeLimit = fileSizeLimit;
  return RunProgram(argv, cwd, options);
}

// Permissions here are not owner bits, and there is no file size limit,
// umask or signal to send; no test here needs a time limit.
ChildResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd,
                       const RunOptions& options) {
  ChildResult result;
  if (argv.empty()) return result;

  std::wstring line;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    if (i > 0) line += L' ';
    AppendQuoted(line, windows::FromUtf8(argv[i]));
  }
  const std::wstring program = windows::FromUtf8(argv[0]);
  const bool hasDirectory = program.find_first_of(L"\\/:") != std::wstring::npos;
  const std::wstring directory = windows::FromUtf8(cwd);

  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
  if (!CreatePipe(&outRead, &outWrite, &inherit, 0)) return result;
  if (!CreatePipe(&errRead, &errWrite, &inherit, 0)) {
    CloseHandle(outRead);
    CloseHandle(outWrite);
    return result;
  }
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
  const bool fed = !options.input.empty() || options.releaseInput;
  HANDLE input = INVALID_HANDLE_VALUE;
  HANDLE inputWrite = nullptr;
  if (fed) {
    HANDLE inputRead = nullptr;
    if (CreatePipe(&inputRead, &inputWrite, &inherit, 0)) {
      SetHandleInformation(inputWrite, HANDLE_FLAG_INHERIT, 0);
      input = inputRead;
    } else {
      inputWrite = nullptr;
    }
  } else {
    input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                        OPEN_EXISTING, 0, nullptr);
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  PROCESS_INFORMATION process{};
  std::wstring mutableLine = line;
  const BOOL started = CreateProcessW(
      hasDirectory ? program.c_str() : nullptr, mutableLine.data(), nullptr, nullptr, TRUE,
      CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, nullptr,
      directory.empty() ? nullptr : directory.c_str(), &startup, &process);
  // The child holds its own copies; the pipes end when it does.
  CloseHandle(outWrite);
  CloseHandle(errWrite);
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  if (!started) {
    CloseHandle(outRead);
    CloseHandle(errRead);
    if (inputWrite != nullptr) CloseHandle(inputWrite);
    return result;
  }
  Feed feed{inputWrite, process.hProcess, &options};
  const HANDLE feedThread =
      inputWrite != nullptr ? CreateThread(nullptr, 0, FeedPipe, &feed, 0, nullptr) : nullptr;
  if (inputWrite != nullptr && feedThread == nullptr) CloseHandle(inputWrite);

  Drain errDrain{errRead, &result.err};
  const HANDLE errThread = CreateThread(nullptr, 0, DrainPipe, &errDrain, 0, nullptr);
  Drain outDrain{outRead, &result.out};
  DrainPipe(&outDrain);
  if (errThread != nullptr) {
    WaitForSingleObject(errThread, INFINITE);
    CloseHandle(errThread);
  } else {
    DrainPipe(&errDrain);
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  if (feedThread != nullptr) {
    WaitForSingleObject(feedThread, INFINITE);
    CloseHandle(feedThread);
  }
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseHandle(outRead);
  CloseHandle(errRead);

  if (status == kAbortStatus) {
    result.aborted = true;
  } else if ((status & 0xC0000000u) != 0xC0000000u) {
    // Statuses of that form are exception codes: the process did not exit.
    result.exitCode = static_cast<int>(status);
  }
  return result;
}

ChildResult RunInChild(void (*)()) {
  // There is no fork: a test that needs one skips on seeing exitCode -1.
  return ChildResult{};
}

bool WriteWholeFile(const std::string& path, const void* data, std::size_t count) {
  const HANDLE file = CreateFileW(windows::FromUtf8(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(file, data, static_cast<DWORD>(count), &written, nullptr) != 0 &&
                  written == count;
  return CloseHandle(file) != 0 && ok;
}

bool WriteWholeFileSafely(const std::string& path, const void* data, std::size_t count) {
  const std::string temporary = path + ".qxw";
  if (!WriteWholeFile(temporary, data, count)) return false;
  if (MoveFileExW(windows::FromUtf8(temporary).c_str(), windows::FromUtf8(path).c_str(),
                  MOVEFILE_REPLACE_EXISTING) != 0) {
    return true;
  }
  DeleteFileW(windows::FromUtf8(temporary).c_str());
  return false;
}

const int kSignalInterrupt = 0;
const int kSignalTerminate = 0;
const int kSignalHangUp = 0;
const int kSignalKill = 0;

bool IsPrivileged() { return false; }

}  // namespace qx::plat::testing
