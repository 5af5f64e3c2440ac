#include "app/Road.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "app/Containers.h"
#include "app/FileSource.h"
#include "app/Progress.h"
#include "output/Kinds.h"
#include "support/Console.h"

namespace qx::app {
namespace {

// A file this large is mapped without its pages, which two pool tasks bring
// in, half each, so that the driver's thread does not spend that time and
// two threads share it; a smaller one has its pages brought in by the
// driver's thread as it maps it, in one call.
constexpr std::int64_t kPopulateApart = 8 << 20;
// A file this small is searched by the driver's thread itself when its
// turn comes: handing it to the pool and its images back costs more than
// its search.
constexpr std::int64_t kSearchInlineBelow = 256 << 10;

// The memory of one windowed search: the windows of its source's slots and
// its side tables. A run keeps their sum for the searches that may run at
// once (one per thread) under about 192 MiB, so that with everything else a
// run stays under 256 MiB whatever the files hold.
struct WindowedSearch {
  std::int64_t window;  // bytes per slot of the source
  ScanLimits limits;
};

WindowedSearch WindowedSearchFor(int threads) {
  constexpr std::int64_t kRunBudget = std::int64_t{192} << 20;
  const std::int64_t each = kRunBudget / (threads < 1 ? 1 : threads);
  WindowedSearch search{};
  // Six windows' worth for the four slots (each maps one and a half), the
  // rest for side tables.
  search.window = std::clamp<std::int64_t>(each / 24, std::int64_t{64} << 10, std::int64_t{4} << 20);
  search.limits.memoryBudget =
      std::clamp<std::int64_t>(each - 6 * search.window, std::int64_t{256} << 10, std::int64_t{48} << 20);
  return search;
}

// Prints the file's name (verbosity 2) or path (3). Once the run is being
// interrupted no file is begun: the log ends with the file whose output was
// being written.
void Announce(const wchar_t* path, int verbosity) {
  if ((verbosity != 2 && verbosity != 3) || plat::InterruptRequested()) return;
  if (verbosity == 3) {
    PrintOut(L"%s\n", path);
    return;
  }
  const PathParts parts = SplitParts(path);
  PrintOut(L"%s%s\n", parts.name.c_str(), parts.extension.c_str());
}

}  // namespace

// How a file is taken, decided once, when it is opened.
struct Plan {
  bool windowed = false;       // -whole and larger than one span: read through windows
  std::int64_t load = 0;       // else the bytes loaded as one block
  bool onPool = false;         // searched by the pool ahead of its turn
  bool populateApart = false;  // mapped bare, its pages brought in by two pool tasks
  bool releaseApart = false;   // its mapping released by the releaser thread
};

struct Road::File {
  File(Sink& sink, const wchar_t* p) : path(p), stem(FoldedStem(p)), outputs(sink, p, &input) {}

  std::wstring path;
  std::wstring stem;
  plat::InputFile input;
  SourceOutputs outputs;
  bool ready = false;  // open, its bytes at hand
  int error = 0;       // else why, when it failed
  bool announced = true;  // a file; not a directory the walk could not read
  std::int64_t size = 0;
  Plan plan;
  std::vector<Image> own;  // its own images, kept for -unpack
  std::atomic<std::int64_t> scanned[kKindCount] = {};

  // The hand-over from the pool's searches.
  struct Queue {
    std::deque<Image> images;
    bool done = true;
  };
  std::mutex mutex;
  std::condition_variable changed;
  Queue queues[kKindCount];
  // Tasks bringing the block's pages in read it too: it is released only
  // once they are over.
  int populating = 0;
};

namespace {

// Whether a row's search runs: its kind selected, and a search of its own.
bool Searched(const KindRow& row, std::uint32_t mask) { return (mask & row.mask) != 0 && row.extract != nullptr; }

// One kind's search over a file's bytes, on whatever thread.
void Search(Road::File& file, const KindRow& row, int threads, bool strict, const ImageCallback& handOn) {
  std::atomic<std::int64_t>& scanned = file.scanned[static_cast<int>(row.kind)];
  WindowedSearch windowed = WindowedSearchFor(threads);
  windowed.limits.strict = strict;
  // Memory that runs out ends this search, like a file that cannot be
  // loaded: what it found so far has been handed on, and the run goes on.
  try {
    if (file.plan.windowed) {
      FileSource source(file.input, file.size, windowed.window, &scanned);
      row.extract(SearchInput{nullptr, 0, &source, windowed.limits}, handOn);
    } else {
      ScanLimits limits;
      limits.strict = strict;
      row.extract(SearchInput{file.input.Data(), file.input.Loaded(), nullptr, limits}, handOn);
    }
  } catch (const std::bad_alloc&) {
  }
  scanned.store(file.size, std::memory_order_relaxed);
}

// The images one of the pool's searches found, taken as they come.
void Drain(Road::File& file, ImageKind kind, const ImageCallback& handOn) {
  Road::File::Queue& queue = file.queues[static_cast<int>(kind)];
  for (;;) {
    Image image{};
    {
      std::unique_lock<std::mutex> lock(file.mutex);
      file.changed.wait(lock, [&] { return !queue.images.empty() || queue.done; });
      if (queue.images.empty()) return;
      image = queue.images.front();
      queue.images.pop_front();
      file.changed.notify_all();
    }
    handOn(image);
  }
}

}  // namespace

// Files loaded and not yet released, shared with the releaser thread.
struct Road::Loads {
  mutable std::mutex mutex;
  std::condition_variable released;
  int loaded = 0;
  int releasing = 0;  // handed to the releaser, not yet released

  void Change(int by) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      loaded += by;
    }
    released.notify_all();
  }
};

// The threads that search files ahead of their turn, and the one that
// releases finished files' mappings (unmapping a large block takes time
// that neither the driver nor a search should wait for).
class Road::Pool {
 public:
  Pool(int threads, bool strict, std::span<const KindRow> kinds, std::size_t queuedImages, Loads& loads)
      : kinds_(kinds), queuedImages_(queuedImages), loads_(loads), threadCount_(threads), strict_(strict) {
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Run(); });
    releaser_ = std::thread([this] { ReleaseFinished(); });
  }
  ~Pool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    {
      std::lock_guard<std::mutex> lock(loads_.mutex);
      releaserStopping_ = true;
    }
    loads_.released.notify_all();
    for (std::thread& thread : threads_) thread.join();
    releaser_.join();
  }
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  // Queues a file's tasks. They are taken in the order they are queued, and
  // the driver takes the searches' images in that same order: so when it
  // waits for one search, every search queued before it is done and has
  // freed its thread, and the one it waits for runs, however full the
  // queues of later ones are.
  void Add(File& file, std::uint32_t mask) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (file.plan.populateApart) {
        file.populating = 2;
        tasks_.push_back([&file] { Populate(file, 0); });
        tasks_.push_back([&file] { Populate(file, 1); });
      }
      for (const KindRow& row : kinds_) {
        if (!Searched(row, mask)) continue;
        file.queues[static_cast<int>(row.kind)].done = false;
        tasks_.push_back([this, &file, &row] { SearchToQueue(file, row); });
      }
    }
    wake_.notify_all();
  }

  // A finished file, released on the releaser's thread. A release waits
  // only for the tasks that read the block, and those were queued before
  // the file's searches, which are over: the driver may always wait for a
  // release.
  void Release(std::unique_ptr<File> file) {
    {
      std::lock_guard<std::mutex> lock(loads_.mutex);
      releasing_.push_back(std::move(file));
      ++loads_.releasing;
    }
    loads_.released.notify_all();
  }

 private:
  static void Populate(File& file, int half) {
    const std::int64_t middle = file.input.Loaded() / 2;
    file.input.Populate(half == 0 ? 0 : middle, half == 0 ? middle : file.input.Loaded());
    std::lock_guard<std::mutex> lock(file.mutex);
    --file.populating;
    file.changed.notify_all();
  }

  void SearchToQueue(File& file, const KindRow& row) const {
    File::Queue& queue = file.queues[static_cast<int>(row.kind)];
    Search(file, row, threadCount_, strict_, [&](const Image& image) {
      std::unique_lock<std::mutex> lock(file.mutex);
      file.changed.wait(lock, [&] { return queue.images.size() < queuedImages_; });
      queue.images.push_back(image);
      file.changed.notify_all();
    });
    std::lock_guard<std::mutex> lock(file.mutex);
    queue.done = true;
    file.changed.notify_all();
  }

  void Run() {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) return;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
  }

  void ReleaseFinished() {
    std::unique_lock<std::mutex> lock(loads_.mutex);
    for (;;) {
      loads_.released.wait(lock, [&] { return releaserStopping_ || !releasing_.empty(); });
      if (releasing_.empty()) return;
      std::unique_ptr<File> file = std::move(releasing_.front());
      releasing_.pop_front();
      lock.unlock();
      {
        std::unique_lock<std::mutex> fileLock(file->mutex);
        file->changed.wait(fileLock, [&] { return file->populating == 0; });
      }
      file.reset();  // unmaps the block and closes the file
      lock.lock();
      --loads_.loaded;
      --loads_.releasing;
      loads_.released.notify_all();
    }
  }

  std::span<const KindRow> kinds_;
  const std::size_t queuedImages_;
  Loads& loads_;
  const int threadCount_;
  const bool strict_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
  // Guarded by loads_.mutex.
  std::deque<std::unique_ptr<File>> releasing_;
  bool releaserStopping_ = false;
  std::thread releaser_;
};

Road::Road(const Settings& settings, Sink& sink, Failures& failures, std::span<const KindRow> kinds,
           std::size_t queuedImages)
    : settings_(settings), sink_(sink), failures_(failures), kinds_(kinds), loads_(std::make_unique<Loads>()) {
  if (settings.threads > 1) {
    pool_ = std::make_unique<Pool>(settings.threads, settings.strict, kinds, queuedImages < 1 ? 1 : queuedImages,
                                   *loads_);
  }
}

Road::~Road() {
  Finish();
  pool_.reset();
}

int Road::Loaded() const {
  std::lock_guard<std::mutex> lock(loads_->mutex);
  return loads_->loaded;
}

Plan Road::PlanFor(std::int64_t size) const {
  Plan plan;
  plan.windowed = size > kMaxFileBytes && settings_.whole;
  plan.load = plan.windowed ? 0 : std::min(size, kMaxFileBytes);
  plan.onPool = pool_ != nullptr && (plan.windowed || plan.load >= kSearchInlineBelow);
  plan.populateApart = plan.onPool && !plan.windowed && plan.load >= kPopulateApart;
  // Only a mapped block takes long to release; a block that was read, and a
  // file read through windows, are released at once.
  plan.releaseApart = pool_ != nullptr && !plan.windowed && plan.load >= plat::InputFile::kReadBelow;
  return plan;
}

void Road::Take(const wchar_t* path) {
  auto file = std::make_unique<File>(sink_, path);
  // At most `threads` files loaded, and a bound on files waiting in all.
  WaitForRoom(settings_.threads);
  Open(*file);
  ++stems_[file->stem];
  File& taken = *file;
  pending_.push_back(std::move(file));
  if (taken.ready && taken.plan.onPool) pool_->Add(taken, settings_.mask);
  if (pool_ == nullptr) Complete();
}

void Road::Tell(const wchar_t* path, int error) {
  auto told = std::make_unique<File>(sink_, path);
  told->error = error;
  told->announced = false;
  pending_.push_back(std::move(told));
  if (pool_ == nullptr || pending_.size() >= static_cast<std::size_t>(settings_.threads) * 4 + 64) Complete();
}

void Road::Open(File& file) {
  if (!file.input.Open(file.path.c_str())) {
    // Only regular files are read; any other kind of entry is passed over
    // without a word, a failure is said.
    file.error = plat::LastError();
    return;
  }
  file.size = file.input.Size();
  if (file.size < 0) return;
  file.plan = PlanFor(file.size);
  if (!file.plan.windowed) {
    bool noRoom = false;
    const bool populate = !file.plan.populateApart;
    bool loaded = file.input.Load(file.plan.load, &noRoom, populate);
    // Memory or address space held by files before this one comes back as
    // they are finished: the load is tried again with fewer files loaded,
    // down to this one alone, as a single-threaded run loads it.
    while (!loaded && noRoom && Loaded() > 0) {
      WaitForRoom(Loaded());
      loaded = file.input.Load(file.plan.load, &noRoom, populate);
    }
    if (!loaded) {
      file.error = plat::LastError();
      return;
    }
  }
  file.ready = true;
  loads_->Change(+1);
}

void Road::Complete() {
  File& file = *pending_.front();
  if (file.announced) Announce(file.path.c_str(), settings_.verbosity);
  // Said at the file's turn, so that standard error reads the same whatever
  // the threads.
  if (file.error != 0) failures_.Unreadable(file.path, file.error);
  if (file.ready) {
    if (progress_ != nullptr) {
      // A file read through windows may take long: the line follows its
      // searches until its last output is written.
      int searches = 0;
      for (const KindRow& row : kinds_) searches += Searched(row, settings_.mask) ? 1 : 0;
      std::function<std::int64_t()> scanned;
      if (file.plan.windowed) {
        scanned = [&file] {
          std::int64_t done = 0;
          for (const auto& each : file.scanned) done += each.load(std::memory_order_relaxed);
          return done;
        };
      }
      progress_->Begin(file.path.c_str(), file.size, searches, std::move(scanned));
    }
    const ImageCallback write = [&](const Image& image) {
      const std::int64_t before = file.outputs.Images();
      sink_.WriteResource(file.outputs, image);
      if (progress_ != nullptr && file.outputs.Images() > before) progress_->Image();
    };
    const ImageCallback own = [&](const Image& image) {
      if (settings_.unpack && file.own.size() < kKeptImages) file.own.push_back(image);
      write(image);
    };
    for (const KindRow& row : kinds_) {
      if (!Searched(row, settings_.mask)) continue;
      if (file.plan.onPool) {
        Drain(file, row.kind, own);
      } else {
        Search(file, row, settings_.threads, settings_.strict, own);
      }
    }
    // Then, on the driver's thread, the pictures of the programs in it and
    // the images of its containers.
    if (settings_.resources || settings_.unpack) {
      std::unique_ptr<ByteSource> source;
      if (file.plan.windowed) {
        source = std::make_unique<FileSource>(file.input, file.size, WindowedSearchFor(settings_.threads).window);
      } else {
        source = std::make_unique<SpanSource>(file.input.Data(), file.input.Loaded());
      }
      try {
        if (settings_.resources) ExtractResources(*source, settings_.mask, write);
      } catch (const std::bad_alloc&) {
      }
      if (settings_.unpack) {
        ExtractContained(*source, kinds_, settings_.mask, settings_.strict, settings_.resources, file.own, file.input, write);
      }
    }
  }
  if (file.ready) {
    const std::int64_t scanned = file.plan.windowed ? file.size : file.plan.load;
    sink_.Done(file.outputs, file.size, scanned);
    if (progress_ != nullptr) progress_->End(scanned);
  }
  const auto stem = file.announced ? stems_.find(file.stem) : stems_.end();
  if (stem != stems_.end() && --stem->second == 0) stems_.erase(stem);
  std::unique_ptr<File> done = std::move(pending_.front());
  pending_.pop_front();
  if (!done->ready) return;
  if (done->plan.releaseApart) {
    pool_->Release(std::move(done));
  } else {
    done.reset();
    loads_->Change(-1);
  }
}

void Road::WaitForRoom(int loaded) {
  const std::size_t mostPending = static_cast<std::size_t>(settings_.threads) * 4 + 64;
  while (Loaded() >= loaded || pending_.size() >= mostPending) {
    // A file on its way out frees room soonest; otherwise finishing the
    // oldest file does.
    {
      std::unique_lock<std::mutex> lock(loads_->mutex);
      if (loads_->loaded >= loaded && loads_->releasing > 0) {
        const int before = loads_->loaded;
        loads_->released.wait(lock, [&] { return loads_->loaded < before; });
        continue;
      }
    }
    if (pending_.empty()) {
      std::unique_lock<std::mutex> lock(loads_->mutex);
      loads_->released.wait(lock, [&] { return loads_->loaded < loaded; });
    } else {
      Complete();
    }
  }
}

void Road::Finish() {
  while (!pending_.empty()) Complete();
}

}  // namespace qx::app
