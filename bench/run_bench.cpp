// Whole runs of the tool, each measured side by side with a yardstick in the
// same run, so that the ratios mean something on a shared, noisy machine:
//  - a cached 100,000,000-byte file without images, against cat;
//  - a tree of small files holding hundreds of images, against a minimal
//    program that maps the same files and writes the same outputs with
//    open, write and close (minimal_writer);
//  - a tree of a dozen large files with a few images each, -threads=1
//    against the default (one thread per online core);
//  - the output-heavy tree with a report (and with de-duplication) against
//    the same run without;
//  - the file without images searched for every kind (-extract=ALL, five
//    searches) against the three kinds of the first versions.
// Each time is the best of several runs, the two sides taken in turn; peak
// resident memory is the largest seen.
//
//   make bench   (or: build-bench/bench/quarrix_run_bench [WORKDIR])
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/testing.h"
#include "scanners/Scanners.h"

namespace {

namespace fs = std::filesystem;
using qx::plat::testing::ChildResult;
using qx::plat::testing::RunOptions;

constexpr int kRepetitions = 5;

struct Measured {
  double best = 1e30;
  long long peakKiB = 0;
};

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteOld(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(1));
}

std::string RandomBytes(std::size_t size, std::uint64_t seed) {
  std::string out(size, '\0');
  std::uint64_t x = seed | 1;
  for (std::size_t i = 0; i + 8 <= size; i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    for (int k = 0; k < 8; ++k) out[i + static_cast<std::size_t>(k)] = static_cast<char>(x >> (8 * k));
  }
  return out;
}

ChildResult Run(const std::vector<std::string>& argv) {
  RunOptions options;
  options.discardStdout = true;
  ChildResult result = qx::plat::testing::RunProgram(argv, "", options);
  if (result.exitCode != 0) {
    std::fprintf(stderr, "run failed (%d): %s\n", result.exitCode, argv[0].c_str());
    std::exit(1);
  }
  return result;
}

// Runs a and b in turn, kRepetitions times, calling `reset` before each.
void SideBySide(const std::vector<std::string>& a, const std::vector<std::string>& b,
                const std::function<void()>& reset, Measured* ma, Measured* mb) {
  for (int r = 0; r < kRepetitions; ++r) {
    for (int side = 0; side < 2; ++side) {
      reset();
      const ChildResult result = Run(side == 0 ? a : b);
      Measured* m = side == 0 ? ma : mb;
      m->best = std::min(m->best, result.seconds);
      m->peakKiB = std::max(m->peakKiB, result.peakKiB);
    }
  }
}

void RemoveImages(const fs::path& root) {
  std::vector<fs::path> images;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const auto ext = it->path().extension();
    if (ext == ".bmp" || ext == ".jpg" || ext == ".png" || ext == ".gif" || ext == ".ico" || ext == ".cur" ||
        ext == ".jsonl") {
      images.push_back(it->path());
    }
  }
  for (const auto& image : images) fs::remove(image);
}

std::vector<std::string> TestImages() {
  std::vector<std::string> images;
  for (const char* name : {"baseline_420.jpg", "png_palette.png", "bmp_24bit.bmp",
                           "progressive_444.jpg", "png_rgba_text.png", "bmp_8bit_palette.bmp",
                           "greyscale.jpg", "png_adam7.png"}) {
    images.push_back(ReadAll(fs::path(QX_TEST_DATA_DIR) / name));
  }
  return images;
}

std::string Number(int n) {
  char text[16];
  std::snprintf(text, sizeof text, "%03d", n);
  return text;
}

// The outputs the tool writes for one source, as the yardstick's plan.
void Plan(const fs::path& source, std::ofstream& plan) {
  const std::string bytes = ReadAll(source);
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const auto length = static_cast<std::int64_t>(bytes.size());
  const std::string stem = (source.parent_path() / source.stem()).string();
  struct Kind {
    void (*find)(const std::uint8_t*, std::int64_t, const qx::HitCallback&);
    const char* ext;
  };
  for (const Kind& kind : {Kind{&qx::FindBitmaps, ".bmp"}, Kind{&qx::FindJpegs, ".jpg"},
                           Kind{&qx::FindPngs, ".png"}}) {
    int counter = 0;
    kind.find(data, length, [&](std::int64_t start, std::int64_t count) {
      plan << source.string() << '\t' << start << '\t' << count << '\t'
           << stem + "_" + Number(counter++) + kind.ext << '\n';
    });
  }
}

void Report(const char* what, const char* nameA, const Measured& a, const char* nameB,
            const Measured& b, double ratio, const char* goal) {
  std::printf("%s\n  %-22s %8.3f s  peak %7.1f MiB\n  %-22s %8.3f s  peak %7.1f MiB\n  ratio %.2f (%s)\n",
              what, nameA, a.best, static_cast<double>(a.peakKiB) / 1024, nameB, b.best,
              static_cast<double>(b.peakKiB) / 1024, ratio, goal);
}

}  // namespace

int main(int argc, char* argv[]) {
  const fs::path work = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "quarrix-run-bench";
  fs::remove_all(work);
  fs::create_directories(work);
  const std::string tool = QX_TOOL_PATH;
  const std::string writer = QX_MINIMAL_WRITER_PATH;
  std::printf("run benchmark: %u online cores, best of %d runs each, in %s\n\n",
              std::thread::hardware_concurrency(), kRepetitions, work.string().c_str());

  // 1. A cached file without images.
  const fs::path plain = work / "plain.bin";
  WriteOld(plain, RandomBytes(100000000, 1));
  Measured tool1, cat;
  SideBySide({tool, "-extract=ALL", "-verbosity=1", plain.string()}, {"/bin/cat", plain.string()},
             [] {}, &tool1, &cat);
  if (fs::exists(work / "plain_000.bmp") || fs::exists(work / "plain_000.jpg") ||
      fs::exists(work / "plain_000.png")) {
    std::fprintf(stderr, "the file without images gave images\n");
    return 1;
  }
  Report("cached 100,000,000-byte file without images", "quarrix -extract=ALL", tool1, "cat", cat,
         tool1.best / cat.best, "goal <= 2.0");

  // 2. Hundreds of images in small files.
  const auto images = TestImages();
  const fs::path many = work / "many";
  int imageCount = 0;
  for (int i = 0; i < 150; ++i) {
    std::string bytes = RandomBytes(static_cast<std::size_t>(100 + 37 * i), 100 + static_cast<std::uint64_t>(i));
    for (int k = 0; k < 4; ++k, ++imageCount) {
      bytes += images[static_cast<std::size_t>(i + k) % images.size()] + RandomBytes(64, static_cast<std::uint64_t>(i * 8 + k));
    }
    WriteOld(many / ("d" + std::to_string(i % 10)) / ("f" + std::to_string(i) + ".bin"), bytes);
  }
  const fs::path planPath = work / "many.plan";
  {
    std::ofstream plan(planPath);
    std::vector<fs::path> sources;
    for (const auto& entry : fs::recursive_directory_iterator(many)) {
      if (entry.is_regular_file()) sources.push_back(entry.path());
    }
    std::sort(sources.begin(), sources.end());
    for (const auto& source : sources) Plan(source, plan);
  }
  Measured tool2, minimal;
  SideBySide({tool, "-extract=ALL", "-subdirs", "-verbosity=1", many.string()},
             {writer, planPath.string()}, [&] { RemoveImages(many); }, &tool2, &minimal);
  char what[128];
  std::snprintf(what, sizeof what, "output-heavy tree: 150 files, %d images", imageCount);
  Report(what, "quarrix -extract=ALL", tool2, "minimal_writer", minimal,
         tool2.best / minimal.best, "goal <= 1.1");
  // The same against a yardstick that writes as safely as the tool must: a
  // temporary beside each output, renamed over it (one more directory
  // operation per output than open, write and close).
  Measured tool3, safe;
  SideBySide({tool, "-extract=ALL", "-subdirs", "-verbosity=1", many.string()},
             {writer, "--safe", planPath.string()}, [&] { RemoveImages(many); }, &tool3, &safe);
  Report("output-heavy tree, yardstick writing safely", "quarrix -extract=ALL", tool3,
         "minimal_writer --safe", safe, tool3.best / safe.best, "the same work: about 1");

  // 3. A dozen large files with a few images each.
  const fs::path large = work / "large";
  std::int64_t total = 0;
  for (int i = 0; i < 12; ++i) {
    const std::size_t size = (20u + static_cast<std::size_t>(i % 4) * 10u) << 20;
    std::string bytes = RandomBytes(size, 1000 + static_cast<std::uint64_t>(i));
    for (int k = 0; k < 3; ++k) {
      const std::string& image = images[static_cast<std::size_t>(i + k) % images.size()];
      bytes.replace(size / 4 * static_cast<std::size_t>(k + 1), image.size(), image);
    }
    total += static_cast<std::int64_t>(size);
    WriteOld(large / ("big" + std::to_string(i) + ".bin"), bytes);
  }
  Measured one, every;
  SideBySide({tool, "-extract=ALL", "-threads=1", "-verbosity=1", large.string()},
             {tool, "-extract=ALL", "-verbosity=1", large.string()}, [&] { RemoveImages(large); },
             &one, &every);
  std::snprintf(what, sizeof what, "scan-bound tree: 12 files, %lld MB",
                static_cast<long long>(total / 1000000));
  Report(what, "-threads=1", one, "default threads", every, one.best / every.best,
         "goal >= 1.7 on 2 cores");

  // 4. What a report with every image's SHA-256 costs, and de-duplication.
  const std::string report = "-report=" + (many / "r.jsonl").string();
  Measured reported, unreported;
  SideBySide({tool, "-extract=ALL", "-subdirs", "-verbosity=1", report, many.string()},
             {tool, "-extract=ALL", "-subdirs", "-verbosity=1", many.string()}, [&] { RemoveImages(many); },
             &reported, &unreported);
  Report("output-heavy tree with a report", "-report", reported, "no report", unreported,
         reported.best / unreported.best, "goal <= 1.10");
  Measured deduplicated, plainRun;
  SideBySide({tool, "-extract=ALL", "-subdirs", "-verbosity=1", report, "-dedup", many.string()},
             {tool, "-extract=ALL", "-subdirs", "-verbosity=1", many.string()}, [&] { RemoveImages(many); },
             &deduplicated, &plainRun);
  Report("output-heavy tree with a report and -dedup", "-report -dedup", deduplicated, "neither", plainRun,
         deduplicated.best / plainRun.best, "goal <= 1.10");

  // 5. Every kind against the first three, over the file without images.
  Measured allKinds, threeKinds;
  SideBySide({tool, "-extract=ALL", "-verbosity=1", plain.string()},
             {tool, "-extract=BMP", "-extract=JPG", "-extract=PNG", "-verbosity=1", plain.string()}, [] {},
             &allKinds, &threeKinds);
  Report("cached 100,000,000-byte file, every kind against the first three", "-extract=ALL", allKinds,
         "BMP, JPG, PNG", threeKinds, allKinds.best / threeKinds.best, "goal <= 1.25");

  fs::remove_all(work);
  return 0;
}
