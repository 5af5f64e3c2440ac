// The PNG search.
//
// A candidate is a signature at i; its chunk walk starts at i + 8. One step
// of a walk at position j reads the chunk header there, marks IHDR, IDAT or
// IEND, and either dies (fewer than 12 bytes left, or a chunk inside the
// buffer with a wrong CRC), moves to the end of a verified chunk, or moves 4
// bytes on when the chunk does not fit. A walk ends after the step that saw
// IEND. None of this depends on where the walk started, so the outcome of a
// walk from any position is fixed for the whole buffer: "dead", or "reaches
// IEND, having seen the flags F on the way". Positions only grow along a
// walk, so walks cannot loop.
//
// Two things would make a naive scan quadratic, and both are avoided:
//  - Walks repeating each other. After a rejected candidate the scan goes on
//    one byte later, and the next signature's walk often joins the path of
//    an earlier one (back-to-back signatures, a long chunk chain with many
//    signatures pointing into it). Rejected walks leave their outcome on
//    their path, and a walk that meets it stops there:
//      - a dead path costs one bit per position, and every position of it
//        is marked;
//      - a path that reaches IEND needs its flags as well, so it keeps them
//        only at checkpoints spaced by work, in a table of bounded size; a
//        walk that joins it between checkpoints redoes a bounded amount;
//      - the leading run of 4-byte steps of a recent walk (what back-to-back
//        signatures produce) is described by that walk alone, and answers
//        any walk that steps onto it, whatever its outcome.
//    A walk of a single step is cheaper to redo than to record.
//  - CRCs of overlapping chunks. Chunks of different candidates may cover the
//    same bytes many times over. Once the CRC work exceeds one pass over the
//    buffer, long ranges are computed from a table of prefix CRCs instead.
// Only rejected walks publish: an accepted image is skipped whole, and
// nothing behind the scan position is walked again, so what was recorded
// there is released as the scan moves on.
//
// All of this memory is an optimisation: about a quarter of the buffer's
// size at most (a bit per position, and a sixteenth of the size each for the
// checkpoints and the prefix CRCs), and taken without exceptions. When a
// piece cannot be had, the scan carries on without it, gives the same
// results, and asks again after a while.

#include <cstring>
#include <new>

#include "checksum/CCrc.h"
#include "checksum/Crc32Combine.h"
#include "checksum/Crc32Tables.h"
#include "scanners/ByteSearch.h"
#include "scanners/Scanners.h"
#include "support/ByteOrder.h"

namespace qx {

namespace {

constexpr std::uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::int64_t kTail = 50;
constexpr std::int64_t kChunkOverhead = 12;  // length, type and CRC fields

enum Flags : unsigned { kNone = 0, kIhdr = 1, kIdat = 2, kIend = 4 };

unsigned TypeFlag(const std::uint8_t* type) {
  // The four type bytes exactly; case counts.
  switch (ReadBe32(type)) {
    case 0x49484452u:  // IHDR
      return kIhdr;
    case 0x49444154u:  // IDAT
      return kIdat;
    case 0x49454E44u:  // IEND
      return kIend;
    default:
      return kNone;
  }
}

// The chunk whose header is at j (j + 12 <= length). It counts as inside
// when its CRC field ends inside the buffer and the CRC engine, which takes a
// 32-bit count, can take its type and data in one call.
struct Chunk {
  std::uint32_t dataLength;
  std::int64_t end;  // just past its CRC field
  bool inside;
};

Chunk ChunkAt(const std::uint8_t* data, std::int64_t length, std::int64_t j) {
  const std::uint32_t dataLength = ReadBe32(data + j);
  const std::int64_t end = j + kChunkOverhead + static_cast<std::int64_t>(dataLength);
  return {dataLength, end, end <= length && dataLength <= 0xFFFFFFFFu - 4};
}

constexpr std::uint32_t ReverseBytes(std::uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}

// Multiplication modulo the CRC-32 polynomial in the register's reflected bit
// order, as Crc32MultiplyModP, four bits of `a` at a time: the long-range CRCs
// below need two per chunk.
constexpr std::uint32_t TimesX(std::uint32_t v) {
  return (v >> 1) ^ (kCrc32Polynomial & (0u - (v & 1u)));
}

struct NibbleReduction {
  std::uint32_t byLowBits[16];
};

constexpr NibbleReduction MakeNibbleReduction() {
  NibbleReduction r{};
  for (std::uint32_t low = 0; low < 16; ++low) {
    r.byLowBits[low] = TimesX(TimesX(TimesX(TimesX(low))));
  }
  return r;
}

inline constexpr NibbleReduction kNibbleReduction = MakeNibbleReduction();

constexpr std::uint32_t MultiplyModP(std::uint32_t a, std::uint32_t b) {
  // Bit 0 of a nibble of `a` is its highest power of x.
  std::uint32_t multiples[16] = {};
  multiples[8] = b;
  multiples[4] = TimesX(b);
  multiples[2] = TimesX(multiples[4]);
  multiples[1] = TimesX(multiples[2]);
  for (unsigned n = 3; n < 16; ++n) {
    if ((n & (n - 1)) != 0) multiples[n] = multiples[n & (n - 1)] ^ multiples[n & (0u - n)];
  }
  std::uint32_t product = 0;
  for (unsigned shift = 0; shift < 32; shift += 4) {
    product = (product >> 4) ^ kNibbleReduction.byLowBits[product & 15u] ^
              multiples[(a >> shift) & 15u];
  }
  return product;
}

static_assert(MultiplyModP(0x12345678u, 0x9ABCDEF0u) == Crc32MultiplyModP(0x12345678u, 0x9ABCDEF0u));
static_assert(MultiplyModP(0xFFFFFFFFu, 0x80000001u) == Crc32MultiplyModP(0xFFFFFFFFu, 0x80000001u));
static_assert(MultiplyModP(Crc32ShiftFactor(4096), 0xCBF43926u) ==
              Crc32MultiplyModP(Crc32ShiftFactor(4096), 0xCBF43926u));

// After a failed allocation, how many further requests to let pass before
// asking the allocator again: a failure costs a system call or more, and a
// scan under memory pressure must not pay it per position.
class RetryGate {
 public:
  bool MayTry() {
    if (waiting_ == 0) return true;
    --waiting_;
    return false;
  }
  void Failed() { waiting_ = kInterval; }

 private:
  static constexpr std::uint32_t kInterval = 1u << 16;
  std::uint32_t waiting_ = 0;
};

// CRCs of byte ranges of one buffer, in the byte order CCrc stores them (the
// chunk's CRC field read little-endian). The bytes of a range go through one
// CCrc, as the scan verifies chunk after chunk. When the bytes hashed would
// exceed one pass over the buffer, ranges overlap, and the CRC registers at
// every block boundary are computed once (one more pass). With P(x) the
// register after the bytes [0, x) from the initial value, a range costs two
// partial blocks and a shift:
//   crc[a, b) = ~(P(b) ^ shift(P(a) ^ ~0, b - a)).
class RangeCrc {
 public:
  RangeCrc(const std::uint8_t* data, std::int64_t length)
      : data_(data), length_(length), nextAttempt_(length) {}
  ~RangeCrc() { delete[] tables_; }
  RangeCrc(const RangeCrc&) = delete;
  RangeCrc& operator=(const RangeCrc&) = delete;

  // False when the CRC engine delivered nothing (a caught fault).
  bool Get(std::int64_t start, std::uint32_t count, std::uint32_t* stored) {
    // A coarse table (when memory was short) only pays off for longer ranges.
    if (count >= kPrefixMinimum && PrefixesReady(count) && count >= std::uint32_t{2} << shift_) {
      const std::uint32_t shifted = MultiplyModP(ShiftFactor(count), Register(start) ^ 0xFFFFFFFFu);
      *stored = ReverseBytes(~(Register(start + count) ^ shifted));
      return true;
    }
    directBytes_ += count;
    return crc_.Crc32_GetFromBuffer(data_ + start, count, stored);
  }

 private:
  static constexpr std::uint32_t kPrefixMinimum = 512;
  // Block sizes to try, finest first: a coarser table is smaller, and only
  // makes each range's partial blocks longer.
  static constexpr unsigned kFinestShift = 6;
  static constexpr unsigned kCoarsestShift = 16;
  // Shift factors are combined from two tables: x^(8k) for the low bits of a
  // count, and x^(8 * 4096 * k) for the rest.
  static constexpr unsigned kLowBits = 12;
  static constexpr std::uint32_t kLowCount = 1u << kLowBits;

  bool PrefixesReady(std::uint32_t count) {
    if (tables_ != nullptr) return true;
    if (directBytes_ + count <= nextAttempt_) return false;
    for (unsigned shift = kFinestShift; shift <= kCoarsestShift; shift += 2) {
      if (Build(shift)) return true;
    }
    // Only slower without the table, never different; the next attempt
    // comes after another pass over the buffer's worth of direct work.
    nextAttempt_ = directBytes_ + count + length_;
    return false;
  }

  bool Build(unsigned shift) {
    const auto blocks = static_cast<std::size_t>(length_ >> shift);
    const auto highCount = static_cast<std::size_t>(length_ >> kLowBits) + 1;
    tables_ = new (std::nothrow) std::uint32_t[blocks + 1 + kLowCount + highCount];
    if (tables_ == nullptr) return false;
    shift_ = shift;
    prefix_ = tables_;
    lowFactor_ = prefix_ + blocks + 1;
    highFactor_ = lowFactor_ + kLowCount;

    const std::size_t block = std::size_t{1} << shift;
    prefix_[0] = 0xFFFFFFFFu;
    for (std::size_t k = 0; k < blocks; ++k) {
      prefix_[k + 1] = Crc32UpdateSliced(prefix_[k], data_ + k * block, block);
    }
    const std::uint32_t oneByte = Crc32ShiftFactor(1);
    lowFactor_[0] = Crc32ShiftFactor(0);
    for (std::uint32_t k = 1; k < kLowCount; ++k) {
      lowFactor_[k] = MultiplyModP(lowFactor_[k - 1], oneByte);
    }
    const std::uint32_t oneHigh = Crc32ShiftFactor(kLowCount);
    highFactor_[0] = Crc32ShiftFactor(0);
    for (std::size_t k = 1; k < highCount; ++k) {
      highFactor_[k] = MultiplyModP(highFactor_[k - 1], oneHigh);
    }
    return true;
  }

  // x^(8 * count): moves a register past count further bytes.
  std::uint32_t ShiftFactor(std::uint32_t count) const {
    return MultiplyModP(lowFactor_[count & (kLowCount - 1)], highFactor_[count >> kLowBits]);
  }

  std::uint32_t Register(std::int64_t position) const {
    const std::int64_t block = position >> shift_;
    const std::int64_t from = block << shift_;
    return Crc32UpdateSliced(prefix_[static_cast<std::size_t>(block)], data_ + from,
                             static_cast<std::size_t>(position - from));
  }

  CCrc crc_;
  const std::uint8_t* data_;
  std::int64_t length_;
  std::int64_t directBytes_ = 0;
  std::int64_t nextAttempt_;
  std::uint32_t* tables_ = nullptr;  // one block: prefix_, lowFactor_, highFactor_
  std::uint32_t* prefix_ = nullptr;  // prefix_[k]: P(k << shift_)
  std::uint32_t* lowFactor_ = nullptr;
  std::uint32_t* highFactor_ = nullptr;
  unsigned shift_ = 0;
};

// Memory is only kept for buffers whose positions fit the checkpoint table's
// 32-bit entries; larger ones (the scanner is never given one) are scanned
// without it.
constexpr std::int64_t kMaxMemoLength = (std::int64_t{1} << 30) - 2;

// One bit per buffer position, in pages taken as they are first written and
// released once the scan has passed them.
class PositionBits {
 public:
  explicit PositionBits(std::int64_t length)
      : pageCount_(length <= kMaxMemoLength ? static_cast<std::size_t>(length >> kPageShift) + 1
                                            : 0) {}
  ~PositionBits() {
    if (pages_ == nullptr) return;
    for (std::size_t k = 0; k < pageCount_; ++k) delete[] pages_[k];
    delete[] pages_;
  }
  PositionBits(const PositionBits&) = delete;
  PositionBits& operator=(const PositionBits&) = delete;

  bool Test(std::int64_t position) const {
    if (pages_ == nullptr) return false;
    const std::uint64_t* page = pages_[static_cast<std::size_t>(position >> kPageShift)];
    if (page == nullptr) return false;
    const auto bit = static_cast<std::size_t>(position) & kPageMask;
    return ((page[bit >> 6] >> (bit & 63)) & 1u) != 0;
  }

  // False when the position's page is not there and cannot be had now.
  bool Set(std::int64_t position) {
    std::uint64_t* page = PageFor(position);
    if (page == nullptr) return false;
    const auto bit = static_cast<std::size_t>(position) & kPageMask;
    page[bit >> 6] |= std::uint64_t{1} << (bit & 63);
    return true;
  }

  void Clear(std::int64_t position) {
    if (pages_ == nullptr) return;
    std::uint64_t* page = pages_[static_cast<std::size_t>(position >> kPageShift)];
    if (page == nullptr) return;
    const auto bit = static_cast<std::size_t>(position) & kPageMask;
    page[bit >> 6] &= ~(std::uint64_t{1} << (bit & 63));
  }

  // Positions below `floor` are never asked about again.
  void ReleaseBelow(std::int64_t floor) {
    const auto below = static_cast<std::size_t>(floor >> kPageShift);
    for (; released_ < below && released_ < pageCount_; ++released_) {
      if (pages_ == nullptr) continue;
      delete[] pages_[released_];
      pages_[released_] = nullptr;
    }
  }

 private:
  static constexpr unsigned kPageShift = 19;  // 64 KiB of bits per page
  static constexpr std::size_t kPageMask = (std::size_t{1} << kPageShift) - 1;
  static constexpr std::size_t kWordsPerPage = (std::size_t{1} << kPageShift) / 64;

  std::uint64_t* PageFor(std::int64_t position) {
    const auto index = static_cast<std::size_t>(position >> kPageShift);
    if (index >= pageCount_ || index < released_) return nullptr;
    if (pages_ == nullptr) {
      if (!gate_.MayTry()) return nullptr;
      pages_ = new (std::nothrow) std::uint64_t*[pageCount_]();
      if (pages_ == nullptr) {
        gate_.Failed();
        return nullptr;
      }
    }
    if (pages_[index] == nullptr) {
      if (!gate_.MayTry()) return nullptr;
      pages_[index] = new (std::nothrow) std::uint64_t[kWordsPerPage]();
      if (pages_[index] == nullptr) gate_.Failed();
    }
    return pages_[index];
  }

  std::size_t pageCount_;
  std::uint64_t** pages_ = nullptr;
  std::size_t released_ = 0;
  RetryGate gate_;
};

// Checkpoints of paths that reach IEND: position -> the IHDR and IDAT flags
// seen from there on (never both: such a walk would have been accepted), in
// an open-addressing table of 32-bit entries (position + 1) << 2 | flags.
// The table grows up to a fixed share of the buffer's size.
class CheckpointTable {
 public:
  enum class Added { kYes, kNoRoomNow, kFull };

  explicit CheckpointTable(std::int64_t length) {
    // At most one byte per sixteen buffer bytes.
    const std::int64_t budget = length / 16 / static_cast<std::int64_t>(sizeof(std::uint32_t));
    if (budget > static_cast<std::int64_t>(maxSlots_)) maxSlots_ = static_cast<std::size_t>(budget);
  }
  ~CheckpointTable() { delete[] slots_; }
  CheckpointTable(const CheckpointTable&) = delete;
  CheckpointTable& operator=(const CheckpointTable&) = delete;

  // The flags recorded at `position`, or -1 when it is no checkpoint.
  int Find(std::int64_t position) const {
    if (slots_ == nullptr) return -1;
    const auto key = static_cast<std::uint32_t>(position + 1);
    // Walks from nearby signatures tend to meet the same checkpoint.
    if ((lastFound_ >> 2) == key) return static_cast<int>(lastFound_ & 3u);
    for (std::size_t slot = Home(key);; slot = Following(slot)) {
      const std::uint32_t entry = slots_[slot];
      if (entry == 0) return -1;
      if ((entry >> 2) == key) {
        lastFound_ = entry;
        return static_cast<int>(entry & 3u);
      }
    }
  }

  // `floor`: entries below it are dropped when the table is rebuilt.
  Added Add(std::int64_t position, unsigned flags, std::int64_t floor) {
    if (count_ + 1 > size_ * 7 / 10) {
      if (size_ >= maxSlots_) return Added::kFull;
      if (gate_.MayTry()) {
        const std::size_t larger = size_ == 0 ? kInitialSlots : size_ * 2;
        if (!Rebuild(larger < maxSlots_ ? larger : maxSlots_, floor)) gate_.Failed();
      }
      // Without a larger table, a fuller one still works, only slower.
      if (count_ + 1 > size_ * 9 / 10) return Added::kNoRoomNow;
    }
    Place((static_cast<std::uint32_t>(position + 1) << 2) | flags);
    ++count_;
    return Added::kYes;
  }

  // Calls forget(position) for every entry, then empties the table.
  template <class Forget>
  void Clear(Forget forget) {
    for (std::size_t slot = 0; slot < size_; ++slot) {
      if (slots_[slot] != 0) forget(static_cast<std::int64_t>(slots_[slot] >> 2) - 1);
      slots_[slot] = 0;
    }
    count_ = 0;
    lastFound_ = 0;
  }

 private:
  static constexpr std::size_t kInitialSlots = 1024;

  // The key's multiplicative hash scaled to the table's size, which need not
  // be a power of two.
  std::size_t Home(std::uint32_t key) const {
    const std::uint32_t hash = key * 0x9E3779B1u;
    return static_cast<std::size_t>((std::uint64_t{hash} * size_) >> 32);
  }

  std::size_t Following(std::size_t slot) const { return slot + 1 == size_ ? 0 : slot + 1; }

  void Place(std::uint32_t entry) {
    std::size_t slot = Home(entry >> 2);
    while (slots_[slot] != 0) slot = Following(slot);
    slots_[slot] = entry;
  }

  bool Rebuild(std::size_t size, std::int64_t floor) {
    auto* fresh = new (std::nothrow) std::uint32_t[size]();
    if (fresh == nullptr) return false;
    std::uint32_t* old = slots_;
    const std::size_t oldSize = size_;
    slots_ = fresh;
    size_ = size;
    count_ = 0;
    lastFound_ = 0;
    for (std::size_t slot = 0; slot < oldSize; ++slot) {
      const std::uint32_t entry = old[slot];
      if (entry != 0 && static_cast<std::int64_t>(entry >> 2) - 1 >= floor) {
        Place(entry);
        ++count_;
      }
    }
    delete[] old;
    return true;
  }

  std::uint32_t* slots_ = nullptr;
  std::size_t size_ = 0;
  std::size_t count_ = 0;
  std::size_t maxSlots_ = kInitialSlots;
  mutable std::uint32_t lastFound_ = 0;
  RetryGate gate_;
};

class ChunkWalker {
 public:
  ChunkWalker(const std::uint8_t* data, std::int64_t length)
      : data_(data), length_(length), crc_(data, length), bits_(length), checkpoints_(length) {}

  // Walks the chunks from `start` (just after a signature). On acceptance
  // returns true and the end of the image in *end.
  bool Walk(std::int64_t start, std::int64_t* end) {
    bits_.ReleaseBelow(start);
    Path path;
    path.start = start;
    path.runLast = start;
    std::int64_t j = start;
    for (;;) {
      if (j == path.runLast + 4) path.runLast = j;
      const Path& run = runs_[j & 3];
      if (j >= run.start && j <= run.runLast) {
        path.ending = run.Dead() ? Ending::kJoinedDead : Ending::kJoinedIend;
        path.joinedFlags = run.Dead() ? kNone : run.FlagsFrom(j) & (kIhdr | kIdat);
        break;
      }
      if (bits_.Test(j)) {
        // A dead path is marked at every position; a marked position that is
        // a checkpoint lies on a path that reaches IEND.
        const int flags = checkpoints_.Find(j);
        path.ending = flags < 0 ? Ending::kJoinedDead : Ending::kJoinedIend;
        path.joinedFlags = flags < 0 ? kNone : static_cast<unsigned>(flags);
        break;
      }
      if (j + kChunkOverhead > length_) {
        path.ending = Ending::kRanOut;
        break;
      }
      const Chunk chunk = ChunkAt(data_, length_, j);
      const std::int64_t type = j + 4;
      const unsigned flag = TypeFlag(data_ + type);
      if (flag == kIhdr) path.lastIhdr = j;
      if (flag == kIdat) path.lastIdat = j;
      ++path.steps;

      std::int64_t next = type;  // a chunk that does not fit: 4 bytes on
      if (chunk.inside) {
        std::uint32_t crc = 0;
        if (!crc_.Get(type, chunk.dataLength + 4, &crc)) {
          // Treated as not inside; a later walk could not retrace this step
          // from the lengths alone, so this walk records nothing.
          path.retraceable = false;
        } else if (crc != ReadLe32(data_ + type + 4 + chunk.dataLength)) {
          path.ending = Ending::kCrcError;
          break;
        } else {
          next = chunk.end;
        }
      }
      if (flag == kIend) {
        path.ending = Ending::kIend;
        path.iendNext = next;
        break;
      }
      j = next;
    }
    path.stop = j;

    const bool reachesIend = path.ending == Ending::kIend || path.ending == Ending::kJoinedIend;
    if (reachesIend && (path.FlagsFrom(start) & (kIhdr | kIdat)) == (kIhdr | kIdat)) {
      *end = path.ending == Ending::kIend ? path.iendNext : EndFrom(path.stop);
      if (*end >= 0) return true;
    }
    if (!path.retraceable) return false;
    Path& run = runs_[start & 3];
    if (path.runLast > run.runLast) run = path;
    // A single step is cheaper to redo than to record.
    if (path.steps >= 2) Publish(path, reachesIend);
    return false;
  }

 private:
  enum class Ending { kRanOut, kCrcError, kIend, kJoinedDead, kJoinedIend };

  struct Path {
    std::int64_t start = 0;
    std::int64_t stop = 0;       // where the walk ended or met a recorded outcome
    std::int64_t lastIhdr = -1;  // last position of the walk whose type was IHDR
    std::int64_t lastIdat = -1;
    std::int64_t iendNext = -1;  // after its own IEND step: where the image ends
    std::int64_t steps = 0;
    Ending ending = Ending::kRanOut;
    unsigned joinedFlags = kNone;  // flags of the recorded path it joined, from there on
    bool retraceable = true;
    // The positions start, start + 4, ..., runLast all lay on the walk.
    std::int64_t runLast = -1;

    bool Dead() const {
      return ending == Ending::kRanOut || ending == Ending::kCrcError ||
             ending == Ending::kJoinedDead;
    }

    unsigned FlagsFrom(std::int64_t position) const {
      return (lastIhdr >= position ? kIhdr : kNone) | (lastIdat >= position ? kIdat : kNone) |
             joinedFlags;
    }
  };

  // Work units between checkpoints: one unit is one chunk step or 64 bytes of
  // CRC, counted as a range costs once prefix CRCs are in use. A walk that
  // joins a path between checkpoints meets one within this much work.
  static constexpr std::uint32_t kInitialCheckpointWork = 16;
  static constexpr std::uint32_t kMaxCheckpointWork = 1u << 12;
  static constexpr std::uint32_t kCrcWorkCap = 512;

  // Where a walk that recorded nothing unusual went from j: the CRC of every
  // chunk inside the buffer matched, or the walk would have ended there.
  std::int64_t NextOnPath(std::int64_t j, std::uint32_t* work) const {
    const Chunk chunk = ChunkAt(data_, length_, j);
    if (!chunk.inside) {
      *work = 1;
      return j + 4;
    }
    const std::uint32_t hashed = chunk.dataLength + 4 < kCrcWorkCap ? chunk.dataLength + 4 : kCrcWorkCap;
    *work = 1 + hashed / 64;
    return chunk.end;
  }

  // The end of the image on a recorded path that reaches IEND, from a
  // checkpoint on it: the walk is retraced from the lengths alone. The bytes
  // it passes are skipped by the scan afterwards, so this costs nothing that
  // is paid twice.
  std::int64_t EndFrom(std::int64_t j) const {
    while (j + kChunkOverhead <= length_) {
      std::uint32_t work = 0;
      const bool iend = TypeFlag(data_ + j + 4) == kIend;
      const std::int64_t next = NextOnPath(j, &work);
      if (iend) return next;
      j = next;
    }
    return -1;  // not reached: a checkpoint only lies on a path to IEND
  }

  void Publish(const Path& path, bool reachesIend) {
    std::uint32_t work = 0;
    if (!reachesIend) {
      for (std::int64_t j = path.start; j < path.stop; j = NextOnPath(j, &work)) bits_.Set(j);
      if (path.ending == Ending::kCrcError) bits_.Set(path.stop);
      return;
    }
    bool full = false;
    std::uint32_t sinceCheckpoint = 0;
    for (std::int64_t j = path.start; j < path.stop; j = NextOnPath(j, &work)) {
      sinceCheckpoint += work;  // of the step that led to j
      if (full || sinceCheckpoint < checkpointWork_) continue;
      sinceCheckpoint = 0;
      if (!bits_.Set(j)) continue;
      const auto added = checkpoints_.Add(j, path.FlagsFrom(j) & (kIhdr | kIdat), path.start);
      if (added != CheckpointTable::Added::kYes) {
        // A marked position that is no checkpoint would read as dead.
        bits_.Clear(j);
        full = added == CheckpointTable::Added::kFull;
      }
    }
    if (full && checkpointWork_ < kMaxCheckpointWork) {
      // The table has reached its share of memory: start over with
      // checkpoints spaced twice as far apart. Paths recorded so far are
      // walked again, once, as later walks meet them.
      checkpoints_.Clear([this](std::int64_t position) { bits_.Clear(position); });
      checkpointWork_ *= 2;
    }
  }

  const std::uint8_t* data_;
  std::int64_t length_;
  RangeCrc crc_;
  PositionBits bits_;
  CheckpointTable checkpoints_;
  std::uint32_t checkpointWork_ = kInitialCheckpointWork;
  // For each residue modulo 4, the rejected walk whose leading run of 4-byte
  // steps reaches furthest. Back-to-back signatures make every walk start on
  // such a run, which answers it at once, whatever its path's outcome.
  Path runs_[4];
};

}  // namespace

void FindPngs(const std::uint8_t* data, std::int64_t length, const HitCallback& onHit) {
  if (data == nullptr || length <= kTail) return;
  const std::int64_t last = length - kTail;  // candidates start below this
  ChunkWalker walker(data, length);
  std::int64_t i = 0;
  while (i < last) {
    i = FindByte(data, i, last, kSignature[0]);
    if (i == last) return;
    std::int64_t end = 0;
    if (std::memcmp(data + i, kSignature, sizeof kSignature) == 0 && walker.Walk(i + 8, &end)) {
      onHit(i, end - i);
      i = end;
    } else {
      ++i;
    }
  }
}

}  // namespace qx
