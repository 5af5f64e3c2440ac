// What a run tells beyond its standard output: the report of every image
// (-report), and every failure, said on standard error.
//
// A failure is one line on standard error, "quarrix: <path>: <reason>" in
// the system's own words, and an error record in the report; the run goes
// on. A source or a directory that cannot be read changes nothing else (a
// tree full of unreadable entries is normal for a run without privileges);
// an image that was found and could not be written, and a report that
// cannot be written, make the exit status 1: the run did the rest, and says
// it lost something.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "report/Report.h"

namespace qx {

class Failures;

// The report, written as the run goes: each record whole, by one write, as
// soon as it is known, the DFXML document's end written after it (and
// written over by the next), so that a run killed at any point leaves a
// complete report of what it did. It is made like an output: a link at its
// name is replaced, never followed.
class RunReport {
 public:
  // Makes the report at `path`: DFXML when the name ends in ".xml" (A-Z
  // folded), else JSON Lines; and writes the run's record. False when it
  // cannot be made.
  bool Create(const wchar_t* path, const report::RunRecord& run, Failures& failures);

  void Add(const report::ImageRecord& image) { Put(report::Record(form_, image)); }
  void Add(const report::FileRecord& file) { Put(report::Record(form_, file)); }
  void Add(const report::ErrorRecord& error) { Put(report::Record(form_, error)); }
  void Add(const report::SummaryRecord& summary) { Put(report::Record(form_, summary)); }

 private:
  void Put(const std::string& text);

  std::wstring path_;
  report::Form form_ = report::Form::kJsonLines;
  plat::GrowingFile file_;
  std::string end_;  // the form's end, after the records
  std::int64_t size_ = 0;  // of the records so far
  bool broken_ = false;
  Failures* failures_ = nullptr;
};

class Failures {
 public:
  // Errors go to the report too, once it is made.
  void Use(RunReport* report) { report_ = report; }

  // A source or directory that cannot be opened, entered, listed or read.
  void Unreadable(const std::wstring& path, int code) { Say(path, code); }
  // An image that was found and could not be written (`path`: the name it
  // would have had), or the report itself.
  void Lost(const std::wstring& path, int code) {
    lost_ = true;
    Say(path, code);
  }

  int ExitStatus() const { return lost_ ? 1 : 0; }
  std::int64_t Count() const { return count_; }

 private:
  void Say(const std::wstring& path, int code);

  RunReport* report_ = nullptr;
  bool lost_ = false;
  std::int64_t count_ = 0;
};

}  // namespace qx
