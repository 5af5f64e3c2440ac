// Runs the program-picture search over arbitrary bytes. Every picture must
// lie inside the input (its program and its resource), keep to the limits,
// and be a consistent file: a bitmap is "BM", its size, and the resource's
// own bytes after the file header, its pixel offset inside; an icon or
// cursor file's directory counts the images written, whose entries follow
// one another to the file's end. The work stays within the budget, and the
// same pictures come out when the input is read through small windows, each
// view a separate copy of exactly its bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "../scanners/test_sources.h"
#include "programs/ProgramImages.h"
#include "support/ByteOrder.h"

namespace {

struct Seen {
  qx::ProgramImageKind kind;
  std::int64_t length;
  std::uint64_t hash;
  std::int64_t programOffset;
  std::int64_t resourceOffset;
  std::int64_t resourceLength;
  std::uint32_t type;
  bool named;
  std::uint32_t id;
  std::u16string name;
  std::uint32_t language;
  int images;
  int imagesMissing;
  bool operator==(const Seen&) const = default;
};

[[noreturn]] void Fail(const char* what, const qx::ProgramImage& p) {
  std::fprintf(stderr, "%s: program %lld resource %lld+%lld file of %lld bytes\n", what,
               static_cast<long long>(p.programOffset), static_cast<long long>(p.resourceOffset),
               static_cast<long long>(p.resourceLength), static_cast<long long>(p.length));
  std::abort();
}

void CheckFile(const qx::ProgramImage& p, const std::uint8_t* input, std::int64_t size,
               const qx::ProgramLimits& limits) {
  if (p.programOffset < 0 || p.programOffset > size - 64) Fail("program outside", p);
  if (p.resourceOffset < 0 || p.resourceLength < 0 || p.resourceOffset > size - p.resourceLength) {
    Fail("resource outside", p);
  }
  if (p.length < 1 || p.length > limits.imageBytes) Fail("file length", p);
  const std::uint8_t* f = p.data;
  if (p.kind == qx::ProgramImageKind::kBitmap) {
    if (p.type != 2 || p.images != 1) Fail("bitmap type", p);
    if (p.length != 14 + p.resourceLength || f[0] != 'B' || f[1] != 'M') Fail("bitmap header", p);
    if (qx::ReadLe32(f + 2) != p.length || qx::ReadLe32(f + 6) != 0) Fail("bitmap size", p);
    const std::uint32_t pixels = qx::ReadLe32(f + 10);
    if (pixels < 14 + 12 || pixels > p.length) Fail("bitmap pixel offset", p);
    for (std::int64_t k = 0; k < p.resourceLength; ++k) {
      if (f[14 + k] != input[p.resourceOffset + k]) Fail("bitmap bytes", p);
    }
    return;
  }
  const bool cursors = p.kind == qx::ProgramImageKind::kCursorGroup;
  if (p.type != (cursors ? 12u : 14u)) Fail("group type", p);
  if (p.length < 6 || qx::ReadLe16(f) != 0 || qx::ReadLe16(f + 2) != (cursors ? 2 : 1)) {
    Fail("group directory", p);
  }
  const std::int64_t count = qx::ReadLe16(f + 4);
  if (count < 1 || count != p.images || p.imagesMissing < 0) Fail("group count", p);
  if (p.images + p.imagesMissing > (p.resourceLength - 6) / 14) Fail("more entries than the group", p);
  std::int64_t at = 6 + 16 * count;
  if (at > p.length) Fail("group entries", p);
  for (std::int64_t k = 0; k < count; ++k) {
    const std::uint8_t* e = f + 6 + 16 * k;
    if (cursors && e[3] != 0) Fail("cursor reserved", p);
    const std::int64_t bytes = qx::ReadLe32(e + 8);
    if (bytes < 1 || qx::ReadLe32(e + 12) != at || bytes > p.length - at) Fail("group image", p);
    at += bytes;
  }
  if (at != p.length) Fail("group file length", p);
}

std::vector<Seen> Run(qx::ByteSource& source, const std::uint8_t* data, std::int64_t size,
                      const qx::ProgramLimits& limits, qx::ProgramSummary* summary) {
  std::vector<Seen> seen;
  *summary = qx::FindProgramImages(
      source,
      [&](const qx::ProgramImage& p) {
        CheckFile(p, data, size, limits);
        std::uint64_t hash = 14695981039346656037ull;
        for (std::int64_t k = 0; k < p.length; ++k) hash = (hash ^ p.data[k]) * 1099511628211ull;
        seen.push_back(Seen{p.kind, p.length, hash, p.programOffset, p.resourceOffset,
                            p.resourceLength, p.type, p.named, p.id, p.name, p.language, p.images,
                            p.imagesMissing});
      },
      limits);
  const std::int64_t budget = limits.workBudget > 0 ? limits.workBudget : qx::DefaultProgramWork(size);
  if (summary->work > budget || summary->images != static_cast<std::int64_t>(seen.size())) {
    std::fprintf(stderr, "work %lld of %lld, %lld images\n", static_cast<long long>(summary->work),
                 static_cast<long long>(budget), static_cast<long long>(summary->images));
    std::abort();
  }
  return seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto length = static_cast<std::int64_t>(size);
  const std::uint32_t pick = length > 0 ? data[0] + 256u * data[length / 2] + 65536u * data[length - 1] : 0;
  // Small limits for some inputs, so that they are met too.
  qx::ProgramLimits limits;
  if (pick % 4 == 0) limits.imageBytes = 64 + (pick >> 2) % 512;
  if ((pick >> 11) % 4 == 0) limits.workBudget = 256 + (pick >> 13) % 4096;
  qx::SpanSource span(data, length);
  qx::ProgramSummary whole;
  const std::vector<Seen> seen = Run(span, data, length, limits, &whole);
  const std::int64_t window = 1 + (pick >> 3) % 300;
  qx::testsrc::CopyingSource copies(data, length, window, pick);
  qx::ProgramSummary windowed;
  if (Run(copies, data, length, limits, &windowed) != seen || windowed.work != whole.work ||
      windowed.programs != whole.programs || windowed.notWritten != whole.notWritten) {
    std::fprintf(stderr, "%lld-byte windows differ from one span\n", static_cast<long long>(window));
    std::abort();
  }
  return 0;
}
