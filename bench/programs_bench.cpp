// The cost of looking for programs in bytes that hold none, next to a plain
// pass over the same bytes and the bitmap search; and a survey of real
// programs.
//
//   programs_bench [MiB]            random bytes (100 MiB by default): the best
//                                   of three runs of each
//   programs_bench --survey FILE... each file: bitmaps, icon groups (images),
//                                   cursor groups (images), and the work spent
//   programs_bench --write DIR FILE...  the same, writing each rebuilt file
//                                   into DIR as <file>_<n>.<bmp|ico|cur>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "programs/ProgramImages.h"
#include "scanners/Scanners.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

double BestSeconds(int repetitions, const std::function<void()>& work) {
  double best = 1e30;
  for (int r = 0; r < repetitions; ++r) {
    const auto start = std::chrono::steady_clock::now();
    work();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

int Random(std::int64_t mib) {
  Bytes data(static_cast<std::size_t>(mib) << 20);
  std::mt19937_64 rng(7);
  for (std::size_t k = 0; k + 8 <= data.size(); k += 8) {
    const std::uint64_t v = rng();
    std::memcpy(data.data() + k, &v, 8);
  }
  const auto length = static_cast<std::int64_t>(data.size());
  volatile std::uint64_t sink = 0;
  const double plain = BestSeconds(3, [&] {
    // A plain pass: every byte read once, eight at a time.
    std::uint64_t sum = 0;
    for (std::size_t k = 0; k + 8 <= data.size(); k += 8) {
      std::uint64_t v;
      std::memcpy(&v, data.data() + k, 8);
      sum += v;
    }
    sink = sum;
  });
  std::int64_t bitmaps = 0;
  const double bmp = BestSeconds(3, [&] {
    qx::FindBitmaps(data.data(), length, [&](std::int64_t, std::int64_t) { ++bitmaps; });
  });
  qx::ProgramSummary summary;
  const double programs = BestSeconds(3, [&] {
    qx::SpanSource source(data.data(), length);
    summary = qx::FindProgramImages(source, [](const qx::ProgramImage&) {});
  });
  const double windowed = BestSeconds(3, [&] {
    qx::SpanSource source(data.data(), length, 4 << 20);
    qx::FindProgramImages(source, [](const qx::ProgramImage&) {});
  });
  const double mib_ = static_cast<double>(length) / (1 << 20);
  std::printf("%lld MiB of random bytes\n", static_cast<long long>(mib));
  std::printf("  plain pass       %7.1f ms  %6.0f MiB/s\n", plain * 1e3, mib_ / plain);
  std::printf("  bitmap search    %7.1f ms  %6.0f MiB/s\n", bmp * 1e3, mib_ / bmp);
  std::printf("  program search   %7.1f ms  %6.0f MiB/s  (%lld programs, %lld units of work)\n",
              programs * 1e3, mib_ / programs, static_cast<long long>(summary.programs),
              static_cast<long long>(summary.work));
  std::printf("  through 4 MiB windows %7.1f ms  %6.0f MiB/s\n", windowed * 1e3, mib_ / windowed);
  return sink == 1 ? 1 : 0;
}

bool Read(const char* path, Bytes* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

int Survey(const char* directory, int argc, char** argv, int first) {
  long long totals[6] = {};
  for (int a = first; a < argc; ++a) {
    Bytes data;
    if (!Read(argv[a], &data)) {
      std::fprintf(stderr, "cannot read %s\n", argv[a]);
      return 1;
    }
    long long counts[6] = {};  // bitmaps, icon groups, icons, cursor groups, cursors, bytes
    int n = 0;
    qx::SpanSource source(data.data(), static_cast<std::int64_t>(data.size()));
    const qx::ProgramSummary summary = qx::FindProgramImages(source, [&](const qx::ProgramImage& image) {
      const int kind = static_cast<int>(image.kind);
      ++counts[kind == 0 ? 0 : kind == 1 ? 1 : 3];
      if (kind != 0) counts[kind == 1 ? 2 : 4] += image.images;
      counts[5] += image.length;
      if (directory == nullptr) return;
      const char* base = std::strrchr(argv[a], '/');
      const std::string path = std::string(directory) + "/" + (base ? base + 1 : argv[a]) + "_" +
                               std::to_string(++n) + (kind == 0 ? ".bmp" : kind == 1 ? ".ico" : ".cur");
      std::ofstream out(path, std::ios::binary);
      out.write(reinterpret_cast<const char*>(image.data), image.length);
    });
    std::printf("%-40s %4lld bitmaps %4lld icon groups (%4lld images) %4lld cursor groups "
                "(%3lld images)  %lld programs, %lld not written, work %.2f units/byte\n",
                argv[a], counts[0], counts[1], counts[2], counts[3], counts[4],
                static_cast<long long>(summary.programs), static_cast<long long>(summary.notWritten),
                static_cast<double>(summary.work) / static_cast<double>(std::max<std::size_t>(1, data.size())));
    for (int k = 0; k < 6; ++k) totals[k] += counts[k];
  }
  std::printf("total: %lld bitmaps, %lld icon groups (%lld images), %lld cursor groups (%lld images), "
              "%lld bytes rebuilt\n",
              totals[0], totals[1], totals[2], totals[3], totals[4], totals[5]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--survey") == 0) return Survey(nullptr, argc, argv, 2);
  if (argc >= 3 && std::strcmp(argv[1], "--write") == 0) return Survey(argv[2], argc, argv, 3);
  return Random(argc >= 2 ? std::atoll(argv[1]) : 100);
}
