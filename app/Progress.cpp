#include "app/Progress.h"

#include <utility>

#include "output/OutputNames.h"
#include "platform/platform.h"

namespace qx::app {
namespace {

constexpr auto kFirstDraw = std::chrono::seconds(1);
constexpr auto kRedraw = std::chrono::milliseconds(250);

// Sizes as decimal megabytes with one digit after the point.
std::wstring Megabytes(std::int64_t bytes) {
  const std::int64_t tenths = bytes / 100000;
  return std::to_wstring(tenths / 10) + L"." + std::to_wstring(tenths % 10) + L" MB";
}

std::wstring TwoDigits(std::int64_t n) { return (n < 10 ? L"0" : L"") + std::to_wstring(n); }

// m:ss, or h:mm:ss from an hour on.
std::wstring Duration(std::int64_t seconds) {
  if (seconds >= 3600) {
    return std::to_wstring(seconds / 3600) + L":" + TwoDigits(seconds / 60 % 60) + L":" +
           TwoDigits(seconds % 60);
  }
  return std::to_wstring(seconds / 60) + L":" + TwoDigits(seconds % 60);
}

}  // namespace

bool ProgressLine::Wanted(int verbosity) { return verbosity != 1 && plat::StderrIsTerminal(); }

ProgressLine::ProgressLine() : started_(std::chrono::steady_clock::now()) {
  thread_ = std::thread([this] { Run(); });
}

ProgressLine::~ProgressLine() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stop_.notify_all();
  thread_.join();
  if (shown_) plat::ClearStatus();
}

void ProgressLine::Begin(const wchar_t* path, std::int64_t size, int passes, std::function<std::int64_t()> scanned) {
  const PathParts parts = SplitParts(path);
  std::lock_guard<std::mutex> lock(mutex_);
  name_ = parts.name + parts.extension;
  fileStarted_ = std::chrono::steady_clock::now();
  size_ = size;
  passes_ = passes > 0 ? passes : 1;
  scanned_ = std::move(scanned);
}

void ProgressLine::End(std::int64_t scanned) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++counts_.files;
  counts_.bytes += scanned;
  scanned_ = nullptr;
}

void ProgressLine::Image() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++counts_.images;
}

std::wstring ProgressLine::Text(const Counts& counts, double seconds, const std::wstring& name, std::int64_t done,
                                std::int64_t total, double fileSeconds) {
  const std::int64_t bytes = counts.bytes + (total > 0 ? done : 0);
  std::wstring text = std::to_wstring(counts.files) + (counts.files == 1 ? L" file, " : L" files, ") +
                      Megabytes(bytes) + L", " + std::to_wstring(counts.images) +
                      (counts.images == 1 ? L" image" : L" images");
  const double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
  if (seconds > 0) text += L", " + Megabytes(static_cast<std::int64_t>(rate)) + L"/s";
  if (name.empty()) return text;
  text += L"; " + name;
  if (total <= 0) return text;
  if (done > total) done = total;
  text += L": " + Megabytes(done) + L" of " + Megabytes(total);
  const double fileRate = fileSeconds > 0 ? static_cast<double>(done) / fileSeconds : 0;
  if (fileRate > 0) {
    text += L", " + Duration(static_cast<std::int64_t>(static_cast<double>(total - done) / fileRate + 0.5)) + L" left";
  }
  return text;
}

void ProgressLine::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (stop_.wait_for(lock, kFirstDraw, [&] { return stopping_; })) return;
  do {
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - started_).count();
    const double fileSeconds = std::chrono::duration<double>(now - fileStarted_).count();
    // The passes run one after the other over the same bytes: the line
    // tells the bytes of the file, so that it reads as the file's size.
    const std::int64_t done = scanned_ ? scanned_() / passes_ : 0;
    const std::wstring line = Text(counts_, seconds, name_, done, scanned_ ? size_ : 0, fileSeconds);
    plat::ShowStatus(line.data(), line.size());
    shown_ = true;
  } while (!stop_.wait_for(lock, kRedraw, [&] { return stopping_; }));
}

}  // namespace qx::app
