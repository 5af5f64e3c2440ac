// Unpacking cost on files with nothing to unpack, next to the three scanners'
// raw scan of the same bytes, and the memory of bombs at every depth.
//
//   unpack_bench FILE...   each file: streams found, bytes decoded and read,
//                          Unpack time against the raw scan's
//   unpack_bench --bombs   a 4 GiB bomb holding one that holds one, default
//                          limits; run under /usr/bin/time -v to see the
//                          resident peak beside the module's own count
// With no argument, random bytes (32 MiB) are measured.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <zlib.h>

#include "scanners/Scanners.h"
#include "unpack/Unpack.h"

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

void Measure(const std::string& name, const Bytes& data) {
  const auto length = static_cast<std::int64_t>(data.size());
  std::size_t hits = 0;
  const double scan = BestSeconds(3, [&] {
    using SpanFind = void (*)(const std::uint8_t*, std::int64_t, const qx::HitCallback&);
    for (const SpanFind find : {SpanFind{qx::FindBitmaps}, SpanFind{qx::FindJpegs}, SpanFind{qx::FindPngs}}) {
      find(data.data(), length, [&](std::int64_t, std::int64_t) { ++hits; });
    }
  });
  qx::UnpackSummary summary;
  const double unpack = BestSeconds(3, [&] {
    qx::SpanSource source(data.data(), length);
    summary = qx::Unpack(source, {}, [](const qx::DecodedStream&) {});
  });
  std::printf("%-40s %8.2f MiB  raw scan %7.1f ms  unpack %7.1f ms (%5.2fx)  %lld streams, "
              "%lld bytes decoded, %lld read\n",
              name.c_str(), static_cast<double>(length) / (1 << 20), scan * 1e3, unpack * 1e3,
              unpack / scan, static_cast<long long>(summary.streams),
              static_cast<long long>(summary.decodedBytes),
              static_cast<long long>(summary.examinedBytes));
}

void DeflateInto(z_stream& z, const Bytes& data, int flush, Bytes& out) {
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  std::vector<std::uint8_t> chunk(1 << 16);
  do {
    z.next_out = chunk.data();
    z.avail_out = static_cast<uInt>(chunk.size());
    deflate(&z, flush);
    out.insert(out.end(), chunk.begin(), chunk.end() - z.avail_out);
  } while (z.avail_out == 0);
}

// A gzip member of `prefix` and then 4 GiB of zeros.
Bytes Bomb(const Bytes& prefix) {
  Bytes out = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 255};
  z_stream z{};
  deflateInit2(&z, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  DeflateInto(z, prefix, Z_FULL_FLUSH, out);
  deflateEnd(&z);
  z_stream zeros{};
  deflateInit2(&zeros, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  Bytes mebibyte;
  DeflateInto(zeros, Bytes(1 << 20, 0), Z_FULL_FLUSH, mebibyte);
  for (int k = 0; k < 4096; ++k) out.insert(out.end(), mebibyte.begin(), mebibyte.end());
  DeflateInto(zeros, Bytes(), Z_FINISH, out);
  deflateEnd(&zeros);
  out.insert(out.end(), 8, 0);
  return out;
}

int Bombs() {
  const Bytes input = Bomb(Bomb(Bomb({})));
  qx::SpanSource source(input.data(), static_cast<std::int64_t>(input.size()));
  const auto start = std::chrono::steady_clock::now();
  const qx::UnpackSummary summary = qx::Unpack(source, {}, [](const qx::DecodedStream& s) {
    std::printf("  depth %d: %lld bytes%s\n", s.depth, static_cast<long long>(s.length),
                s.cut ? ", cut" : "");
  });
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::printf("bombs at three depths, %.1f MiB of input: %.2f s, peak held %.1f MiB\n",
              static_cast<double>(input.size()) / (1 << 20), took.count(),
              static_cast<double>(summary.peakMemory) / (1 << 20));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--bombs") == 0) return Bombs();
  if (argc == 1) {
    Bytes random(32 << 20);
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    for (auto& b : random) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      b = static_cast<std::uint8_t>(x >> 24);
    }
    Measure("random bytes", random);
  }
  for (int a = 1; a < argc; ++a) {
    std::ifstream in(argv[a], std::ios::binary);
    const Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Measure(argv[a], data);
  }
  return 0;
}
