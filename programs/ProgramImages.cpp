#include "programs/ProgramImages.h"

#include <algorithm>
#include <limits>
#include <new>
#include <set>
#include <utility>

#include "programs/PictureRules.h"
#include "programs/ProgramLayout.h"
#include "support/SlotReader.h"
#include "support/ByteOrder.h"
#include "support/ByteSearch.h"

namespace qx {

namespace {

using programs_detail::Block;
using programs_detail::Budget;
using programs_detail::HeaderResult;
using programs_detail::kHeadBytes;
using programs_detail::ProgramLayout;
using programs_detail::Reader;

constexpr std::int64_t kDosHeader = 64;
constexpr std::uint32_t kCursor = 1;
constexpr std::uint32_t kBitmap = 2;
constexpr std::uint32_t kIcon = 3;
constexpr std::uint32_t kGroupCursor = 12;
constexpr std::uint32_t kGroupIcon = 14;
constexpr std::uint32_t kHighBit = 0x80000000u;
constexpr std::int64_t kDirectoryHeader = 16;
constexpr std::int64_t kDirectoryEntry = 8;
constexpr std::int64_t kDataEntry = 16;
constexpr std::int64_t kBitmapFileHeader = 14;
constexpr std::int64_t kGroupHeader = 6;
constexpr std::int64_t kGroupEntry = 14;
constexpr std::int64_t kFileEntry = 16;
constexpr std::int64_t kHotSpot = 4;
constexpr std::int64_t kProgramShareBase = 64 * 1024;
constexpr std::int64_t kUnitsPerExtentByte = 4;

void PutLe16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void PutLe32(std::uint8_t* p, std::uint32_t v) {
  PutLe16(p, v);
  PutLe16(p + 2, v >> 16);
}

struct Directory {
  std::int64_t pos = 0;  // of its first entry
  std::int64_t count = 0;
};

struct Entry {
  std::uint32_t name;
  std::uint32_t target;
};

// Where a resource's data lies in the searched bytes.
struct Data {
  std::int64_t pos;
  std::int64_t size;
};

// An RT_ICON or RT_CURSOR id and its language directory, with its place in
// the table so that the first stored of equal ids is found.
struct ImageId {
  std::uint32_t id;
  std::uint32_t index;
  std::uint32_t directory;
  bool operator<(const ImageId& o) const { return id != o.id ? id < o.id : index < o.index; }
};

struct ImageTable {
  bool read = false;
  std::uint32_t directory = 0;
  bool present = false;
  Block<ImageId> ids;
  std::int64_t count = 0;

  void Reset() {
    read = false;
    present = false;
    count = 0;
  }
};

// One image of a group, resolved before the group's file is laid out.
struct Member {
  std::uint8_t fields[12];  // the file entry's first twelve bytes
  std::int64_t pos;
  std::int64_t size;
};

class Search {
 public:
  Search(ByteSource& source, const ProgramImageCallback& onImage, const ProgramLimits& limits,
         ProgramSummary& summary, Budget& budget)
      : length_(source.Length()),
        scan_(source, 0),
        tables_(source, 1),
        bulk_(source, 2),
        onImage_(onImage),
        limits_(limits),
        summary_(summary),
        budget_(budget) {}

  void Run() {
    if (length_ < kDosHeader) return;
    // A candidate needs its 64-byte DOS header inside the bytes.
    const std::int64_t end = length_ - kDosHeader + 1;
    std::int64_t i = 0;
    while (i < end) {
      std::int64_t viewEnd = 0;
      const std::uint8_t* p = scan_.View(i, &viewEnd);
      // FindPair reads the byte at its end: within this view, up to its last
      // byte but one; a pair starting there is met by the next view.
      const std::int64_t stop = viewEnd - 1 < end ? viewEnd - 1 : end;
      const std::int64_t found = i + FindPair(p, 0, stop - i, 'M', 'Z');
      if (found == stop) {
        i = stop;
        continue;
      }
      if (!Examine(found)) return;
      // Programs inside this one are found at their own "MZ".
      i = found + 1;
    }
  }

 private:
  // false once the call's budget is spent.
  bool Examine(std::int64_t mz) {
    const HeaderResult header = programs_detail::ReadProgram(tables_, mz, budget_, &layout_);
    if (header == HeaderResult::kBudgetSpent) return false;
    if (header == HeaderResult::kNotProgram) return true;
    ++summary_.programs;
    if (layout_.resourceRva == 0) return true;
    const std::int64_t fair = kUnitsPerExtentByte * layout_.extent + kProgramShareBase;
    const bool cutByCall = budget_.left() <= fair;
    Budget share(cutByCall ? budget_.left() : fair);
    WalkResources(share);
    budget_.Take(share.used());
    if (share.spentOut() && cutByCall) budget_.SpendOut();
    return !budget_.spentOut();
  }

  // -- The tree ------------------------------------------------------------

  // The directory at `offset` from the root; false when it lies outside the
  // section, was walked before for the same type (when `once`), or the
  // share is spent. Its entries are as many as its counts say and the
  // section holds.
  bool OpenDirectory(std::uint32_t offset, std::uint32_t type, bool once, Directory* dir) {
    if (offset > treeSize_ - kDirectoryHeader) return false;
    if (once && !FirstVisit(offset, type)) return false;
    if (!share_->Take(kDirectoryHeader)) return false;
    std::uint8_t h[kDirectoryHeader];
    tables_.Copy(root_ + offset, kDirectoryHeader, h);
    const std::int64_t stored = std::int64_t{ReadLe16(h + 12)} + ReadLe16(h + 14);
    const std::int64_t room = (treeSize_ - offset - kDirectoryHeader) / kDirectoryEntry;
    dir->pos = root_ + offset + kDirectoryHeader;
    dir->count = std::min(stored, room);
    return true;
  }

  // Whether the directory at `offset` is walked for the first time in this
  // program for this type (the root's type is 0): a loop, or two entries
  // sharing a directory, would otherwise walk it again. Counted per type, so
  // that entries of another type's table read by mistake (a directory whose
  // counts overstate its entries) cannot take a directory from its own
  // type; each directory is still walked at most once per type. Overlapping
  // directories at different offsets are paid for by the program's share.
  bool FirstVisit(std::uint32_t offset, std::uint32_t type) {
    try {
      return visited_.insert((std::uint64_t{type} << 32) | offset).second;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }

  bool ReadEntry(const Directory& dir, std::int64_t k, Entry* entry) {
    if (!share_->Take(kDirectoryEntry)) return false;
    std::uint8_t e[kDirectoryEntry];
    tables_.Copy(dir.pos + kDirectoryEntry * k, kDirectoryEntry, e);
    *entry = {ReadLe32(e), ReadLe32(e + 4)};
    return true;
  }

  // The data entry at `offset` from the root, mapped through the sections.
  bool ReadData(std::uint32_t offset, Data* data) {
    if (offset > treeSize_ - kDataEntry) return false;
    if (!share_->Take(kDataEntry)) return false;
    std::uint8_t d[kDataEntry];
    tables_.Copy(root_ + offset, kDataEntry, d);
    const std::uint32_t rva = ReadLe32(d);
    const std::uint32_t size = ReadLe32(d + 4);
    std::int64_t sectionEnd = 0;
    if (!programs_detail::MapRva(layout_, length_, rva, size, &data->pos, &sectionEnd)) return false;
    data->size = size;
    return true;
  }

  // A name string at `offset` from the root: a 16-bit count of UTF-16 units,
  // then the units.
  bool ReadName(std::uint32_t offset, std::u16string* name) {
    if (offset > treeSize_ - 2) return false;
    const std::int64_t units = tables_.Le16(root_ + offset);
    if (units > (treeSize_ - offset - 2) / 2 || !share_->Take(2 + 2 * units)) return false;
    try {
      name->resize(static_cast<std::size_t>(units));
    } catch (const std::bad_alloc&) {
      return false;
    }
    for (std::int64_t k = 0; k < units; ++k) {
      (*name)[static_cast<std::size_t>(k)] = tables_.Le16(root_ + offset + 2 + 2 * k);
    }
    return true;
  }

  void WalkResources(Budget& share) {
    share_ = &share;
    visited_.clear();
    images_.Reset();
    cursors_.Reset();
    std::int64_t sectionEnd = 0;
    if (!programs_detail::MapRva(layout_, length_, layout_.resourceRva, kDirectoryHeader, &root_,
                                 &sectionEnd)) {
      return;
    }
    treeSize_ = sectionEnd - root_;
    Directory types;
    if (!OpenDirectory(0, 0, true, &types)) return;
    // The first entry of each wanted type decides it; pictures come in the
    // order of their types' entries.
    bool seen[kGroupIcon + 1] = {};
    std::pair<std::uint32_t, std::uint32_t> pictures[3];
    int pictureTypes = 0;
    for (std::int64_t k = 0; k < types.count; ++k) {
      Entry e{};
      if (!ReadEntry(types, k, &e)) return;
      if ((e.name & kHighBit) != 0) continue;
      const std::uint32_t type = e.name;
      if (type != kCursor && type != kBitmap && type != kIcon && type != kGroupCursor &&
          type != kGroupIcon) {
        continue;
      }
      if (seen[type]) continue;
      seen[type] = true;
      if ((e.target & kHighBit) == 0) continue;
      const std::uint32_t directory = e.target & ~kHighBit;
      if (type == kIcon) {
        images_.present = true;
        images_.directory = directory;
      } else if (type == kCursor) {
        cursors_.present = true;
        cursors_.directory = directory;
      } else {
        pictures[pictureTypes++] = {type, directory};
      }
    }
    for (int t = 0; t < pictureTypes; ++t) {
      if (!WalkType(pictures[t].first, pictures[t].second)) return;
    }
  }

  // The names and languages of one picture type; false once the share is
  // spent.
  bool WalkType(std::uint32_t type, std::uint32_t offset) {
    Directory names;
    if (!OpenDirectory(offset, type, true, &names)) return !share_->spentOut();
    for (std::int64_t k = 0; k < names.count; ++k) {
      Entry n{};
      if (!ReadEntry(names, k, &n)) return false;
      if ((n.target & kHighBit) == 0) continue;
      ProgramImage named{};
      named.type = type;
      named.programOffset = layout_.mz;
      named.named = (n.name & kHighBit) != 0;
      if (named.named) {
        if (!ReadName(n.name & ~kHighBit, &named.name)) {
          if (share_->spentOut()) return false;
          continue;
        }
      } else {
        named.id = n.name;
      }
      Directory languages;
      if (!OpenDirectory(n.target & ~kHighBit, type, true, &languages)) {
        if (share_->spentOut()) return false;
        continue;
      }
      for (std::int64_t j = 0; j < languages.count; ++j) {
        Entry l{};
        if (!ReadEntry(languages, j, &l)) return false;
        if ((l.name & kHighBit) != 0 || (l.target & kHighBit) != 0) continue;
        Data data{};
        if (!ReadData(l.target, &data)) {
          if (share_->spentOut()) return false;
          ++summary_.notWritten;
          continue;
        }
        ProgramImage image = named;
        image.language = l.name;
        image.resourceOffset = data.pos;
        image.resourceLength = data.size;
        const bool written = type == kBitmap ? WriteBitmap(image) : WriteGroup(image);
        if (share_->spentOut()) return false;
        if (!written) ++summary_.notWritten;
      }
    }
    return true;
  }

  // -- The pictures ----------------------------------------------------------

  bool Hand(ProgramImage& image, std::int64_t length) {
    image.data = file_.data();
    image.length = length;
    ++summary_.images;
    onImage_(image);
    return true;
  }

  // Room for a rebuilt file of `length` bytes, within the limits.
  bool Room(std::int64_t length) {
    if (length > limits_.imageBytes) return false;
    return share_->Take(length) && file_.Reserve(length);
  }

  bool WriteBitmap(ProgramImage& image) {
    const std::int64_t size = image.resourceLength;
    if (size < 4) return false;
    std::uint8_t head[kHeadBytes];
    const std::int64_t headLength = std::min(size, kHeadBytes);
    if (!share_->Take(headLength)) return false;
    bulk_.Copy(image.resourceOffset, headLength, head);
    const std::int64_t pixels = programs_detail::BitmapPixelOffset(head, size);
    if (pixels < 0) return false;
    const std::int64_t length = kBitmapFileHeader + size;
    if (!Room(length)) return false;
    std::uint8_t* out = file_.data();
    out[0] = 'B';
    out[1] = 'M';
    PutLe32(out + 2, static_cast<std::uint32_t>(length));
    PutLe32(out + 6, 0);
    PutLe32(out + 10, static_cast<std::uint32_t>(pixels));
    bulk_.Copy(image.resourceOffset, size, out + kBitmapFileHeader);
    image.kind = ProgramImageKind::kBitmap;
    image.images = 1;
    return Hand(image, length);
  }

  // The ids of the RT_ICON or RT_CURSOR images, read when a group first
  // needs them.
  bool ReadIds(ImageTable& table, std::uint32_t type) {
    table.read = true;
    Directory dir;
    if (!table.present || !OpenDirectory(table.directory, type, true, &dir)) {
      return !share_->spentOut();
    }
    if (!table.ids.Reserve(dir.count)) return true;
    for (std::int64_t k = 0; k < dir.count; ++k) {
      Entry e{};
      if (!ReadEntry(dir, k, &e)) return false;
      if ((e.name & kHighBit) != 0 || (e.target & kHighBit) == 0) continue;
      table.ids.data()[table.count++] =
          ImageId{e.name, static_cast<std::uint32_t>(k), e.target & ~kHighBit};
    }
    std::sort(table.ids.data(), table.ids.data() + table.count);
    return true;
  }

  // The image of `id` in `language` if stored, else in the first language
  // stored; false when there is none or it lies outside.
  bool FindImage(const ImageTable& table, std::uint32_t id, std::uint32_t language, Data* data) {
    const ImageId* first = table.ids.data();
    const ImageId* last = first + table.count;
    const ImageId* it = std::lower_bound(first, last, ImageId{id, 0, 0});
    if (it == last || it->id != id) return false;
    Directory languages;
    if (!OpenDirectory(it->directory, 0, false, &languages)) return false;
    std::uint32_t chosen = 0;
    bool any = false;
    for (std::int64_t j = 0; j < languages.count; ++j) {
      Entry l{};
      if (!ReadEntry(languages, j, &l)) return false;
      if ((l.name & kHighBit) != 0 || (l.target & kHighBit) != 0) continue;
      if (!any || l.name == language) {
        chosen = l.target;
        any = true;
        if (l.name == language) break;
      }
    }
    return any && ReadData(chosen, data);
  }

  bool WriteGroup(ProgramImage& image) {
    const bool cursors = image.type == kGroupCursor;
    ImageTable& table = cursors ? cursors_ : images_;
    if (!table.read && !ReadIds(table, cursors ? kCursor : kIcon)) return false;
    const std::int64_t groupSize = image.resourceLength;
    if (groupSize < kGroupHeader || !share_->Take(kGroupHeader)) return false;
    const std::int64_t stored = tables_.Le16(image.resourceOffset + 4);
    const std::int64_t count = std::min(stored, (groupSize - kGroupHeader) / kGroupEntry);
    if (count == 0 || !members_.Reserve(count)) return false;
    std::int64_t kept = 0;
    std::int64_t length = kGroupHeader;
    for (std::int64_t k = 0; k < count; ++k) {
      if (!share_->Take(kGroupEntry)) return false;
      std::uint8_t g[kGroupEntry];
      tables_.Copy(image.resourceOffset + kGroupHeader + kGroupEntry * k, kGroupEntry, g);
      Data data{};
      if (!FindImage(table, ReadLe16(g + 12), image.language, &data)) {
        if (share_->spentOut()) return false;
        ++image.imagesMissing;
        continue;
      }
      Member& m = members_.data()[kept];
      if (!(cursors ? Cursor(data, m) : Icon(g, data, m))) {
        if (share_->spentOut()) return false;
        ++image.imagesMissing;
        continue;
      }
      PutLe32(m.fields + 8, static_cast<std::uint32_t>(m.size));
      ++kept;
      length += kFileEntry + m.size;
      if (length > limits_.imageBytes) return false;
    }
    if (kept == 0 || !Room(length)) return false;
    std::uint8_t* out = file_.data();
    PutLe16(out, 0);
    PutLe16(out + 2, cursors ? 2 : 1);
    PutLe16(out + 4, static_cast<std::uint32_t>(kept));
    std::int64_t at = kGroupHeader + kFileEntry * kept;
    for (std::int64_t k = 0; k < kept; ++k) {
      const Member& m = members_.data()[k];
      std::uint8_t* entry = out + kGroupHeader + kFileEntry * k;
      std::copy(m.fields, m.fields + 12, entry);
      PutLe32(entry + 12, static_cast<std::uint32_t>(at));
      bulk_.Copy(m.pos, m.size, out + at);
      at += m.size;
    }
    image.kind = cursors ? ProgramImageKind::kCursorGroup : ProgramImageKind::kIconGroup;
    image.images = static_cast<int>(kept);
    return Hand(image, length);
  }

  // An icon entry keeps the group entry's fields, with the image's real size.
  static bool Icon(const std::uint8_t* g, const Data& data, Member& m) {
    if (data.size == 0) return false;
    std::copy(g, g + 12, m.fields);
    m.pos = data.pos;
    m.size = data.size;
    return true;
  }

  // A cursor entry takes its size from the image and its hot spot from the
  // resource's first four bytes.
  bool Cursor(const Data& data, Member& m) {
    const std::int64_t size = data.size - kHotSpot;
    if (size <= 0) return false;
    std::uint8_t head[kHotSpot + kHeadBytes];
    const std::int64_t headLength = kHotSpot + std::min(size, kHeadBytes);
    if (!share_->Take(headLength)) return false;
    bulk_.Copy(data.pos, headLength, head);
    programs_detail::CursorImage c{};
    if (!programs_detail::ReadCursorImage(head + kHotSpot, size, &c)) return false;
    m.fields[0] = c.width;
    m.fields[1] = c.height;
    m.fields[2] = c.colours;
    m.fields[3] = 0;
    std::copy(head, head + kHotSpot, m.fields + 4);
    m.pos = data.pos + kHotSpot;
    m.size = size;
    return true;
  }

  const std::int64_t length_;
  Reader scan_;    // the search for "MZ"
  Reader tables_;  // headers and tables
  Reader bulk_;    // the pictures' bytes
  const ProgramImageCallback& onImage_;
  const ProgramLimits& limits_;
  ProgramSummary& summary_;
  Budget& budget_;

  ProgramLayout layout_;
  Budget* share_ = nullptr;
  std::int64_t root_ = 0;
  std::int64_t treeSize_ = 0;
  std::set<std::uint64_t> visited_;
  ImageTable images_;
  ImageTable cursors_;
  Block<Member> members_;
  Block<std::uint8_t> file_;
};

}  // namespace

std::int64_t DefaultProgramWork(std::int64_t length) {
  constexpr std::int64_t kBase = 16 << 20;
  constexpr std::int64_t kMost = std::numeric_limits<std::int64_t>::max();
  if (length <= 0) return kBase;
  if (length > (kMost - kBase) / 8) return kMost;
  return 8 * length + kBase;
}

ProgramSummary FindProgramImages(ByteSource& source, const ProgramImageCallback& onImage,
                                 const ProgramLimits& limits) {
  ProgramSummary summary;
  Budget budget(limits.workBudget > 0 ? limits.workBudget : DefaultProgramWork(source.Length()));
  Search(source, onImage, limits, summary, budget).Run();
  summary.work = budget.used();
  summary.budgetSpent = budget.spentOut();
  return summary;
}

}  // namespace qx
