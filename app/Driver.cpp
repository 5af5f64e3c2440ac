// The entry point: the option pass, the usage text, the StartTime snapshot and
// the expansion of every FILE and DIR argument, then of every listed name.
#include "app/Driver.h"

#include <chrono>
#include <cstddef>
#include <cwchar>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/NameList.h"
#include "app/Progress.h"
#include "app/Road.h"
#include "app/Run.h"
#include "output/Kinds.h"
#include "output/OutputNames.h"
#include "output/RunLog.h"
#include "output/Sink.h"
#include "platform/platform.h"
#include "support/ComposePath.h"
#include "support/Console.h"
#include "support/StringHelper.h"

std::int64_t StartTime = 0;

namespace {

using qx::app::Run;
using qx::app::Settings;
using qx::plat::kPathCapacity;

// The version, as the build names it, in the usage text's last line.
#define QX_WIDE(text) L##text
#define QX_WIDE_VERSION(text) QX_WIDE(text)

constexpr const wchar_t* kUsage =
    L"\n"
    L"Usage: %s <-extract> [-subdirs] [-verbosity] <[FILE]> <[DIR]>\n"
    L"\n"
    L"This application extracts resources from files.\n"
    L"\n"
    L"  -extract   : The resources to extract. This parameter can be used multiple times.\n"
    L"               Must be one of the following:\n"
    L"               ALL  BMP  JPG  PNG\n"
    L"\n"
    L"  -subdirs   : Go into sub-directories and do all the files and (sub-)directories\n"
    L"\n"
    L"  -verbosity : The output verbosity:\n"
    L"               1 -> Compact  show nothing\n"
    L"               2 -> Normal   show the file names\n"
    L"               3 -> Verbose  show the file names and the extracted resources (default)\n"
    L"\n"
    L"\n"
    L"  FILE : One (or multiple) file name(s) for which to extract the resources\n"
    L"\n"
    L"  DIR  : One (or multiple) directories for which to extract the resources\n"
    L"\n"
    L"\n"
    L"Examples:\n"
    L"  %s -extract=ALL \"C:\\Temp\" \"D:\\My Files\\File 1.exe\" \"D:\\My Files\\File 2.bin\"\n"
    L"  %s -subdirs -verbosity=3 -extract=JPG \"C:\\Temp\\*.dat\" \"C:\\My Files\\File 1.exe\"\n"
    L"  %s -extract=JPG -extract=PNG *.exe\n"
    L"\n"
    L"v" QX_WIDE_VERSION(QX_VERSION) L" - Quarrix digs the pictures out of any file\n";

constexpr int kMostThreads = 256;

// "-threads=N" takes N from 1 to 256, written in decimal digits alone; any
// other value leaves the default.
int ReadThreadCount(const wchar_t* value) {
  int count = 0;
  if (value[0] == L'\0') return 0;
  for (const wchar_t* p = value; *p != L'\0'; ++p) {
    if (*p < L'0' || *p > L'9') return 0;
    count = count * 10 + (*p - L'0');
    if (count > kMostThreads) return 0;
  }
  return count;
}

int DefaultThreadCount() {
  const unsigned cores = std::thread::hardware_concurrency();
  if (cores == 0) return 1;
  return cores > static_cast<unsigned>(kMostThreads) ? kMostThreads : static_cast<int>(cores);
}

// Reads every option, blanking it so that the expansion pass skips it. A value
// is judged by its first three characters, a verbosity by its first digit.
Settings ReadOptions(int argc, wchar_t* argv[]) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    wchar_t* arg = argv[i];
    if (arg == nullptr) continue;
    if (Safe_wcsnicmp(arg, L"-extract=", 9) == 0) {
      const wchar_t* value = arg + 9;
      if (Safe_wcsnicmp(value, L"all", 3) == 0) {
        settings.mask |= qx::kMaskAll;
      } else {
        for (const qx::KindRow& row : qx::Kinds()) {
          if (Safe_wcsnicmp(value, row.name, 3) != 0) continue;
          settings.mask |= row.mask;
          break;
        }
      }
      arg[0] = L'\0';
    } else if (Safe_wcsicmp(arg, L"-subdirs") == 0) {
      settings.subdirs = true;
      arg[0] = L'\0';
    } else if (Safe_wcsicmp(arg, L"-whole") == 0) {
      settings.whole = true;
      arg[0] = L'\0';
    } else if (Safe_wcsicmp(arg, L"-unpack") == 0) {
      settings.unpack = true;
      arg[0] = L'\0';
    } else if (Safe_wcsicmp(arg, L"-dedup") == 0) {
      settings.dedup = true;
      arg[0] = L'\0';
    } else if (Safe_wcsicmp(arg, L"-list") == 0) {
      settings.list = true;
      arg[0] = L'\0';
    } else if (Safe_wcsicmp(arg, L"-resources") == 0) {
      settings.resources = true;
      arg[0] = L'\0';
    } else if (Safe_wcsicmp(arg, L"-strict") == 0) {
      settings.strict = true;
      arg[0] = L'\0';
    } else if (Safe_wcsnicmp(arg, L"-out=", 5) == 0) {
      // The value is a path: taken as it is written.
      settings.outDir = arg + 5;
      arg[0] = L'\0';
    } else if (Safe_wcsnicmp(arg, L"-report=", 8) == 0) {
      settings.report = arg + 8;
      arg[0] = L'\0';
    } else if (Safe_wcsnicmp(arg, L"-verbosity=", 11) == 0) {
      switch (arg[11]) {
        case L'1': settings.verbosity = 1; break;
        case L'2': settings.verbosity = 2; break;
        case L'3': settings.verbosity = 3; break;
        default: break;
      }
      arg[0] = L'\0';
    } else if (Safe_wcsnicmp(arg, L"-threads=", 9) == 0) {
      const int count = ReadThreadCount(arg + 9);
      if (count > 0) settings.threads = count;
      arg[0] = L'\0';
    } else if (Safe_wcsnicmp(arg, L"-files-from=", 12) == 0) {
      // An empty value names no list.
      if (arg[12] != L'\0') settings.lists.push_back({arg + 12, qx::app::NameSeparator::kLine});
      arg[0] = L'\0';
    } else if (Safe_wcsnicmp(arg, L"-files0-from=", 13) == 0) {
      if (arg[13] != L'\0') settings.lists.push_back({arg + 13, qx::app::NameSeparator::kNul});
      arg[0] = L'\0';
    }
  }
  return settings;
}

void PrintUsage(const wchar_t* programPath) {
  auto name = std::make_unique<wchar_t[]>(kPathCapacity);
  qx::plat::SplitPath(programPath, nullptr, 0, nullptr, 0, name.get(), kPathCapacity, nullptr, 0);
  qx::PrintOut(kUsage, name.get(), name.get(), name.get(), name.get());
}

// Buffers for the expansion of one argument; too large for the stack where a
// path holds thousands of characters.
struct ExpansionBuffers {
  wchar_t drive[kPathCapacity];
  wchar_t dir[kPathCapacity];
  wchar_t cwd[kPathCapacity];
  wchar_t path[kPathCapacity];
};

// Hands one listed entry of `pattern` on: a directory to the walker, a file
// older than the run to ProcessFile. The drive and directory come from the
// pattern as typed, the name from the listing.
void ExpandEntry(Run& run, const wchar_t* pattern, qx::plat::FindData& entry,
                 ExpansionBuffers& buffers) {
  if (qx::plat::SplitPath(pattern, buffers.drive, kPathCapacity, buffers.dir, kPathCapacity,
                          nullptr, 0, nullptr, 0) != 0) {
    return;
  }
  if (buffers.dir[0] == L'\0') {
    // The current directory is read again for every match: the walker has
    // restored it after each directory it entered. A pattern with a drive
    // but no directory (C:*.dat) is relative to that drive's own current
    // directory, which FullPath resolves from "C:."; the result carries the
    // drive, so the drive part is not put in front of it a second time.
    if (buffers.drive[0] != L'\0') {
      if (!qx::ComposePath(buffers.path, L"%s.", buffers.drive)) return;
      if (!qx::plat::FullPath(buffers.path, buffers.cwd, kPathCapacity)) return;
      buffers.drive[0] = L'\0';
    } else if (qx::plat::GetCwd(buffers.cwd, kPathCapacity) == nullptr) {
      return;
    }
    if (!qx::ComposePath(buffers.dir, L"%s" QX_PATH_SEP, buffers.cwd)) return;
  }
  const bool isDirectory = (entry.attrib & qx::plat::kAttribSubdir) != 0;
  if (isDirectory &&
      (Safe_wcscmp(entry.name, L".") == 0 || Safe_wcscmp(entry.name, L"..") == 0)) {
    return;
  }
  if (!qx::ComposePath(buffers.path, L"%s%s%s", buffers.drive, buffers.dir, entry.name)) return;
  if (!isDirectory &&
      (!qx::app::SettleEntry(run, buffers.path, &entry) || entry.time_write >= StartTime)) {
    return;
  }
  if (isDirectory) {
    qx::app::ProcessDirectory(run, buffers.path);
  } else {
    qx::app::ProcessFile(run, buffers.path);
  }
}

// True when the argument's last component is empty (a root, a path that ends
// in a separator as shells complete directory names, a drive alone), "." or
// "..": such an argument names a directory by its form, and a listing of it
// would match no entry.
bool NamesADirectoryByItsForm(const wchar_t* argument) {
  const std::size_t length = std::wcslen(argument);
  std::size_t last = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (qx::plat::IsSeparator(argument[i])) last = i + 1;
  }
  if (last == 0 && qx::plat::kHasDrives && length >= 2 && argument[1] == L':') last = 2;
  const wchar_t* component = argument + last;
  return component[0] == L'\0' || Safe_wcscmp(component, L".") == 0 ||
         Safe_wcscmp(component, L"..") == 0;
}

void ExpandArgument(Run& run, const wchar_t* pattern, ExpansionBuffers& buffers) {
  if (NamesADirectoryByItsForm(pattern)) {
    // Walked like any directory that a pattern matches.
    qx::plat::DirIdentity identity{};
    if (qx::plat::GetDirIdentity(pattern, &identity)) {
      qx::app::ProcessDirectory(run, pattern);
    }
    return;
  }
  auto record = std::make_unique<qx::plat::FindData>();
  const qx::plat::FindHandle handle = qx::plat::FindFirst(pattern, record.get());
  if (handle == qx::plat::kInvalidFind) {
    // A pattern that matches nothing is passed over; one whose directory
    // cannot be listed is said.
    if (qx::plat::LastError() != 0) run.road.Tell(pattern, qx::plat::LastError());
    return;
  }
  do {
    ExpandEntry(run, pattern, *record, buffers);
  } while (qx::plat::FindNext(handle, record.get()) == 0);
  qx::plat::FindClose(handle);
}

// A list named by -files-from or -files0-from that could not be opened, or
// whose reading failed before its end (the names read until then have been
// processed): said at its turn, as a source that cannot be read is.
void ListUnreadable(Run& run, const wchar_t* path) { run.road.Tell(path, qx::plat::LastError()); }

// One name of a list, taken exactly as written, never as an option or a
// pattern, and otherwise handed on as ExpandArgument hands on a FILE or DIR
// argument: the entry it names is described as a listing would deliver it.
void ExpandName(Run& run, const wchar_t* name, qx::plat::FindData& entry,
                ExpansionBuffers& buffers) {
  if (NamesADirectoryByItsForm(name)) {
    qx::plat::DirIdentity identity{};
    if (qx::plat::GetDirIdentity(name, &identity)) qx::app::ProcessDirectory(run, name);
    return;
  }
  if (!qx::plat::DescribeEntry(name, &entry)) return;
  ExpandEntry(run, name, entry, buffers);
}

// Every name of one list, each processed as soon as it is read. Before the
// list is waited for, the files taken so far are finished, so that a slow
// writer never holds their outputs back.
void ExpandList(Run& run, const qx::app::NameListOption& list, ExpansionBuffers& buffers) {
  auto record = std::make_unique<qx::plat::FindData>();
  const bool read = qx::app::ReadNameList(
      list.path.c_str(), list.separator,
      [&](const wchar_t* name) { ExpandName(run, name, *record, buffers); },
      [&] { run.road.Finish(); });
  if (!read) ListUnreadable(run, list.path.c_str());
}

}  // namespace

void qx::app::ProcessFile(Run& run, const wchar_t* path) { run.road.Take(path); }

bool qx::app::SettleEntry(Run& run, const wchar_t* path, qx::plat::FindData* entry) {
  std::wstring stem;
  if (!NamedLikeOutput(entry->name, &stem)) return true;
  if (run.road.MayWrite(stem)) run.road.Finish();
  return qx::plat::DescribeEntry(path, entry);
}

extern "C" int wmain(int argc, wchar_t* argv[]) {
  const auto started = std::chrono::steady_clock::now();
  // The arguments as given, for the report, before the option pass blanks
  // the options.
  std::vector<std::wstring> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i] != nullptr ? argv[i] : L"");
  Settings settings = ReadOptions(argc, argv);
  if (argc <= 1 || settings.mask == 0) {
    PrintUsage(argc >= 1 ? argv[0] : nullptr);
    return 0;
  }

  StartTime = qx::plat::CurrentTime();

  qx::Failures failures;
  qx::RunReport report;
  qx::SinkSettings outputs;
  outputs.verbosity = settings.verbosity;
  outputs.list = settings.list;
  outputs.dedup = settings.dedup;
  outputs.failures = &failures;
  if (!settings.report.empty() &&
      report.Create(settings.report.c_str(),
                    qx::report::RunRecord{L"quarrix", QX_WIDE_VERSION(QX_VERSION), StartTime, arguments}, failures)) {
    failures.Use(&report);
    outputs.report = &report;
  }
  if (!settings.outDir.empty()) {
    // Taken as the current directory now has it: the walk changes it.
    outputs.outDir = settings.outDir;
    std::wstring absolute(kPathCapacity, L'\0');
    if (qx::plat::FullPath(settings.outDir.c_str(), absolute.data(), kPathCapacity)) {
      outputs.outDirAbsolute = absolute.c_str();
    }
  }

  // One thread is the single-threaded run itself; more search ahead in a
  // pool while this thread walks and writes.
  if (settings.threads == 0) settings.threads = DefaultThreadCount();
  qx::Sink sink(outputs);
  {
    // The line outlives the road, which finishes its last files as it goes.
    std::unique_ptr<qx::app::ProgressLine> progress;
    if (qx::app::ProgressLine::Wanted(settings.verbosity)) progress = std::make_unique<qx::app::ProgressLine>();
    qx::app::Road road(settings, sink, failures);
    road.Follow(progress.get());
    Run run{settings, road, failures};
    auto buffers = std::make_unique<ExpansionBuffers>();
    for (int i = 1; i < argc; ++i) {
      const wchar_t* arg = argv[i];
      if (arg == nullptr || arg[0] == L'\0') continue;
      ExpandArgument(run, arg, *buffers);
    }
    for (const qx::app::NameListOption& list : settings.lists) ExpandList(run, list, *buffers);
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
  sink.Summary(failures.Count(), took.count());
  return failures.ExitStatus();
}
