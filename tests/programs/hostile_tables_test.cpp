// Damaged and hostile programs: headers that are not quite headers, tables
// that loop, overlap, overstate their counts or point outside, sections that
// wrap or turn back, and the inputs that would cost quadratic time across
// programs. Each ends the table or entry it spoils; what else the bytes hold
// is still found, and the work stays within the budget.
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

#include "program_helpers.h"

namespace {

using namespace qx::testprograms;

constexpr std::uint32_t kEnglish = 0x409;

Resource Bitmap(std::uint32_t id, std::int64_t pixels = 12) {
  return Resource{2, u"", id, kEnglish, Dib(40, 2, 2, 24, 0, 0, 0, pixels)};
}

std::vector<Resource> ThreeKinds() {
  return {
      Bitmap(1),
      Bitmap(2),
      {3, u"", 1, kEnglish, PngHead(16, 16, 0)},
      {12, u"", 5, kEnglish, Group(2, {{0, 0, 0, 0, 1, 1, 0, 1}})},
      {1, u"", 1, kEnglish, Bytes{1, 0, 2, 0, 12, 0, 0, 0, 8, 0, 16, 0, 1, 0, 1, 0}},
      {14, u"ICON", 0, kEnglish, Group(1, {{16, 16, 0, 0, 1, 32, 0, 1}})},
  };
}

std::size_t Count(const Bytes& bytes) { return SearchSpan(bytes).found.size(); }

TEST(Headers, OnlyWholeHeadersMakeAProgram) {
  const Built good = BuildProgram({Bitmap(1)});
  ASSERT_EQ(1u, Count(good.bytes));
  struct Damage {
    const char* what;
    std::int64_t at;
    std::uint32_t value;
    int bytes;
  };
  const std::int64_t dirs = good.optional + 96;
  const Damage damages[] = {
      {"e_lfanew 0", 0x3C, 0, 4},
      {"e_lfanew 2, onto MZ", 0x3C, 2, 4},
      {"e_lfanew past the end", 0x3C, static_cast<std::uint32_t>(good.bytes.size()), 4},
      {"e_lfanew huge", 0x3C, 0xFFFFFFF0u, 4},
      {"no PE signature", good.pe + 2, 1, 1},
      {"unknown machine", good.pe + 4, 0x1234, 2},
      {"no sections", good.pe + 6, 0, 2},
      {"section count past the bytes", good.pe + 6, 0xFFFF, 2},
      {"optional header too short for the resource entry", good.pe + 20, 96 + 23, 2},
      {"optional header size past the bytes", good.pe + 20, 0xFFFF, 2},
      {"unknown magic", good.optional, 0x107, 2},
      {"PE32+ magic on a PE32 layout", good.optional, 0x20B, 2},
      {"two directories only", dirs - 4, 2, 4},
      {"no resource directory", dirs + 16, 0, 4},
      {"resource RVA in no section", dirs + 16, 0x7FFF0000u, 4},
      {"resource root in the code section's last 16 bytes", dirs + 16, 0x1000 + 0x1F0, 4},
      {"resource RVA past its section's raw data", dirs + 16, good.rootRva + 0x1F8, 4},
  };
  for (const Damage& d : damages) {
    Bytes b = good.bytes;
    if (d.bytes == 1) b[static_cast<std::size_t>(d.at)] = static_cast<std::uint8_t>(d.value);
    if (d.bytes == 2) PutLe16(b, d.at, d.value);
    if (d.bytes == 4) PutLe32(b, d.at, d.value);
    EXPECT_EQ(0u, Count(b)) << d.what;
  }
  // The optional header long enough, no longer: still a program.
  Bytes shortOptional = good.bytes;
  PutLe16(shortOptional, good.pe + 20, 96 + 24);
  const std::int64_t table = good.optional + 96 + 24;
  std::copy(good.bytes.begin() + good.sectionTable, good.bytes.begin() + good.sectionTable + 80,
            shortOptional.begin() + table);
  EXPECT_EQ(1u, Count(shortOptional));
}

TEST(Headers, PE32PlusAndATinyHeaderInsideTheDosHeader) {
  BuildOptions plus;
  plus.plus = true;
  EXPECT_EQ(4u, Count(BuildProgram(ThreeKinds(), plus).bytes));
  // e_lfanew 4: the PE header moved to right after "MZ" and two bytes,
  // overlapping the DOS header; e_lfanew then lies in its SectionAlignment.
  const Built built = BuildProgram({Bitmap(1)});
  Bytes tiny = built.bytes;
  std::copy(built.bytes.begin() + built.pe, built.bytes.begin() + built.sectionTable + 80, tiny.begin() + 4);
  PutLe32(tiny, 0x3C, 4);
  EXPECT_EQ(1u, Count(tiny));
}

TEST(Sections, ATableThatWrapsOrTurnsBackEndsThere) {
  const Built built = BuildProgram(ThreeKinds());
  const std::int64_t code = built.sectionTable;
  // The code section's virtual range passing 4 GiB: the table ends before it,
  // and the resource section after it is lost.
  Bytes wraps = built.bytes;
  PutLe32(wraps, code + 8, 0xFFFFF000u);
  EXPECT_EQ(0u, Count(wraps));
  // The resource section starting below the code section's end.
  Bytes back = built.bytes;
  PutLe32(back, code + 8, built.rootRva - 0x1000 + 1);
  EXPECT_EQ(0u, Count(back));
  // Ending exactly where the next starts is ascending.
  Bytes touching = built.bytes;
  PutLe32(touching, code + 8, built.rootRva - 0x1000);
  EXPECT_EQ(4u, Count(touching));
}

TEST(Sections, DataMapsThroughWhicheverSectionHoldsIt) {
  Built built = BuildProgram({Bitmap(1, 12)}, BuildOptions{false, 0x200});
  Bytes& b = built.bytes;
  // Move the bitmap's bytes into the code section and point its data entry
  // there.
  const std::uint32_t rva = GetLe32(b, built.dataEntries[0]);
  const std::int64_t from = built.root + (rva - built.rootRva);
  std::copy(b.begin() + from, b.begin() + from + 52, b.begin() + 0x200 + 0x100);
  std::fill(b.begin() + from, b.begin() + from + 52, 0);
  PutLe32(b, built.dataEntries[0], 0x1000 + 0x100);
  const Searched run = SearchSpan(b);
  ASSERT_EQ(1u, run.found.size());
  EXPECT_EQ(0x300, run.found[0].resourceOffset);
  // Running past the code section's raw data into its virtual tail: nothing.
  PutLe32(b, built.sectionTable + 8, 0x800);
  PutLe32(b, built.dataEntries[0], 0x1000 + 0x1F0);
  EXPECT_EQ(0u, Count(b));
}

TEST(Tables, LoopsAndOverlapsAreNotWalked) {
  const Built built = BuildProgram(ThreeKinds());
  const std::uint32_t toRoot = 0x80000000u;
  const std::uint32_t bitmapDir = 0x80000000u | static_cast<std::uint32_t>(built.typeDirectories[0] - built.root);
  struct Patch {
    const char* what;
    std::int64_t at;
    std::uint32_t value;
    std::size_t found;
  };
  const Patch patches[] = {
      // The bitmap type points back at the root: its two bitmaps are lost.
      {"type to root", built.typeEntries[0] + 4, toRoot, 2},
      // A bitmap's name entry points at its own type directory.
      {"name to its parent", built.typeDirectories[0] + 16 + 4, bitmapDir, 3},
      // The icon group type points at the bitmap type's directory, already
      // walked: the icon group is lost, the bitmaps are not found twice.
      {"two types, one directory", built.typeEntries.back() + 4, bitmapDir, 3},
      // A directory starting inside another is read as it stands: here its
      // entries run on into the bitmap type's own, which lead to both
      // bitmaps, each found once.
      {"overlapping directory", built.typeEntries[0] + 4, toRoot | 8, 4},
      // A language entry pointing at a directory, a name entry at data.
      {"language entry to a directory", built.languageEntries[0] + 4, toRoot | 0x200, 3},
      {"name entry to data", built.typeDirectories[0] + 16 + 12, 0x100, 3},
  };
  for (const Patch& p : patches) {
    Bytes b = built.bytes;
    PutLe32(b, p.at, p.value);
    const Searched run = SearchSpan(b);
    EXPECT_EQ(p.found, run.found.size()) << p.what;
    EXPECT_LT(run.summary.work, 2 * static_cast<std::int64_t>(b.size())) << p.what;
    // No resource is reported twice.
    for (std::size_t i = 0; i < run.found.size(); ++i) {
      for (std::size_t j = i + 1; j < run.found.size(); ++j) {
        EXPECT_NE(run.found[i].resourceOffset, run.found[j].resourceOffset) << p.what;
      }
    }
  }
}

TEST(Tables, OffsetsOutsideTheSectionEndTheirEntry) {
  const Built built = BuildProgram(ThreeKinds());
  const auto size = static_cast<std::uint32_t>(built.bytes.size() - built.root);
  struct Patch {
    const char* what;
    std::int64_t at;
    std::uint32_t value;
    std::size_t found;
  };
  const Patch patches[] = {
      {"type directory past the section", built.typeEntries[0] + 4, 0x80000000u | (size - 15), 2},
      {"type directory at the largest offset", built.typeEntries[0] + 4, 0xFFFFFFFFu, 2},
      {"data entry past the section", built.languageEntries[0] + 4, size - 15, 3},
      {"data past the section", built.dataEntries[0] + 4, size, 3},
      {"a 4 GB size", built.dataEntries[0] + 4, 0xFFFFFFFFu, 3},
      {"data RVA in no section", built.dataEntries[0], 0x00100000u, 3},
      {"data RVA below every section", built.dataEntries[0], 0x10, 3},
      {"icon image past the section", built.dataEntries[2] + 4, size, 3},  // the icon group empties
      {"cursor group's data past the section", built.dataEntries[3], built.rootRva + size - 8, 3},
      {"name string past the section", built.typeDirectories.back() + 16, 0x80000000u | (size - 1), 3},
  };
  for (const Patch& p : patches) {
    Bytes b = built.bytes;
    PutLe32(b, p.at, p.value);
    EXPECT_EQ(p.found, Count(b)) << p.what;
  }
}

TEST(Tables, CountsLargerThanTheTableAreReadAsFarAsItGoes) {
  const Built built = BuildProgram(ThreeKinds());
  for (const std::int64_t dir : {built.root, built.typeDirectories[0]}) {
    Bytes b = built.bytes;
    PutLe16(b, dir + 12, 0xFFFF);
    PutLe16(b, dir + 14, 0xFFFF);
    const Searched run = SearchSpan(b);
    // The stored entries come first and are found; the rest of the section
    // read as entries finds nothing more here.
    EXPECT_EQ(4u, run.found.size());
    EXPECT_LT(run.summary.work, 2 * static_cast<std::int64_t>(b.size()));
  }
}

// A directory of 65,535 entries, each pointing at the same directory of
// 65,535 entries: without claims that is 4 billion reads. Walked once, and
// a program after it is found.
TEST(Tables, ADirectoryThatHoldsItselfManyTimesCostsItsSize) {
  Built built = BuildProgram({Bitmap(1)});
  Bytes& b = built.bytes;
  const std::int64_t entries = 65535;
  const std::int64_t bigAt = static_cast<std::int64_t>(b.size());
  b.resize(static_cast<std::size_t>(bigAt + 16 + 8 * entries), 0);
  PutLe16(b, bigAt + 14, static_cast<std::uint32_t>(entries));
  const auto bigOffset = static_cast<std::uint32_t>(bigAt - built.root);
  for (std::int64_t k = 0; k < entries; ++k) {
    PutLe32(b, bigAt + 16 + 8 * k, static_cast<std::uint32_t>(k));
    PutLe32(b, bigAt + 20 + 8 * k, 0x80000000u | bigOffset);
  }
  const std::int64_t rsrc = built.sectionTable + 40;
  PutLe32(b, rsrc + 16, static_cast<std::uint32_t>(b.size() - built.root));
  PutLe32(b, rsrc + 8, static_cast<std::uint32_t>(b.size() - built.root));
  PutLe32(b, built.typeEntries[0] + 4, 0x80000000u | bigOffset);
  const Bytes good = BuildProgram(ThreeKinds()).bytes;
  b.insert(b.end(), good.begin(), good.end());
  const auto start = std::chrono::steady_clock::now();
  const Searched run = SearchSpan(b);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(4u, run.found.size());
  EXPECT_EQ(2, run.summary.programs);
  EXPECT_LT(run.summary.work, 2 * static_cast<std::int64_t>(b.size()));
}

// Many "MZ" whose e_lfanew all lead to one PE header with a table of 65,535
// sections: each would read the whole table. The budget ends the call.
TEST(Budget, ManyDosHeadersLeadingToOnePeHeaderStopAtTheBudget) {
  const std::int64_t headers = 4000;
  const std::int64_t pe = 64 * headers;
  const std::int64_t sections = 65535;
  Bytes b(static_cast<std::size_t>(pe + 24 + 224 + 40 * sections), 0);
  for (std::int64_t k = 0; k < headers; ++k) {
    b[static_cast<std::size_t>(64 * k)] = 'M';
    b[static_cast<std::size_t>(64 * k + 1)] = 'Z';
    PutLe32(b, 64 * k + 0x3C, static_cast<std::uint32_t>(pe - 64 * k));
  }
  b[static_cast<std::size_t>(pe)] = 'P';
  b[static_cast<std::size_t>(pe + 1)] = 'E';
  PutLe16(b, pe + 4, 0x14C);
  PutLe16(b, pe + 6, static_cast<std::uint32_t>(sections));
  PutLe16(b, pe + 20, 224);
  PutLe16(b, pe + 24, 0x10B);
  PutLe32(b, pe + 24 + 92, 16);
  PutLe32(b, pe + 24 + 96 + 16, 0x1000);
  const auto start = std::chrono::steady_clock::now();
  const Searched run = SearchSpan(b);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_TRUE(run.summary.budgetSpent);
  EXPECT_LE(run.summary.work, qx::DefaultProgramWork(static_cast<std::int64_t>(b.size())));
  // Each header read its table: as many as the budget pays for.
  const std::int64_t perHeader = 24 + 120 + 40 * sections;
  EXPECT_EQ(qx::DefaultProgramWork(static_cast<std::int64_t>(b.size())) / perHeader, run.summary.programs);
  // A budget of the caller's own.
  qx::ProgramLimits limits;
  limits.workBudget = 3 * perHeader;
  EXPECT_EQ(3, SearchSpan(b, limits).summary.programs);
}

// Many PE headers, each of its own "MZ", all mapping their resources to one
// large tree: each program may spend its share, the call its budget.
TEST(Budget, ManyProgramsSharingOneLargeTreeStopAtTheBudget) {
  std::vector<Resource> many;
  for (std::uint32_t k = 1; k <= 2000; ++k) many.push_back(Bitmap(k, 200));
  const Built tree = BuildProgram(many);
  // Programs of 512 bytes each in front of the tree, whose resource
  // section covers the tree.
  const std::int64_t programs = 1000;
  const std::int64_t stride = 512;
  const std::int64_t treeAt = programs * stride;
  Bytes b(static_cast<std::size_t>(treeAt) + tree.bytes.size(), 0);
  std::copy(tree.bytes.begin(), tree.bytes.end(), b.begin() + treeAt);
  const std::int64_t rsrc = tree.sectionTable + 40;
  for (std::int64_t p = 0; p < programs; ++p) {
    const std::int64_t at = p * stride;
    std::copy(tree.bytes.begin(), tree.bytes.begin() + tree.sectionTable + 80, b.begin() + at);
    // The resource section's raw data: the tree's, counted from this "MZ".
    PutLe32(b, at + rsrc + 20, static_cast<std::uint32_t>(treeAt + tree.root - at));
    PutLe32(b, at + tree.sectionTable + 20, static_cast<std::uint32_t>(treeAt + 0x200 - at));
  }
  const auto start = std::chrono::steady_clock::now();
  std::int64_t bytes = 0;
  qx::SpanSource source(b.data(), static_cast<std::int64_t>(b.size()));
  const qx::ProgramSummary summary =
      qx::FindProgramImages(source, [&](const qx::ProgramImage& image) { bytes += image.length; });
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_TRUE(summary.budgetSpent);
  EXPECT_LE(summary.work, qx::DefaultProgramWork(static_cast<std::int64_t>(b.size())));
  EXPECT_LE(bytes, summary.work);
  // The first programs were walked whole: 2000 bitmaps each.
  EXPECT_GE(summary.images, 2 * 2000);
}

TEST(Callback, AnExceptionPassesThrough) {
  const Bytes b = BuildProgram(ThreeKinds()).bytes;
  qx::SpanSource source(b.data(), static_cast<std::int64_t>(b.size()));
  int seen = 0;
  EXPECT_THROW(qx::FindProgramImages(source,
                                     [&](const qx::ProgramImage&) {
                                       if (++seen == 2) throw std::runtime_error("stop");
                                     }),
               std::runtime_error);
  EXPECT_EQ(2, seen);
}

}  // namespace
