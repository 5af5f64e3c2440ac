// The hand-over of one input file: to the run's pipeline when files are
// scanned by a pool of threads, else processed at once.
#include "app/Driver.h"
#include "app/Pipeline.h"

#include <string>

namespace {

qx::app::Pipeline* gPipeline = nullptr;
qx::app::FileSettings gSettings;

}  // namespace

namespace qx::app {

void UsePipeline(Pipeline* pipeline) { gPipeline = pipeline; }

void UseFileSettings(const FileSettings& settings) { gSettings = settings; }

bool SettleEntry(const wchar_t* path, plat::FindData* entry) {
  std::wstring stem;
  if (!OutputStem(entry->name, &stem)) return true;
  if (gPipeline != nullptr && gPipeline->MayWrite(stem)) gPipeline->Finish();
  return plat::DescribeEntry(path, entry);
}

}  // namespace qx::app

void ProcessFile(const wchar_t* path, std::uint32_t mask, int verbosity) {
  if (gPipeline != nullptr) {
    gPipeline->Submit(path, mask, verbosity);
  } else {
    qx::app::ProcessFileNow(path, mask, verbosity, gSettings);
  }
}
