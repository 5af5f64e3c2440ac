// Runs the unpacking over arbitrary bytes with small limits. Every stream
// must keep to the limits, lie at a depth from 1 to the deepest allowed,
// start inside the sequence it was found in, after its previous sibling,
// and the same streams must come out when the input is read through
// 64-byte windows as when it is one span.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "unpack/Unpack.h"

namespace {

struct Seen {
  qx::ContainerKind kind;
  int depth;
  std::int64_t offset;
  std::int64_t length;
  std::uint64_t hash;
  bool complete;
  bool cut;
  bool operator==(const Seen&) const = default;
};

[[noreturn]] void Fail(const char* what, const Seen& s) {
  std::fprintf(stderr, "%s: depth %d offset %lld length %lld\n", what, s.depth,
               static_cast<long long>(s.offset), static_cast<long long>(s.length));
  std::abort();
}

std::vector<Seen> Run(const std::uint8_t* data, std::size_t size, std::int64_t window,
                      const qx::UnpackLimits& limits) {
  std::vector<Seen> seen;
  qx::SpanSource source(data, static_cast<std::int64_t>(size), window);
  // The length of the sequence each depth's streams were found in, and the
  // offset of the last stream found there.
  std::int64_t parentLength[8] = {static_cast<std::int64_t>(size)};
  std::int64_t lastOffset[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
  std::int64_t total = 0;
  const qx::UnpackSummary summary = qx::Unpack(source, limits, [&](const qx::DecodedStream& s) {
    std::uint64_t hash = 14695981039346656037ull;
    for (std::int64_t k = 0; k < s.length; ++k) hash = (hash ^ s.data[k]) * 1099511628211ull;
    const Seen one{s.kind, s.depth, s.offset, s.length, hash, s.complete, s.cut};
    if (s.depth < 1 || s.depth > limits.maxDepth) Fail("depth out of range", one);
    if (s.length < 1 || s.length > limits.streamBytes) Fail("length out of range", one);
    if (s.complete && s.cut) Fail("complete and cut", one);
    if (s.offset < 0 || s.offset >= parentLength[s.depth - 1]) Fail("outside its parent", one);
    if (s.offset <= lastOffset[s.depth]) Fail("not after its previous sibling", one);
    lastOffset[s.depth] = s.offset;
    for (int d = s.depth + 1; d < 8; ++d) lastOffset[d] = -1;
    parentLength[s.depth] = s.length;
    total += s.length;
    if (total > limits.totalBytes) Fail("past the total", one);
    seen.push_back(one);
  });
  if (summary.decodedBytes != total) std::abort();
  if (limits.memoryBytes > 0 && summary.peakMemory > limits.memoryBytes) std::abort();
  return seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qx::UnpackLimits limits;
  limits.streamBytes = 1 << 20;
  limits.totalBytes = 4 << 20;
  limits.memoryBytes = 8 << 20;
  const std::vector<Seen> whole = Run(data, size, 0, limits);
  if (Run(data, size, 64, limits) != whole) {
    std::fprintf(stderr, "64-byte windows differ from one span\n");
    std::abort();
  }
  return 0;
}
