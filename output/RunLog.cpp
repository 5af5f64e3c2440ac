#include "output/RunLog.h"

#include <string>

#include "support/Console.h"

namespace qx {

bool RunReport::Create(const wchar_t* path, const report::RunRecord& run, Failures& failures) {
  failures_ = &failures;
  path_ = path;
  std::wstring folded = path_.size() >= 4 ? path_.substr(path_.size() - 4) : std::wstring();
  for (wchar_t& c : folded) c = c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 0x20) : c;
  form_ = folded == L".xml" ? report::Form::kDfxml : report::Form::kJsonLines;
  end_ = report::End(form_);
  if (!file_.Create(path)) {
    broken_ = true;
    failures.Lost(path_, plat::LastError());
    return false;
  }
  Put(report::Begin(form_, run));
  return !broken_;
}

void RunReport::Put(const std::string& text) {
  if (broken_) return;
  // The records and the end in one write, over the end written before.
  const std::string piece = text + end_;
  if (!file_.WriteAt(size_, piece.data(), piece.size())) {
    broken_ = true;
    if (failures_ != nullptr) failures_->Lost(path_, plat::LastError());
    return;
  }
  size_ += static_cast<std::int64_t>(text.size());
}

void Failures::Say(const std::wstring& path, int code) {
  ++count_;
  const std::wstring reason = plat::ErrorText(code);
  const std::wstring line = L"quarrix: " + path + L": " + reason + L"\n";
  // Standard output first, so that the two streams read in order where
  // they go to one place.
  plat::FlushStdout();
  plat::WriteStderr(line.data(), line.size());
  if (report_ != nullptr) report_->Add(report::ErrorRecord{path, reason});
}

}  // namespace qx
