// The programs MinGW's windres and gcc made from tests/data/programs: every
// bitmap rebuilt with its file header is the .bmp that was compiled in, every
// icon group the .ico and every cursor group the .cur, byte for byte, in the
// table's order, whether the program stands alone, lies at an odd offset in
// other bytes, follows others, lies inside another one, or is read through
// windows of any size. Every prefix of a program is searched without a read
// outside its bytes, and finds only pictures of the whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>

#include "../scanners/test_sources.h"
#include "program_helpers.h"

namespace {

using namespace qx::testprograms;

qx::ProgramImageKind KindOf(std::uint32_t type) {
  return type == 2 ? qx::ProgramImageKind::kBitmap
                   : type == 14 ? qx::ProgramImageKind::kIconGroup : qx::ProgramImageKind::kCursorGroup;
}

// The images a file of the given kind holds: its directory's count.
int ImagesIn(const Bytes& file, std::uint32_t type) {
  return type == 2 ? 1 : file[4] | (file[5] << 8);
}

// Checks that found[first...] holds exactly the manifest's pictures, for a
// program at `offset`.
void ExpectProgram(const std::vector<Found>& found, std::size_t first, std::int64_t offset,
                   const std::string& program) {
  const std::vector<Expected> manifest = Manifest();
  ASSERT_GE(found.size(), first + manifest.size()) << program;
  for (std::size_t k = 0; k < manifest.size(); ++k) {
    const Expected& e = manifest[k];
    const Found& f = found[first + k];
    const Bytes file = ReadData("programs/pictures/" + e.file);
    SCOPED_TRACE(program + " #" + std::to_string(k) + " " + e.file);
    EXPECT_EQ(KindOf(e.type), f.kind);
    EXPECT_EQ(e.type, f.type);
    EXPECT_EQ(e.named, f.named);
    EXPECT_EQ(e.named ? 0u : e.id, f.id);
    EXPECT_EQ(e.name, f.name);
    EXPECT_EQ(e.language, f.language);
    EXPECT_EQ(file, f.bytes);
    EXPECT_EQ(offset, f.programOffset);
    EXPECT_GT(f.resourceOffset, offset);
    EXPECT_EQ(ImagesIn(file, e.type), f.images);
    EXPECT_EQ(0, f.imagesMissing);
    // A group's resource: the 6-byte header and 14 bytes an image.
    const std::int64_t resource = e.type == 2 ? static_cast<std::int64_t>(file.size()) - 14 : 6 + 14 * f.images;
    EXPECT_EQ(resource, f.resourceLength);
  }
}

TEST(RealPrograms, EachPictureIsTheFileItWasCompiledFrom) {
  for (const char* name : kTestPrograms) {
    const Bytes program = ReadData(std::string("programs/") + name);
    const Searched run = SearchSpan(program);
    EXPECT_EQ(Manifest().size(), run.found.size()) << name;
    ExpectProgram(run.found, 0, 0, name);
    EXPECT_EQ(1, run.summary.programs);
    EXPECT_EQ(0, run.summary.notWritten);
    EXPECT_FALSE(run.summary.budgetSpent);
    // Ordinary programs cost about two units a byte at most.
    EXPECT_LT(run.summary.work, 2 * static_cast<std::int64_t>(program.size())) << name;
    // The resource's bytes are the picture's, less what was rebuilt.
    for (const Found& f : run.found) {
      if (f.kind != qx::ProgramImageKind::kBitmap) continue;
      EXPECT_TRUE(std::equal(f.bytes.begin() + 14, f.bytes.end(), program.begin() + f.resourceOffset));
    }
  }
}

TEST(RealPrograms, FoundAtAnOddOffsetAmongOtherBytesAndAfterEachOther) {
  std::mt19937 rng(11);
  Bytes all;
  std::vector<std::int64_t> offsets;
  for (const char* name : kTestPrograms) {
    // Filler with "MZ" and "PE" scattered through it.
    const std::size_t filler = 1001 + rng() % 977;
    for (std::size_t k = 0; k < filler; ++k) {
      all.push_back(k % 97 == 3 ? 'M' : k % 97 == 4 ? 'Z' : k % 89 == 0 ? 'P' : static_cast<std::uint8_t>(rng()));
    }
    offsets.push_back(static_cast<std::int64_t>(all.size()));
    const Bytes program = ReadData(std::string("programs/") + name);
    all.insert(all.end(), program.begin(), program.end());
  }
  all.insert(all.end(), {'M', 'Z', 1, 2, 3});
  const Searched run = SearchSpan(all);
  ASSERT_EQ(4 * Manifest().size(), run.found.size());
  for (std::size_t p = 0; p < 4; ++p) {
    ExpectProgram(run.found, p * Manifest().size(), offsets[p], kTestPrograms[p]);
  }
  EXPECT_EQ(4, run.summary.programs);
}

// The second program placed inside the last section of the first, as an
// installer carries its payload: both are found, the outer one first.
TEST(RealPrograms, AProgramInsideAnotherIsFoundToo) {
  Bytes outer = ReadData("programs/pictures64.exe");
  const Bytes inner = ReadData("programs/pictures32.dll");
  const std::int64_t pe = GetLe32(outer, 0x3C);
  const std::int64_t sections = outer[pe + 6] | (outer[pe + 7] << 8);
  const std::int64_t table = pe + 24 + (outer[pe + 20] | (outer[pe + 21] << 8));
  const std::int64_t last = table + 40 * (sections - 1);
  const std::int64_t at = static_cast<std::int64_t>(outer.size());
  ASSERT_EQ(at, GetLe32(outer, last + 20) + GetLe32(outer, last + 16));
  outer.insert(outer.end(), inner.begin(), inner.end());
  PutLe32(outer, last + 16, GetLe32(outer, last + 16) + static_cast<std::uint32_t>(inner.size()));
  const Searched run = SearchSpan(outer);
  ASSERT_EQ(2 * Manifest().size(), run.found.size());
  ExpectProgram(run.found, 0, 0, "outer");
  ExpectProgram(run.found, Manifest().size(), at, "inner");
}

TEST(RealPrograms, WindowsOfAnySizeGiveTheSameResults) {
  Bytes all;
  for (const char* name : kTestPrograms) {
    const Bytes program = ReadData(std::string("programs/") + name);
    all.insert(all.end(), program.begin(), program.end());
    all.push_back(0x4D);
  }
  const Searched whole = SearchSpan(all);
  ASSERT_EQ(4 * Manifest().size(), whole.found.size());
  const auto length = static_cast<std::int64_t>(all.size());
  for (const std::int64_t window : {1, 2, 15, 16, 17, 61, 512, 4093}) {
    qx::SpanSource span(all.data(), length, window);
    const Searched spanRun = Search(span);
    EXPECT_EQ(whole.found, spanRun.found) << window;
    EXPECT_EQ(whole.summary.work, spanRun.summary.work) << window;
    qx::testsrc::CopyingSource copies(all.data(), length, window, static_cast<std::uint32_t>(window));
    EXPECT_EQ(whole.found, Search(copies).found) << window;
  }
}

// Each prefix in a heap block of exactly its length: the sanitizer build
// catches any read past it. A prefix holds a subsequence of the whole's
// pictures, each unchanged.
TEST(RealPrograms, EveryPrefixIsSearchedInsideItsBytes) {
  for (const char* name : kTestPrograms) {
    const Bytes program = ReadData(std::string("programs/") + name);
    const std::vector<Found> whole = SearchSpan(program).found;
    std::size_t last = 0;
    for (std::size_t n = 0; n <= program.size(); ++n) {
      std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[n == 0 ? 1 : n]);
      std::memcpy(exact.get(), program.data(), n);
      qx::SpanSource source(exact.get(), static_cast<std::int64_t>(n));
      const std::vector<Found> found = Search(source).found;
      std::size_t w = 0;
      for (const Found& f : found) {
        while (w < whole.size() && !(whole[w] == f)) ++w;
        ASSERT_LT(w, whole.size()) << name << " prefix " << n << " found a picture the whole lacks";
        ++w;
      }
      last = found.size();
      if (n % 1500 == 7) {
        qx::testsrc::CopyingSource copies(exact.get(), static_cast<std::int64_t>(n), 16, static_cast<std::uint32_t>(n));
        EXPECT_EQ(found, Search(copies).found) << name << " prefix " << n;
      }
    }
    EXPECT_EQ(whole.size(), last);
  }
}

}  // namespace

namespace {

// A sequence of more than 4 GiB, read through 1 MiB windows: a program past
// 4 GiB is found with its offsets whole, and one whose sections reach past
// the end gives only the pictures that lie inside.
TEST(RealPrograms, FoundPastFourGiB) {
  const std::int64_t gib = std::int64_t{1} << 30;
  const Bytes program = ReadData("programs/pictures64.dll");
  const auto size = static_cast<std::int64_t>(program.size());
  const std::int64_t length = 4 * gib + 3 * size;
  qx::testsrc::SparseSource source(length, 1 << 20);
  const std::int64_t at = 4 * gib + 7;
  source.Place(at, program);
  // The last one cut 3000 bytes short: some of its pictures lie past the end.
  const std::int64_t cut = 3000;
  source.Place(length - size + cut, Bytes(program.begin(), program.end() - cut));
  const Searched run = Search(source);
  ASSERT_GE(run.found.size(), Manifest().size());
  ExpectProgram(run.found, 0, at, "past 4 GiB");
  EXPECT_EQ(2, run.summary.programs);
  const Searched alone = SearchSpan(Bytes(program.begin(), program.end() - cut));
  ASSERT_LT(alone.found.size(), Manifest().size());
  ASSERT_GT(alone.found.size(), 0u);
  ASSERT_EQ(alone.found.size() + Manifest().size(), run.found.size());
  for (std::size_t k = 0; k < alone.found.size(); ++k) {
    EXPECT_EQ(alone.found[k].bytes, run.found[Manifest().size() + k].bytes);
    EXPECT_EQ(length - size + cut, run.found[Manifest().size() + k].programOffset);
  }
}

}  // namespace
