// What the program-picture tests share: the pictures a search hands out,
// collected; the test programs and the pictures they were compiled from;
// and a small builder of programs with a resource tree laid out as linkers
// lay it out (directories, then name strings, then data entries, then the
// data), reporting where each part went so that a test can damage it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "programs/ProgramImages.h"
#include "support/ByteSource.h"

namespace qx::testprograms {

using Bytes = std::vector<std::uint8_t>;

struct Found {
  ProgramImageKind kind;
  Bytes bytes;
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
  bool operator==(const Found&) const = default;
};

struct Searched {
  std::vector<Found> found;
  ProgramSummary summary;
};

Searched Search(ByteSource& source, const ProgramLimits& limits = {});
Searched SearchSpan(const Bytes& bytes, const ProgramLimits& limits = {});

Bytes ReadData(const std::string& relative);  // under tests/data; fails the test if missing

// One line of tests/data/programs/manifest.txt.
struct Expected {
  std::uint32_t type;
  bool named;
  std::uint32_t id;
  std::u16string name;
  std::uint32_t language;
  std::string file;
};
std::vector<Expected> Manifest();

inline const char* const kTestPrograms[] = {"pictures32.dll", "pictures64.dll", "pictures32.exe",
                                            "pictures64.exe"};

// --- Built programs -----------------------------------------------------------

struct Resource {
  std::uint32_t type;
  std::u16string name;  // empty: the id names it
  std::uint32_t id;
  std::uint32_t language;
  Bytes data;
};

struct Built {
  Bytes bytes;
  std::int64_t pe = 0;            // "PE\0\0"
  std::int64_t optional = 0;      // the optional header
  std::int64_t sectionTable = 0;  // the first section header
  std::int64_t root = 0;          // the resource tree's root, in the file
  std::uint32_t rootRva = 0;
  // Per resource, in the order given: its language directory entry and its
  // data entry, as file positions.
  std::vector<std::int64_t> languageEntries;
  std::vector<std::int64_t> dataEntries;
  // Per type, in order of first appearance: its entry in the root.
  std::vector<std::int64_t> typeEntries;
  std::vector<std::int64_t> typeDirectories;
};

struct BuildOptions {
  bool plus = false;  // PE32+
  // A code section before the resources, whose raw data holds this many bytes.
  std::uint32_t codeBytes = 0x200;
};

// Types in order of first appearance, names in order of first appearance
// within their type, languages in the order given.
Built BuildProgram(const std::vector<Resource>& resources, const BuildOptions& options = {});

void PutLe16(Bytes& b, std::int64_t at, std::uint32_t v);
void PutLe32(Bytes& b, std::int64_t at, std::uint32_t v);
std::uint32_t GetLe32(const Bytes& b, std::int64_t at);

// Pictures' resources: a DIB of the given header size and fields, with room
// for its table and masks and `pixels` bytes after them.
Bytes Dib(std::uint32_t headerSize, std::int32_t width, std::int32_t height, std::uint16_t bits,
          std::uint32_t compression, std::uint32_t used, std::int64_t tableAndMasks,
          std::int64_t pixels);
// A PNG's first bytes up to its IHDR's fields, then `more` bytes.
Bytes PngHead(std::uint32_t width, std::uint32_t height, std::int64_t more);
// A group resource: the header (0, type, count) and 14-byte entries of
// (width, height, colours, reserved, planes, bits, bytes, id).
struct GroupEntry {
  std::uint8_t width, height, colours, reserved;
  std::uint16_t planes, bits;
  std::uint32_t bytes;
  std::uint16_t id;
};
Bytes Group(std::uint16_t type, const std::vector<GroupEntry>& entries, int count = -1);

}  // namespace qx::testprograms
