// Scanner and CRC throughput, reported as ratios to a plain pass over the
// same bytes measured in the same run, so that the figures mean something on
// a shared, noisy machine. Each figure is the best of several repetitions.
// Each span search is shown beside the windowed search over the same bytes,
// once as a single window and once through 1 MiB windows; then the windowed
// searches run over generated sequences of 100 MB and 1 GB (views of a
// pattern, nothing of that size allocated), with their time ratio (10 for a
// linear search) and the most side-table memory they held. Each search is
// also timed strict (ScanLimits::strict), span and through 1 MiB views, in
// the same run. Last, hostile GIF and icon content at 10 MB and 100 MB, span
// and windowed; and each search over 100 MB of random bytes and of text,
// which hold no image.
//
//   make bench            (or: build-bench/bench/quarrix_bench [MiB [name part [short]]])
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "checksum/CCrc.h"
#include "scanners/Scanners.h"
#include "scanners/SourceScanners.h"
#include "support/ByteSource.h"

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

Bytes RandomBytes(std::size_t size, std::uint64_t seed) {
  Bytes out(size);
  std::uint64_t x = seed;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return out;
}

Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The reference pass: touches every byte once, as a scan that finds nothing
// must at least do.
volatile std::size_t g_sink;
void PlainPass(const Bytes& data) {
  g_sink = static_cast<std::size_t>(std::count(data.begin(), data.end(), std::uint8_t{0x5A}));
}

Bytes Repeat(const Bytes& unit, std::size_t size) {
  Bytes out;
  out.reserve(size + unit.size());
  while (out.size() < size) out.insert(out.end(), unit.begin(), unit.end());
  return out;
}

// A sub-block of 15 bytes holding a GIF header (signature, screen without a
// table, a comment's introducer and label): repeated, each header's walk
// goes on at the next sub-block, through every later one.
const Bytes kGifHiddenHeader = {15, 'G', 'I', 'F', '8', '9', 'a', 8, 0, 8, 0, 0, 0, 0, 0x21, 0xFE};

// 1 MiB of icon directories packed into each other's entries: the last six
// bytes of each entry are a cursor directory (count 8) whose entries are the
// next eight, each pointing 512 KiB on at a PNG head, every eighth with a
// size too small for one; then the PNG heads. Every candidate reads its
// eight entries and some images, and is rejected.
Bytes PackedIcons() {
  Bytes b;
  const Bytes head = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
  for (unsigned u = 0; u < (512u << 10) / 16; ++u) {
    b.insert(b.end(), {16, 16, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(u % 8 == 7 ? 40 : 57), 0, 0, 0,
                       2, 0, 8, 0});
  }
  b.insert(b.end(), 12, 'x');
  for (unsigned u = 0; u + 1 < (512u << 10) / 16; ++u) b.insert(b.end(), head.begin(), head.end());
  b.insert(b.end(), 4, 'x');
  return b;
}

using SpanFind = void (*)(const std::uint8_t*, std::int64_t, const qx::HitCallback&);
using SourceFind = void (*)(qx::ByteSource&, const qx::HitCallback&, const qx::ScanLimits&);
using LimitedSpanFind = void (*)(const std::uint8_t*, std::int64_t, const qx::HitCallback&,
                                 const qx::ScanLimits&);

qx::ScanLimits StrictLimits() {
  qx::ScanLimits limits;
  limits.strict = true;
  return limits;
}

// The strict searches, in the shape of the ordinary ones.
template <LimitedSpanFind kFind>
void StrictSpan(const std::uint8_t* data, std::int64_t length, const qx::HitCallback& onHit) {
  kFind(data, length, onHit, StrictLimits());
}
template <SourceFind kFind>
void StrictSource(qx::ByteSource& source, const qx::HitCallback& onHit, const qx::ScanLimits& limits) {
  qx::ScanLimits strict = limits;
  strict.strict = true;
  kFind(source, onHit, strict);
}

// A kind's searches: ordinary and strict.
struct Searches {
  SpanFind span;
  SourceFind source;
  SpanFind strictSpan;
  SourceFind strictSource;
};
const Searches kBmp = {qx::FindBitmaps, qx::FindBitmapsIn, StrictSpan<qx::FindBitmaps>,
                       StrictSource<qx::FindBitmapsIn>};
const Searches kJpeg = {qx::FindJpegs, qx::FindJpegsIn, StrictSpan<qx::FindJpegs>,
                        StrictSource<qx::FindJpegsIn>};
const Searches kPng = {qx::FindPngs, qx::FindPngsIn, StrictSpan<qx::FindPngs>, StrictSource<qx::FindPngsIn>};
// GIF and icons have no strict rules of their own: no strict figures.
const Searches kGif = {qx::FindGifs, qx::FindGifsIn, nullptr, nullptr};
const Searches kIco = {qx::FindIcons, qx::FindIconsIn, nullptr, nullptr};

std::size_t CountHits(SpanFind find, const Bytes& data) {
  std::size_t hits = 0;
  find(data.data(), static_cast<std::int64_t>(data.size()),
       [&](std::int64_t, std::int64_t) { ++hits; });
  return hits;
}

std::size_t CountHitsIn(SourceFind find, qx::ByteSource& source, std::int64_t* peak = nullptr) {
  std::size_t hits = 0;
  qx::ScanLimits limits;
  limits.peakBytes = peak;
  find(source, [&](std::int64_t, std::int64_t) { ++hits; }, limits);
  return hits;
}

// Only the figures whose name holds this (the second argument), if given;
// a third argument "short" leaves out the generated sequences.
const char* g_only = nullptr;
bool g_short = false;
bool Skipped(const char* name) { return g_only != nullptr && std::strstr(name, g_only) == nullptr; }

void Report(const char* name, const Bytes& data, const Searches& kind) {
  if (Skipped(name)) return;
  std::size_t hits = 0;
  std::size_t whole = 0;
  std::size_t windowed = 0;
  std::size_t strictHits = 0;
  std::size_t strictWindowed = 0;
  const auto length = static_cast<std::int64_t>(data.size());
  qx::SpanSource one(data.data(), length);
  qx::SpanSource mib(data.data(), length, 1 << 20);
  const double base = BestSeconds(5, [&] { PlainPass(data); });
  const double scan = BestSeconds(3, [&] { hits = CountHits(kind.span, data); });
  const double scanOne = BestSeconds(3, [&] { whole = CountHitsIn(kind.source, one); });
  const double scanMib = BestSeconds(3, [&] { windowed = CountHitsIn(kind.source, mib); });
  std::printf("  %-48s %6.2f MiB %6zu hits %8.2fx plain pass (%.1f ms); windowed %8.2fx, 1 MiB views %8.2fx",
              name, static_cast<double>(data.size()) / (1 << 20), hits, scan / base, scan * 1e3,
              scanOne / base, scanMib / base);
  if (kind.strictSpan != nullptr) {
    const double strict = BestSeconds(3, [&] { strictHits = CountHits(kind.strictSpan, data); });
    const double strictMib = BestSeconds(3, [&] { strictWindowed = CountHitsIn(kind.strictSource, mib); });
    std::printf("; strict %6zu hits %8.2fx, 1 MiB views %8.2fx", strictHits, strict / base, strictMib / base);
  }
  std::printf("%s\n", whole == hits && windowed == hits && strictWindowed == strictHits ? "" : " HITS DIFFER");
}

// A sequence of any length read through views of a pattern: `prefix`,
// `unit` over and over, and `suffix` as the last bytes. Views are pointers
// into one buffer that holds the prefix and then the pattern long enough for
// any phase; only views that reach the suffix are copied.
class PatternSource final : public qx::ByteSource {
 public:
  static constexpr std::int64_t kWindow = 1 << 20;

  PatternSource(Bytes prefix, const Bytes& unit, Bytes suffix, std::int64_t length)
      : prefixLength_(static_cast<std::int64_t>(prefix.size())),
        unitLength_(static_cast<std::int64_t>(unit.size())),
        length_(length),
        suffixFrom_(length - static_cast<std::int64_t>(suffix.size())),
        bytes_(std::move(prefix)),
        suffix_(std::move(suffix)) {
    const std::size_t need = bytes_.size() + kWindow + unit.size();
    while (bytes_.size() < need) bytes_.insert(bytes_.end(), unit.begin(), unit.end());
  }

  std::int64_t Length() const override { return length_; }
  std::int64_t MinView() const override { return kWindow; }

  const std::uint8_t* View(int slot, std::int64_t pos, std::int64_t* end) override {
    *end = length_ - pos < kWindow ? length_ : pos + kWindow;
    if (*end <= suffixFrom_) return Body(pos);
    Bytes& copy = copies_[slot];
    copy.assign(static_cast<std::size_t>(*end - pos), 0);
    for (std::int64_t at = pos; at < *end; ++at) {
      copy[static_cast<std::size_t>(at - pos)] =
          at >= suffixFrom_ ? suffix_[static_cast<std::size_t>(at - suffixFrom_)] : *Body(at);
    }
    return copy.data();
  }

 private:
  const std::uint8_t* Body(std::int64_t pos) const {
    if (pos < prefixLength_) return bytes_.data() + pos;
    return bytes_.data() + prefixLength_ + (pos - prefixLength_) % unitLength_;
  }

  std::int64_t prefixLength_;
  std::int64_t unitLength_;
  std::int64_t length_;
  std::int64_t suffixFrom_;
  Bytes bytes_;
  Bytes suffix_;
  Bytes copies_[qx::kByteSourceSlots];
};

// The windowed search over 100 MB and 1 GB of a pattern: each time as a
// multiple of a plain pass over 100 MB held in memory, the ratio of the two
// times, and the side tables' peak.
void ReportLongOnce(const char* name, const Bytes& prefix, const Bytes& unit, const Bytes& suffix,
                    SourceFind findIn, double base) {
  const std::int64_t small = 100'000'000;
  const std::int64_t large = 1'000'000'000;
  std::size_t smallHits = 0;
  std::size_t largeHits = 0;
  std::int64_t smallPeak = 0;
  std::int64_t largePeak = 0;
  PatternSource smallSource(prefix, unit, suffix, small);
  PatternSource largeSource(prefix, unit, suffix, large);
  const double smallTime =
      BestSeconds(2, [&] { smallHits = CountHitsIn(findIn, smallSource, &smallPeak); });
  const double largeTime =
      BestSeconds(1, [&] { largeHits = CountHitsIn(findIn, largeSource, &largePeak); });
  std::printf("  %-56s 100 MB %7.2fx (%zu hits, %5.1f MiB)  1 GB %8.2fx (%zu hits, %5.1f MiB)"
              "  1 GB / 100 MB %5.1f\n",
              name, smallTime / base, smallHits, static_cast<double>(smallPeak) / (1 << 20),
              largeTime / base, largeHits, static_cast<double>(largePeak) / (1 << 20),
              largeTime / smallTime);
}

// Hostile content at about 10 MB and 100 MB in memory: the span search and
// the windowed one (1 MiB views) at each size, and the ratio of the times
// (10 for a linear search).
void ReportScaling(double base) {
  if (g_short) return;
  struct Pattern {
    const char* name;
    Bytes unit;
    Bytes suffix;
    SpanFind find;
    SourceFind findIn;
  };
  const Pattern patterns[] = {
      {"GIF, headers hidden in one endless chain", kGifHiddenHeader, {}, qx::FindGifs, qx::FindGifsIn},
      {"GIF, hidden headers, a trailer and no image", kGifHiddenHeader, {0x00, 0x3B}, qx::FindGifs,
       qx::FindGifsIn},
      {"ICO, directories packed into entries", PackedIcons(), {}, qx::FindIcons, qx::FindIconsIn},
  };
  std::printf("Hostile content at 10 MB and 100 MB (time as a multiple of a plain pass over 100 MB; "
              "100 MB / 10 MB):\n");
  for (const Pattern& p : patterns) {
    if (Skipped(p.name)) continue;
    double span[2] = {};
    double windowed[2] = {};
    std::size_t hits = 0;
    for (int k = 0; k < 2; ++k) {
      Bytes data = Repeat(p.unit, k == 0 ? 10'000'000 : 100'000'000);
      data.insert(data.end(), p.suffix.begin(), p.suffix.end());
      qx::SpanSource views(data.data(), static_cast<std::int64_t>(data.size()), 1 << 20);
      span[k] = BestSeconds(2, [&] { hits += CountHits(p.find, data); });
      windowed[k] = BestSeconds(2, [&] { hits += CountHitsIn(p.findIn, views); });
    }
    std::printf("  %-48s span 10 MB %7.2fx 100 MB %7.2fx (%5.1f)  windowed 10 MB %7.2fx 100 MB %7.2fx (%5.1f)"
                "  %zu hits\n",
                p.name, span[0] / base, span[1] / base, span[1] / span[0], windowed[0] / base,
                windowed[1] / base, windowed[1] / windowed[0], hits);
  }
}

// 100 MB without images, random and ordinary text (the project's own README
// over and over): each search's time, and what the GIF and icon searches add
// to the other three together.
void ReportPlainFiles() {
  if (Skipped("plain")) return;
  const Bytes random = RandomBytes(100'000'000, 0x853C49E6748FEA9Bull);
  const Bytes readme = ReadFile(std::filesystem::path(QX_TEST_DATA_DIR) / ".." / ".." / "README.md");
  const Bytes text = Repeat(readme.empty() ? Bytes{'t', 'e', 'x', 't', ' '} : readme, 100'000'000);
  std::printf("100 MB without images, time as a multiple of a plain pass (ms):\n");
  const std::pair<const char*, const Bytes*> files[] = {{"random bytes", &random},
                                                        {"text (README.md repeated)", &text}};
  for (const auto& file : files) {
    const char* name = file.first;
    const Bytes* data = file.second;
    const double base = BestSeconds(5, [&] { PlainPass(*data); });
    double t[5] = {};
    const SpanFind finds[5] = {qx::FindBitmaps, qx::FindJpegs, qx::FindPngs, qx::FindGifs, qx::FindIcons};
    std::size_t hits = 0;
    for (int k = 0; k < 5; ++k) t[k] = BestSeconds(5, [&] { hits += CountHits(finds[k], *data); });
    std::printf("  %-28s BMP %5.2fx (%.1f)  JPEG %5.2fx (%.1f)  PNG %5.2fx (%.1f)  GIF %5.2fx (%.1f)  "
                "ICO %5.2fx (%.1f);  GIF + ICO add %4.1f%% to BMP + JPEG + PNG  (%zu hits)\n",
                name, t[0] / base, t[0] * 1e3, t[1] / base, t[1] * 1e3, t[2] / base, t[2] * 1e3, t[3] / base,
                t[3] * 1e3, t[4] / base, t[4] * 1e3, 100 * (t[3] + t[4]) / (t[0] + t[1] + t[2]), hits);
  }
}

void ReportLong(const char* name, const Bytes& prefix, const Bytes& unit, const Bytes& suffix,
                SourceFind findIn, double base) {
  if (Skipped(name) || g_short) return;
  ReportLongOnce(name, prefix, unit, suffix, findIn, base);
}

// The same row, strict too.
void ReportLong(const char* name, const Bytes& prefix, const Bytes& unit, const Bytes& suffix,
                const Searches& kind, double base) {
  if (Skipped(name) || g_short) return;
  ReportLongOnce(name, prefix, unit, suffix, kind.source, base);
  const std::string strictName = std::string(name) + ", strict";
  ReportLongOnce(strictName.c_str(), prefix, unit, suffix, kind.strictSource, base);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? static_cast<std::size_t>(std::atoi(argv[1])) : 32;
  if (argc > 2) g_only = argv[2];
  g_short = argc > 3 && std::strcmp(argv[3], "short") == 0;
  const std::size_t size = mib << 20;

  // Random bytes with the project's test images sprinkled through them.
  Bytes mixed = RandomBytes(size, 0x9E3779B97F4A7C15ull);
  std::vector<Bytes> images;
  for (const auto& entry : std::filesystem::directory_iterator(QX_TEST_DATA_DIR)) {
    const auto ext = entry.path().extension();
    if (ext == ".bmp" || ext == ".jpg" || ext == ".png" || ext == ".gif" || ext == ".ico" ||
        ext == ".cur") {
      images.push_back(ReadFile(entry.path()));
    }
  }
  std::size_t at = 4096;
  for (std::size_t k = 0; !images.empty() && at + (1 << 16) < mixed.size(); ++k, at += 1 << 20) {
    const Bytes& image = images[k % images.size()];
    std::copy(image.begin(), image.end(), mixed.begin() + static_cast<std::ptrdiff_t>(at));
  }

  std::printf("Scanner time as a multiple of one plain pass over the same bytes:\n");
  Report("BMP, random bytes with images", mixed, kBmp);
  Report("JPEG, random bytes with images", mixed, kJpeg);
  Report("PNG, random bytes with images", mixed, kPng);
  Report("GIF, random bytes with images", mixed, kGif);
  Report("ICO, random bytes with images", mixed, kIco);

  // Inputs built to make a naive scan quadratic. Each is measured at two sizes:
  // a linear scan keeps the same ratio to the plain pass at both.
  for (std::size_t hostile : {std::min<std::size_t>(size, 4 << 20), std::min<std::size_t>(size, 8 << 20)}) {
  const Bytes pngSignatures =
      Repeat({0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}, hostile);
  Report("PNG, back-to-back signatures", pngSignatures, kPng);
  const Bytes jpegChain = Repeat({0xFF, 0xC0, 0x00, 0x04, 0xFF, 0xD8}, hostile);
  Report("JPEG, one segment chain, a start every 6 bytes", jpegChain, kJpeg);
  const Bytes jpegNoEnd =
      Repeat({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x02, 0xFF, 0xDB, 0x00, 0x02, 0xFF, 0xC4, 0x00, 0x02, 0x00},
             hostile);
  Report("JPEG, valid headers and no end marker", jpegNoEnd, kJpeg);
  const Bytes bmpHeaders = Repeat({'B', 'M', 0xFF, 0xFF, 0xFF, 0x7F}, hostile);
  Report("BMP, a rejected header every 6 bytes", bmpHeaders, kBmp);
  Report("GIF, headers hidden in one endless chain", Repeat(kGifHiddenHeader, hostile), kGif);
  Bytes gifToTrailer = Repeat(kGifHiddenHeader, hostile);
  gifToTrailer.insert(gifToTrailer.end(), {0x00, 0x3B});
  Report("GIF, hidden headers, a trailer and no image", gifToTrailer, kGif);
  Report("ICO, directories packed into entries", Repeat(PackedIcons(), hostile), kIco);
  // What only the strict search reads: every candidate with a frame and a
  // scan header, either in a chain that every start enters or in headers
  // of its own without an end marker.
  const Bytes jpegMarkerChain =
      Repeat({0xFF, 0xC0, 0x00, 0x04, 0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x04, 0xFF, 0xD8}, hostile);
  Report("JPEG, SOF and SOS chain, a start every 6 bytes", jpegMarkerChain, kJpeg);
  const Bytes jpegMarkersNoEnd =
      Repeat({0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x02, 0xFF, 0xDA, 0x00, 0x02, 0xFF, 0xC4, 0x00, 0x02, 0x00},
             hostile);
  Report("JPEG, SOF and SOS headers and no end marker", jpegMarkersNoEnd, kJpeg);
  }

  std::printf("Windowed searches over generated sequences (time as a multiple of a plain pass "
              "over 100 MB; peak side tables):\n");
  double longBase = 0;
  {
    const Bytes hundred = RandomBytes(100'000'000, 0x5DEECE66Dull);
    longBase = BestSeconds(5, [&] { PlainPass(hundred); });
  }
  const Bytes pngSignature = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  ReportLong("PNG, back-to-back signatures", {}, pngSignature, {}, qx::FindPngsIn, longBase);
  Bytes pngPeriod = pngSignature;
  for (const std::uint8_t b : {0x00, 0x00, 0x07, 0xD0}) pngPeriod.push_back(b);  // length 2000
  ReportLong("PNG, signature and length every 12 bytes", {}, pngPeriod, {}, qx::FindPngsIn, longBase);
  // An end marker that no walk can use: each walk runs off the end past it,
  // yet the candidates before it must be judged.
  Bytes runsOff = {0xFF, 0xD9, 0xFF, 0xC0, 0xFF, 0xFF};
  runsOff.resize(106, 0x00);
  ReportLong("JPEG, a header, then FF D0 to the end",
             {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x02, 0xFF, 0xE1, 0x00, 0x02, 0xFF, 0xE2, 0x00, 0x02},
             {0xFF, 0xD0}, runsOff, kJpeg, longBase);
  ReportLong("JPEG, FF D8 FF E0 00 04 repeated", {}, {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04}, runsOff,
             qx::FindJpegsIn, longBase);
  ReportLong("JPEG, one segment chain, a start every 6 bytes", {},
             {0xFF, 0xC0, 0x00, 0x04, 0xFF, 0xD8}, runsOff, kJpeg, longBase);
  ReportLong("JPEG, valid headers and no end marker", {},
             {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x02, 0xFF, 0xDB, 0x00, 0x02, 0xFF, 0xC4, 0x00, 0x02, 0x00},
             {}, kJpeg, longBase);
  ReportLong("JPEG, SOF and SOS chain, a start every 6 bytes", {},
             {0xFF, 0xC0, 0x00, 0x04, 0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x04, 0xFF, 0xD8}, runsOff, kJpeg,
             longBase);
  ReportLong("JPEG, SOF and SOS headers and no end marker", {},
             {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x02, 0xFF, 0xDA, 0x00, 0x02, 0xFF, 0xC4, 0x00, 0x02, 0x00},
             {}, kJpeg, longBase);
  ReportLong("JPEG, valid headers, an end marker at the end", {},
             {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x02, 0xFF, 0xDB, 0x00, 0x02, 0xFF, 0xC4, 0x00, 0x02, 0x00},
             runsOff, kJpeg, longBase);
  ReportLong("BMP, a rejected header every 6 bytes", {}, {'B', 'M', 0xFF, 0xFF, 0xFF, 0x7F}, {},
             qx::FindBitmapsIn, longBase);
  // Random bytes with a period of a little over 8 MiB, so that views fall
  // on it at every phase.
  const Bytes random = RandomBytes((8 << 20) + 4099, 0x2545F4914F6CDD1Dull);
  ReportLong("BMP, random bytes", {}, random, {}, kBmp, longBase);
  ReportLong("JPEG, random bytes", {}, random, {}, kJpeg, longBase);
  ReportLong("PNG, random bytes", {}, random, {}, kPng, longBase);
  ReportLong("GIF, random bytes", {}, random, {}, qx::FindGifsIn, longBase);
  ReportLong("ICO, random bytes", {}, random, {}, qx::FindIconsIn, longBase);
  ReportLong("GIF, headers hidden in one endless chain", {}, kGifHiddenHeader, {}, qx::FindGifsIn, longBase);
  ReportLong("GIF, hidden headers, a trailer and no image", {}, kGifHiddenHeader, {0x00, 0x3B}, qx::FindGifsIn,
             longBase);
  ReportLong("ICO, directories packed into entries", {}, PackedIcons(), {}, qx::FindIconsIn, longBase);

  ReportScaling(longBase);
  ReportPlainFiles();

  // CRC-32: the engine against one table lookup per byte with its own table.
  CCrc crc;
  std::uint32_t result = 0;
  const double fast = BestSeconds(5, [&] {
    crc.Crc32_GetFromBuffer(mixed.data(), static_cast<std::uint32_t>(mixed.size()), &result);
  });
  std::uint32_t slowResult = 0;
  const double slow = BestSeconds(3, [&] {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::uint8_t b : mixed) c = (c >> 8) ^ crc.Crc32_Table[(c ^ b) & 0xFF];
    c = ~c;
    slowResult = (c >> 24) | ((c >> 8) & 0xFF00) | ((c << 8) & 0xFF0000) | (c << 24);
  });
  const double base = BestSeconds(5, [&] { PlainPass(mixed); });
  std::printf("CRC-32 of %zu MiB: engine %.2fx plain pass; one lookup per byte %.2fx; "
              "engine is %.2fx as fast (results %s)\n",
              mib, fast / base, slow / base, slow / fast, result == slowResult ? "equal" : "DIFFER");
  return result == slowResult ? 0 : 1;
}
