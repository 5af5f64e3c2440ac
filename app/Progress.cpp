#include "app/Progress.h"

#include <utility>
#include <vector>

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

ProgressLine::ProgressLine(const wchar_t* path, std::int64_t size, int passes,
                           std::function<std::int64_t()> scanned)
    : size_(size > 0 ? size : 1),
      passes_(passes > 0 ? passes : 1),
      scanned_(std::move(scanned)),
      started_(std::chrono::steady_clock::now()) {
  const PathParts parts = SplitParts(path);
  name_ = parts.name + parts.extension;
  thread_ = std::thread([this] { Run(); });
}

ProgressLine::~ProgressLine() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stop_.notify_all();
  thread_.join();
  if (shown_ == 0) return;
  const std::wstring blank = L"\r" + std::wstring(shown_, L' ') + L"\r";
  plat::WriteStderr(blank.data(), blank.size());
}

std::wstring ProgressLine::Text(const std::wstring& name, std::int64_t done, std::int64_t total,
                                double seconds) {
  if (done > total) done = total;
  std::wstring text = name + L": " + Megabytes(done) + L" of " + Megabytes(total);
  if (seconds > 0 && done > 0) {
    const double rate = static_cast<double>(done) / seconds;
    text += L", " + Megabytes(static_cast<std::int64_t>(rate)) + L"/s, " +
            Duration(static_cast<std::int64_t>(static_cast<double>(total - done) / rate + 0.5)) +
            L" left";
  }
  return text;
}

void ProgressLine::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (stop_.wait_for(lock, kFirstDraw, [&] { return stopping_; })) return;
  do {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    // The passes run one after the other over the same bytes: the line
    // tells the bytes of the file, so that it reads as the file's size.
    const std::int64_t done = scanned_() / passes_;
    std::wstring line = L"\r" + Text(name_, done, size_, seconds);
    const std::size_t length = line.size() - 1;
    // A shorter line than the last one covers the rest with blanks.
    if (length < shown_) line += std::wstring(shown_ - length, L' ');
    shown_ = length > shown_ ? length : shown_;
    plat::WriteStderr(line.data(), line.size());
  } while (!stop_.wait_for(lock, kRedraw, [&] { return stopping_; }));
}

}  // namespace qx::app
