#include "programs/ProgramLayout.h"

#include <algorithm>

#include "support/ByteOrder.h"

namespace qx::programs_detail {

namespace {

constexpr std::int64_t kDosHeader = 64;
constexpr std::int64_t kFileHeader = 24;  // "PE\0\0" and the COFF header
constexpr std::int64_t kSectionHeader = 40;
constexpr std::uint16_t kPe32 = 0x10B;
constexpr std::uint16_t kPe32Plus = 0x20B;
constexpr std::int64_t kResourceIndex = 2;
constexpr std::int64_t kFourGiB = std::int64_t{1} << 32;

// The machine values the format documents; anything else is taken for bytes
// that merely look like a header.
bool KnownMachine(std::uint16_t machine) {
  switch (machine) {
    case 0x014C: case 0x0162: case 0x0166: case 0x0168: case 0x0169: case 0x0184:
    case 0x01A2: case 0x01A3: case 0x01A6: case 0x01A8: case 0x01C0: case 0x01C2:
    case 0x01C4: case 0x01D3: case 0x01F0: case 0x01F1: case 0x0200: case 0x0266:
    case 0x0284: case 0x0366: case 0x0466: case 0x0520: case 0x0CEF: case 0x0EBC:
    case 0x5032: case 0x5064: case 0x5128: case 0x6232: case 0x6264: case 0x8664:
    case 0x9041: case 0xA641: case 0xA64E: case 0xAA64:
      return true;
    default:
      return false;
  }
}

}  // namespace

HeaderResult ReadProgram(Reader& reader, std::int64_t mz, Budget& budget, ProgramLayout* layout) {
  const std::int64_t length = reader.Length();
  if (length - mz < kDosHeader) return HeaderResult::kNotProgram;
  const std::int64_t lfanew = reader.Le32(mz + 0x3C);
  // The PE header may overlap the DOS header (tiny programs do), not "MZ".
  if (lfanew < 4 || lfanew > length - mz - kFileHeader) return HeaderResult::kNotProgram;
  const std::int64_t pe = mz + lfanew;
  std::uint8_t file[kFileHeader];
  reader.Copy(pe, kFileHeader, file);
  if (file[0] != 'P' || file[1] != 'E' || file[2] != 0 || file[3] != 0) {
    return HeaderResult::kNotProgram;
  }
  const std::uint16_t machine = ReadLe16(file + 4);
  const std::int64_t sectionCount = ReadLe16(file + 6);
  const std::int64_t optionalSize = ReadLe16(file + 20);
  if (!KnownMachine(machine) || sectionCount == 0) return HeaderResult::kNotProgram;
  const std::int64_t optional = pe + kFileHeader;
  if (optionalSize < 2 || length - optional < 2) return HeaderResult::kNotProgram;
  const std::uint16_t magic = reader.Le16(optional);
  std::int64_t directories = 0;
  if (magic == kPe32) {
    directories = 96;
  } else if (magic == kPe32Plus) {
    directories = 112;
  } else {
    return HeaderResult::kNotProgram;
  }
  const std::int64_t needed = directories + 8 * (kResourceIndex + 1);
  if (optionalSize < needed || length - optional < needed) return HeaderResult::kNotProgram;
  const std::int64_t table = optional + optionalSize;
  if (table > length || (length - table) / kSectionHeader < sectionCount) {
    return HeaderResult::kNotProgram;
  }
  // From here the reads depend on the tables' sizes: charged, since many
  // "MZ" may lead to one header.
  if (!budget.Take(kFileHeader + needed + kSectionHeader * sectionCount)) {
    return HeaderResult::kBudgetSpent;
  }
  const std::uint32_t directoryCount = reader.Le32(optional + directories - 4);
  if (directoryCount <= kResourceIndex) return HeaderResult::kNotProgram;
  const std::uint32_t resourceRva = reader.Le32(optional + directories + 8 * kResourceIndex);
  if (!layout->sections.Reserve(sectionCount)) return HeaderResult::kNotProgram;

  layout->mz = mz;
  layout->resourceRva = resourceRva;
  layout->extent = table + kSectionHeader * sectionCount - mz;
  std::int64_t kept = 0;
  std::int64_t previousEnd = 0;
  for (std::int64_t k = 0; k < sectionCount; ++k) {
    std::uint8_t h[kSectionHeader];
    reader.Copy(table + kSectionHeader * k, kSectionHeader, h);
    const std::uint32_t virtualSize = ReadLe32(h + 8);
    const std::uint32_t virtualAddress = ReadLe32(h + 12);
    const std::uint32_t rawSize = ReadLe32(h + 16);
    const std::uint32_t rawPointer = ReadLe32(h + 20);
    const std::uint32_t span = virtualSize != 0 ? virtualSize : rawSize;
    const std::int64_t virtualEnd = std::int64_t{virtualAddress} + span;
    // The loader wants ascending, disjoint sections; a table that wraps or
    // turns back ends here.
    if (virtualEnd > kFourGiB || virtualAddress < previousEnd) break;
    previousEnd = virtualEnd;
    layout->sections.data()[kept++] = Section{virtualAddress, span, rawSize, rawPointer};
    if (rawPointer < length - mz) {
      const std::int64_t rawEnd = std::min<std::int64_t>(std::int64_t{rawPointer} + rawSize, length - mz);
      layout->extent = std::max(layout->extent, rawEnd);
    }
  }
  layout->sectionCount = kept;
  return HeaderResult::kProgram;
}

bool MapRva(const ProgramLayout& layout, std::int64_t length, std::uint32_t rva,
            std::uint32_t size, std::int64_t* pos, std::int64_t* sectionEnd) {
  const Section* first = layout.sections.data();
  const Section* last = first + layout.sectionCount;
  // The last section starting at or below rva: the only one that can hold it.
  const Section* s = std::upper_bound(first, last, rva, [](std::uint32_t value, const Section& t) {
    return value < t.virtualAddress;
  });
  if (s == first) return false;
  --s;
  const std::int64_t offset = std::int64_t{rva} - s->virtualAddress;
  if (offset >= s->virtualSize || offset + size > s->rawSize) return false;
  const std::int64_t start = layout.mz + s->rawPointer + offset;
  if (start > length || length - start < size) return false;
  *pos = start;
  *sectionEnd = std::min<std::int64_t>(length, layout.mz + std::int64_t{s->rawPointer} + s->rawSize);
  return true;
}

}  // namespace qx::programs_detail
