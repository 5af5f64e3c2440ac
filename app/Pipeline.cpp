#include "app/Pipeline.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "app/Driver.h"
#include "app/FileScan.h"
#include "app/FileSource.h"
#include "app/Progress.h"

namespace qx::app {
namespace {

// Hits a file may have waiting for the driver before its scan pauses.
constexpr std::size_t kQueuedHits = 4096;

// ASCII letters are folded as the tool folds them; every other character
// folds to one value, so that file systems that fold more than ASCII are
// covered: two names that differ there compare equal, which costs at most
// one needless wait.
wchar_t FoldForMatch(wchar_t c) {
  if (c >= L'A' && c <= L'Z') return static_cast<wchar_t>(c + 0x20);
  return c < 0x80 ? c : static_cast<wchar_t>(0x80);
}

bool IsImageExtension(const std::wstring& ext) {
  return ext == L".bmp" || ext == L".jpg" || ext == L".png";
}

}  // namespace

// The hits of one kind of one file, on their way from a search to the
// driver.
struct KindQueue {
  std::deque<Hit> hits;
  bool done = true;  // kinds not selected are done from the start
};

struct Pipeline::Job {
  std::wstring path;
  std::wstring systemPath;
  std::uint32_t mask = 0;
  int verbosity = 3;
  std::wstring stem;
  plat::InputFile input;
  bool loaded = false;
  // Scanned by the driver's thread when its turn comes (a small file).
  bool inlineScan = false;
  // Scanned whole through windows: nothing is loaded, the searches map
  // windows of the file themselves, and outputs are copied from the file.
  bool windowed = false;
  std::int64_t size = 0;
  std::atomic<std::int64_t> scanned[kKindCount] = {};

  std::mutex mutex;
  std::condition_variable changed;
  KindQueue kinds[kKindCount];
  // Tasks bringing the block's pages in read it too: the block is released
  // only once they are over.
  int populating = 0;
};

// A piece of work for the pool: one search of one file, or bringing one half
// of a large file's pages in.
struct Task {
  Pipeline::Job* job;
  int kind;  // index into kSearches, or kPopulateFirst or kPopulateSecond
};

constexpr int kPopulateFirst = -1;
constexpr int kPopulateSecond = -2;
// A file this large is mapped without its pages, which two tasks bring in
// on the pool's threads, half each, so that the driver's thread does not
// spend that time and two threads share it; a smaller one has its pages
// brought in by the driver's thread as it maps it, in one call.
constexpr std::int64_t kPopulateApart = 8 << 20;
// A file this small is scanned by the driver's thread itself when its turn
// comes: handing it to the pool and its hits back costs more than its scan.
constexpr std::int64_t kScanInlineBelow = 256 << 10;

class Pipeline::Workers {
 public:
  explicit Workers(int count) : windowed_(WindowedSearchFor(count)) {
    for (int i = 0; i < count; ++i) threads_.emplace_back([this] { Run(); });
    releaser_ = std::thread([this] { ReleaseFinished(); });
  }
  ~Workers() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    released_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    releaser_.join();
  }
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // Tasks are taken in the order they are added, and the driver consumes
  // the searches' hits in that same order: so when it waits for one search,
  // every search added before it is done and has freed its thread, and the
  // one it waits for runs, however full the queues of later ones are.
  void Add(Job* job) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++loaded_;
      if (job->inlineScan) return;
      if (!job->windowed && job->input.Loaded() >= kPopulateApart) {
        job->populating = 2;
        tasks_.push_back(Task{job, kPopulateFirst});
        tasks_.push_back(Task{job, kPopulateSecond});
      }
      for (int kind = 0; kind < kKindCount; ++kind) {
        if (!job->kinds[kind].done) tasks_.push_back(Task{job, kind});
      }
    }
    wake_.notify_all();
  }

  // Takes a finished file, to be released (its block unmapped, which takes
  // time for a large one) by a thread of its own, so that neither the
  // driver nor a search waits for it. A release waits only for the tasks
  // that read the block, and those were queued before the file's searches,
  // which are over: the driver may always wait for a release.
  void Release(std::unique_ptr<Job> job) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      releasing_.push_back(std::move(job));
      ++unreleased_;
    }
    released_.notify_all();
  }

  // A file the driver released itself.
  void Released() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --loaded_;
    }
    released_.notify_all();
  }

  // Files loaded and not yet released.
  int Loaded() {
    std::lock_guard<std::mutex> lock(mutex_);
    return loaded_;
  }

  // Waits until one more file is released, if one is on its way out.
  // False when none is.
  bool WaitForARelease() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (unreleased_ == 0) return false;
    const int before = loaded_;
    released_.wait(lock, [&] { return loaded_ < before; });
    return true;
  }

  void WaitLoadedBelow(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    released_.wait(lock, [&] { return loaded_ < count; });
  }

 private:
  void Run() {
    for (;;) {
      Task task{};
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) return;
        task = tasks_.front();
        tasks_.pop_front();
      }
      if (task.kind == kPopulateFirst || task.kind == kPopulateSecond) {
        Job& job = *task.job;
        const std::int64_t half = job.input.Loaded() / 2;
        if (task.kind == kPopulateFirst) {
          job.input.Populate(0, half);
        } else {
          job.input.Populate(half, job.input.Loaded());
        }
        std::lock_guard<std::mutex> lock(job.mutex);
        --job.populating;
        job.changed.notify_all();
      } else {
        Search(*task.job, task.kind);
      }
    }
  }

  void ReleaseFinished() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      released_.wait(lock, [&] { return stopping_ || !releasing_.empty(); });
      if (releasing_.empty()) return;
      std::unique_ptr<Job> job = std::move(releasing_.front());
      releasing_.pop_front();
      lock.unlock();
      {
        std::unique_lock<std::mutex> jobLock(job->mutex);
        job->changed.wait(jobLock, [&] { return job->populating == 0; });
      }
      job.reset();  // unmaps the block and closes the file
      lock.lock();
      --loaded_;
      --unreleased_;
      released_.notify_all();
    }
  }

  void Search(Job& job, int kind) const {
    KindQueue& queue = job.kinds[kind];
    const auto push = [&](const Hit& hit) {
      std::unique_lock<std::mutex> lock(job.mutex);
      job.changed.wait(lock, [&] { return queue.hits.size() < kQueuedHits; });
      queue.hits.push_back(hit);
      job.changed.notify_all();
    };
    if (job.windowed) {
      ScanKindWindowed(job.input, job.size, kind, windowed_, &job.scanned[kind], push);
      job.scanned[kind].store(job.size, std::memory_order_relaxed);
    } else {
      ScanKind(job.input, kind, push);
    }
    std::lock_guard<std::mutex> lock(job.mutex);
    queue.done = true;
    job.changed.notify_all();
  }

  const WindowedSearch windowed_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable released_;
  std::deque<Task> tasks_;
  std::deque<std::unique_ptr<Job>> releasing_;
  int loaded_ = 0;
  int unreleased_ = 0;  // handed to Release, not yet released
  std::thread releaser_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

Pipeline::Pipeline(int threads, const FileSettings& settings)
    : threads_(threads < 1 ? 1 : threads),
      settings_(settings),
      workers_(std::make_unique<Workers>(threads_)) {}

Pipeline::~Pipeline() {
  Finish();
  workers_.reset();
}

std::wstring Pipeline::FoldedStem(const wchar_t* path) {
  std::wstring name(plat::kPathCapacity, L'\0');
  if (plat::SplitPath(path, nullptr, 0, nullptr, 0, name.data(), name.size(), nullptr, 0) != 0) {
    return {};
  }
  name.resize(std::wcslen(name.c_str()));
  for (wchar_t& c : name) c = FoldForMatch(c);
  return name;
}

bool OutputStem(const wchar_t* name, std::wstring* stem) {
  if (name == nullptr) return false;
  // <stem>_<three or more digits>.<bmp|jpg|png>
  std::wstring folded(name);
  for (wchar_t& c : folded) c = FoldForMatch(c);
  const std::size_t dot = folded.rfind(L'.');
  if (dot == std::wstring::npos || !IsImageExtension(folded.substr(dot))) return false;
  std::size_t digits = dot;
  while (digits > 0 && folded[digits - 1] >= L'0' && folded[digits - 1] <= L'9') --digits;
  if (dot - digits < 3 || digits == 0 || folded[digits - 1] != L'_') return false;
  if (stem != nullptr) *stem = folded.substr(0, digits - 1);
  return true;
}

bool Pipeline::MayWrite(const std::wstring& stem) const { return stems_.count(stem) != 0; }

void Pipeline::Submit(const wchar_t* path, std::uint32_t mask, int verbosity) {
  auto job = std::make_unique<Job>();
  job->path = path;
  job->mask = mask;
  job->verbosity = verbosity;
  // Outputs are written later, when the walk may have made another
  // directory current: the system must find the file by a path that does not
  // depend on it. Where no such path fits, the file is done at once, after
  // every file before it, exactly as a single-threaded run does it.
  std::wstring absolute(plat::kPathCapacity, L'\0');
  if (!plat::FullPath(path, absolute.data(), plat::kPathCapacity)) {
    Finish();
    ProcessFileNow(path, mask, verbosity, settings_);
    return;
  }
  absolute.resize(std::wcslen(absolute.c_str()));
  job->systemPath = std::move(absolute);
  job->stem = FoldedStem(path);

  // At most threads_ files loaded; and a bound on files waiting in all.
  WaitForRoom(threads_);
  if (job->input.Open(job->systemPath.c_str())) {
    const std::int64_t size = job->input.Size();
    if (size > kMaxFileBytes && settings_.whole) {
      job->windowed = true;
      job->size = size;
      job->loaded = true;
    } else if (size >= 0) {
      const std::int64_t length = size < kMaxFileBytes ? size : kMaxFileBytes;
      bool noRoom = false;
      const bool populate = length < kPopulateApart;
      job->loaded = job->input.Load(length, &noRoom, populate);
      // Memory or address space held by files before this one comes back
      // as they are finished: the load is tried again with fewer files
      // loaded, down to this one alone, as a single-threaded run loads it.
      while (!job->loaded && noRoom && workers_->Loaded() > 0) {
        WaitForRoom(workers_->Loaded());
        job->loaded = job->input.Load(length, &noRoom, populate);
      }
    }
  }
  ++stems_[job->stem];
  Job* queued = job.get();
  pending_.push_back(std::move(job));
  if (queued->loaded) {
    queued->inlineScan = !queued->windowed && queued->input.Loaded() < kScanInlineBelow;
    for (int kind = 0; kind < kKindCount; ++kind) {
      queued->kinds[kind].done = queued->inlineScan || !KindSelected(queued->mask, kind);
    }
    workers_->Add(queued);
  }
}

void Pipeline::CompleteFront() {
  if (pending_.empty()) return;
  Job& job = *pending_.front();
  Announce(job.path.c_str(), job.verbosity);
  if (job.loaded) {
    HitWriter writer(job.input, job.path.c_str(), job.systemPath.c_str(), job.verbosity,
                     job.windowed);
    if (settings_.unpack) writer.KeepHits();
    // A file scanned through windows may take long: a progress line follows
    // its searches until its last output is written.
    int searches = 0;
    for (int kind = 0; kind < kKindCount; ++kind) searches += KindSelected(job.mask, kind) ? 1 : 0;
    std::unique_ptr<ProgressLine> progress;
    if (job.windowed && ProgressLine::Wanted(job.verbosity)) {
      progress = std::make_unique<ProgressLine>(job.path.c_str(), job.size, searches, [&job] {
        std::int64_t done = 0;
        for (int kind = 0; kind < kKindCount; ++kind) {
          if (KindSelected(job.mask, kind)) done += job.scanned[kind].load(std::memory_order_relaxed);
        }
        return done;
      });
    }
    if (job.inlineScan) {
      for (int kind = 0; kind < kKindCount; ++kind) {
        if (!KindSelected(job.mask, kind)) continue;
        ScanKind(job.input, kind, [&writer](const Hit& hit) { writer.Write(hit); });
      }
    }
    for (KindQueue& queue : job.kinds) {
      for (;;) {
        Hit hit{};
        {
          std::unique_lock<std::mutex> lock(job.mutex);
          job.changed.wait(lock, [&] { return !queue.hits.empty() || queue.done; });
          if (queue.hits.empty()) break;
          hit = queue.hits.front();
          queue.hits.pop_front();
          job.changed.notify_all();
        }
        writer.Write(hit);
      }
    }
    progress.reset();
    if (settings_.unpack) Unpack(job, writer);
  }
  const auto stem = stems_.find(job.stem);
  if (stem != stems_.end() && --stem->second == 0) stems_.erase(stem);
  std::unique_ptr<Job> done = std::move(pending_.front());
  pending_.pop_front();
  if (!done->loaded) return;
  // Only a mapped block takes long to release; a block that was read, and a
  // file read through windows, are released at once.
  if (!done->windowed && done->input.Loaded() >= plat::InputFile::kReadBelow) {
    workers_->Release(std::move(done));
  } else {
    done.reset();
    workers_->Released();
  }
}

void Pipeline::WaitForRoom(int loaded) {
  // A file on its way out frees room soonest; otherwise finishing the
  // oldest file does.
  while (workers_->Loaded() >= loaded ||
         pending_.size() >= static_cast<std::size_t>(threads_) * 4 + 64) {
    if (workers_->Loaded() >= loaded && workers_->WaitForARelease()) continue;
    if (!pending_.empty()) {
      CompleteFront();
    } else {
      workers_->WaitLoadedBelow(loaded);
    }
  }
}

void Pipeline::Unpack(Job& job, HitWriter& writer) {
  if (job.windowed) {
    FileSource source(job.input, job.size, WindowedSearchFor(threads_).window);
    UnpackAndWrite(source, job.mask, writer);
  } else {
    SpanSource source(job.input.Data(), job.input.Loaded());
    UnpackAndWrite(source, job.mask, writer);
  }
}

void Pipeline::Finish() {
  while (!pending_.empty()) CompleteFront();
}

void ProcessFileNow(const wchar_t* path, std::uint32_t mask, int verbosity,
                    const FileSettings& settings) {
  Announce(path, verbosity);
  plat::InputFile input;
  if (!input.Open(path)) return;
  const std::int64_t size = input.Size();
  if (size < 0) return;
  if (size > kMaxFileBytes && settings.whole) {
    HitWriter writer(input, path, nullptr, verbosity, true);
    if (settings.unpack) writer.KeepHits();
    int searches = 0;
    for (int kind = 0; kind < kKindCount; ++kind) searches += KindSelected(mask, kind) ? 1 : 0;
    std::atomic<std::int64_t> scanned{0};
    std::atomic<std::int64_t> before{0};  // of the searches already over
    std::unique_ptr<ProgressLine> progress;
    if (ProgressLine::Wanted(verbosity)) {
      progress = std::make_unique<ProgressLine>(path, size, searches,
                                                [&] { return before.load() + scanned.load(); });
    }
    const WindowedSearch search = WindowedSearchFor(1);
    for (int kind = 0; kind < kKindCount; ++kind) {
      if (!KindSelected(mask, kind)) continue;
      scanned.store(0);
      ScanKindWindowed(input, size, kind, search, &scanned,
                       [&writer](const Hit& hit) { writer.Write(hit); });
      before.fetch_add(size);
      scanned.store(0);
    }
    progress.reset();
    if (settings.unpack) {
      FileSource source(input, size, search.window);
      UnpackAndWrite(source, mask, writer);
    }
    return;
  }
  bool noRoom = false;
  if (!input.Load(size < kMaxFileBytes ? size : kMaxFileBytes, &noRoom)) return;
  HitWriter writer(input, path, nullptr, verbosity);
  if (settings.unpack) writer.KeepHits();
  for (int kind = 0; kind < kKindCount; ++kind) {
    if (KindSelected(mask, kind)) ScanKind(input, kind, [&writer](const Hit& hit) { writer.Write(hit); });
  }
  if (settings.unpack) {
    SpanSource source(input.Data(), input.Loaded());
    UnpackAndWrite(source, mask, writer);
  }
}

}  // namespace qx::app
