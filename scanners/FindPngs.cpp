// The PNG search.
//
// A candidate is a signature at i; its chunk walk starts at i + 8. One step
// of a walk at position j reads the chunk header there, marks IHDR, IDAT or
// IEND, and either dies (fewer than 12 bytes left, or a chunk inside the
// buffer with a wrong CRC), moves to the end of a verified chunk, or moves 4
// bytes on when the chunk does not fit. A walk ends after the step that saw
// IEND. None of this depends on where the walk started, so the outcome of a
// walk from any position j is fixed for the whole buffer: either "rejected",
// or "ends at E, having seen the flags F from j on". Positions only grow
// along a walk, so walks cannot loop.
//
// Two things would make a naive scan quadratic, and both are avoided:
//  - Walks repeating each other. After a rejected candidate the scan goes on
//    one byte later, and the next signature's walk often joins the path of
//    an earlier one (back-to-back signatures, a long chunk chain with many
//    signatures pointing into it). Walks leave checkpoints on their path, and
//    a walk that reaches a checkpoint takes the recorded outcome instead of
//    walking on. Checkpoints are spaced by work, so a walk that joins an old
//    path redoes only a bounded amount of it before it meets one.
//  - CRCs of overlapping chunks. Chunks of different candidates may cover the
//    same bytes many times over. Once the CRC work exceeds one pass over the
//    buffer, long ranges are computed from a table of prefix CRCs instead.
// Only rejected walks publish their checkpoints: an accepted image is
// skipped whole, and nothing behind the scan position is walked again.

#include <cstring>
#include <new>
#include <vector>

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

constexpr std::uint32_t ReverseBytes(std::uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}

// CRCs of byte ranges of one buffer, in the byte order CCrc stores them (the
// chunk's CRC field read little-endian). The bytes of a range go through one
// CCrc, as the scan verifies chunk after chunk. When the bytes hashed would
// exceed one pass over the buffer, ranges overlap, and a table of the CRCs of
// every prefix ending on a block boundary is built (one more pass, with the
// same sliced register update the engine uses). A long
// range then costs its two partial blocks and two multiplications:
//   crc[a, b) = shift(crc[a, c1) ^ prefix(c1), c2 - c1) ^ prefix(c2), then
//   extended by the partial block [c2, b),
// with c1, c2 the block boundaries inside [a, b).
class RangeCrc {
 public:
  RangeCrc(const std::uint8_t* data, std::int64_t length) : data_(data), length_(length) {}

  // False when the CRC engine delivered nothing (a caught fault).
  bool Get(std::int64_t start, std::uint32_t count, std::uint32_t* stored) {
    if (count >= 2 * kBlock && UsePrefixes(count)) {
      const std::int64_t end = start + count;
      const std::int64_t c1 = (start + kBlock - 1) / kBlock * kBlock;
      const std::int64_t c2 = end / kBlock * kBlock;
      std::uint32_t head = 0;
      std::uint32_t tail = 0;
      if (!Direct(start, static_cast<std::uint32_t>(c1 - start), &head) ||
          !Direct(c2, static_cast<std::uint32_t>(end - c2), &tail)) {
        return false;
      }
      std::uint32_t crc =
          Crc32MultiplyModP(blockFactor_[static_cast<std::size_t>((c2 - c1) / kBlock)],
                            head ^ prefix_[static_cast<std::size_t>(c1 / kBlock)]) ^
          prefix_[static_cast<std::size_t>(c2 / kBlock)];
      crc = Crc32CombineWithFactor(crc, tail, shortFactor_[static_cast<std::size_t>(end - c2)]);
      *stored = ReverseBytes(crc);
      return true;
    }
    directBytes_ += count;
    return crc_.Crc32_GetFromBuffer(data_ + start, count, stored);
  }

 private:
  static constexpr std::int64_t kBlock = 64;

  // The standard CRC-32 of [start, start + count), count below 2 * kBlock.
  bool Direct(std::int64_t start, std::uint32_t count, std::uint32_t* crc) {
    std::uint32_t stored = 0;
    if (!crc_.Crc32_GetFromBuffer(data_ + start, count, &stored)) return false;
    *crc = ReverseBytes(stored);
    return true;
  }

  bool UsePrefixes(std::uint32_t count) {
    if (prefixState_ == PrefixState::kBuilt) return true;
    if (prefixState_ == PrefixState::kUnavailable) return false;
    if (directBytes_ + count <= length_) return false;
    try {
      BuildPrefixes();
      prefixState_ = PrefixState::kBuilt;
      return true;
    } catch (const std::bad_alloc&) {
      // Only slower without the table, never different.
      prefix_ = {};
      blockFactor_ = {};
      prefixState_ = PrefixState::kUnavailable;
      return false;
    }
  }

  void BuildPrefixes() {
    const std::size_t blocks = static_cast<std::size_t>(length_ / kBlock);
    prefix_.resize(blocks + 1);
    blockFactor_.resize(blocks + 1);
    std::uint32_t reg = 0xFFFFFFFFu;
    prefix_[0] = 0;
    const std::uint32_t oneBlock = Crc32ShiftFactor(kBlock);
    blockFactor_[0] = Crc32ShiftFactor(0);
    for (std::size_t k = 0; k < blocks; ++k) {
      reg = Crc32UpdateSliced(reg, data_ + k * kBlock, kBlock);
      prefix_[k + 1] = ~reg;
      blockFactor_[k + 1] = Crc32MultiplyModP(blockFactor_[k], oneBlock);
    }
    for (std::size_t n = 0; n < kBlock; ++n) shortFactor_[n] = Crc32ShiftFactor(n);
  }

  enum class PrefixState { kNotYet, kBuilt, kUnavailable };

  CCrc crc_;
  const std::uint8_t* data_;
  std::int64_t length_;
  std::int64_t directBytes_ = 0;
  PrefixState prefixState_ = PrefixState::kNotYet;
  std::vector<std::uint32_t> prefix_;       // prefix_[k]: CRC of [0, k * kBlock)
  std::vector<std::uint32_t> blockFactor_;  // blockFactor_[m]: shift by m blocks
  std::uint32_t shortFactor_[kBlock] = {};  // shortFactor_[n]: shift by n bytes
};

// What a finished walk found. Its suffix from any position p on its path,
// the flags seen from p on, is its own flags at positions >= p plus those
// of the path it joined.
struct WalkRecord {
  std::int64_t end = -1;       // where it ended after IEND; -1 when rejected for good
  std::int64_t lastIhdr = -1;  // last position on the walk whose type was IHDR
  std::int64_t lastIdat = -1;
  unsigned joinedFlags = kNone;  // flags of the recorded path it joined, from there on

  unsigned FlagsFrom(std::int64_t position) const {
    return (lastIhdr >= position ? kIhdr : kNone) | (lastIdat >= position ? kIdat : kNone) |
           joinedFlags;
  }
};

// Checkpoint position -> index of the walk that passed it. A bit per buffer
// position answers most lookups; the few set ones are found in an
// open-addressing table of 32-bit positions (buffers of 4 GB and more are
// scanned without checkpoints).
class CheckpointMap {
 public:
  explicit CheckpointMap(std::int64_t length) : length_(length) {}

  static bool Supports(std::int64_t length) { return length < 0xFFFFFFFF; }

  bool Find(std::int64_t position, std::uint32_t* walk) const {
    if (bits_.empty()) return false;
    const std::size_t p = static_cast<std::size_t>(position);
    if (((bits_[p >> 6] >> (p & 63)) & 1u) == 0) return false;
    const std::uint32_t key = static_cast<std::uint32_t>(position) + 1;
    // Walks from nearby signatures tend to meet the same checkpoint.
    if (key == lastKey_) {
      *walk = lastWalk_;
      return true;
    }
    for (std::size_t slot = Hash(key);; slot = (slot + 1) & mask_) {
      if (slots_[slot].key == key) {
        lastKey_ = key;
        lastWalk_ = slots_[slot].walk;
        *walk = lastWalk_;
        return true;
      }
    }
  }

  // Room for `more` further positions, so that a walk's checkpoints go in
  // without rehashing on the way. May throw std::bad_alloc.
  void Reserve(std::size_t more) {
    if (bits_.empty()) bits_.assign(static_cast<std::size_t>(length_ / 64 + 1), 0);
    std::size_t size = slots_.empty() ? 1024 : slots_.size();
    while ((count_ + more) * 2 > size) size *= 2;
    if (size != slots_.size()) Rehash(size);
  }

  // Each position is inserted at most once, after a Reserve that covers it.
  void Insert(std::int64_t position, std::uint32_t walk) {
    Place(static_cast<std::uint32_t>(position) + 1, walk);
    const std::size_t p = static_cast<std::size_t>(position);
    bits_[p >> 6] |= std::uint64_t{1} << (p & 63);
    ++count_;
  }

  void Clear() {
    bits_ = {};
    slots_ = {};
    count_ = 0;
    lastKey_ = 0;
  }

 private:
  struct Slot {
    std::uint32_t key = 0;  // position + 1; 0 for a free slot
    std::uint32_t walk = 0;
  };

  std::size_t Hash(std::uint32_t key) const {
    return static_cast<std::size_t>((std::uint64_t{key} * 0x9E3779B97F4A7C15ull) >> shift_) & mask_;
  }

  void Place(std::uint32_t key, std::uint32_t walk) {
    std::size_t slot = Hash(key);
    while (slots_[slot].key != 0) slot = (slot + 1) & mask_;
    slots_[slot] = Slot{key, walk};
  }

  void Rehash(std::size_t size) {
    std::vector<Slot> old(size);
    old.swap(slots_);
    mask_ = size - 1;
    shift_ = 64;
    for (std::size_t s = size; s > 1; s >>= 1) --shift_;
    for (const Slot& slot : old) {
      if (slot.key != 0) Place(slot.key, slot.walk);
    }
  }

  std::int64_t length_;
  std::vector<std::uint64_t> bits_;
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
  std::size_t count_ = 0;
  mutable std::uint32_t lastKey_ = 0;
  mutable std::uint32_t lastWalk_ = 0;
};

class ChunkWalker {
 public:
  ChunkWalker(const std::uint8_t* data, std::int64_t length)
      : data_(data),
        length_(length),
        crc_(data, length),
        checkpoints_(length),
        memoAvailable_(CheckpointMap::Supports(length)) {}

  // Walks the chunks from `start` (just after a signature). On acceptance
  // returns true and the end of the image in *end.
  bool Walk(std::int64_t start, std::int64_t* end) {
    pending_.clear();
    WalkRecord walk;
    std::int64_t j = start;
    std::uint64_t workSinceCheckpoint = 0;
    for (;;) {
      std::uint32_t joined = 0;
      if (checkpoints_.Find(j, &joined)) {
        const WalkRecord& path = walks_[joined];
        walk.end = path.end;
        walk.joinedFlags = path.end >= 0 ? path.FlagsFrom(j) : kNone;
        break;
      }
      if (j + kChunkOverhead > length_) break;  // rejected: too few bytes left

      const std::uint32_t dataLength = ReadBe32(data_ + j);
      const std::int64_t type = j + 4;
      const unsigned flag = TypeFlag(data_ + type);
      if (flag == kIhdr) walk.lastIhdr = j;
      if (flag == kIdat) walk.lastIdat = j;
      const std::int64_t chunkEnd = type + 8 + static_cast<std::int64_t>(dataLength);
      // The CRC engine takes a 32-bit count, so only a chunk whose type and
      // data it can take in one call is verified.
      const bool inside = chunkEnd <= length_ && dataLength <= 0xFFFFFFFFu - 4;

      const std::uint64_t work = 1 + (inside ? (std::uint64_t{dataLength} + 4) / 64 : 0);
      if (workSinceCheckpoint >= kCheckpointWork || work >= kCheckpointWork) {
        RecordCheckpoint(j);
        workSinceCheckpoint = 0;
      }
      workSinceCheckpoint += work;

      std::int64_t next = type;  // a chunk that does not fit: 4 bytes on
      if (inside) {
        std::uint32_t crc = 0;
        if (crc_.Get(type, dataLength + 4, &crc)) {
          if (crc != ReadLe32(data_ + type + 4 + dataLength)) break;  // rejected: CRC error
          next = chunkEnd;
        }
      }
      if (flag == kIend) {
        walk.end = next;
        break;
      }
      j = next;
    }
    if (walk.end >= 0 && (walk.FlagsFrom(start) & (kIhdr | kIdat)) == (kIhdr | kIdat)) {
      *end = walk.end;
      return true;
    }
    // An accepted image lies wholly behind the scan position from now on;
    // only a rejected walk's path can be met again.
    Publish(walk);
    return false;
  }

 private:
  // Work units between checkpoints; one unit is one chunk step or 64 bytes
  // of CRC. A walk that joins a recorded path meets a checkpoint within
  // about twice this much work.
  static constexpr std::uint64_t kCheckpointWork = 16;

  void Publish(const WalkRecord& walk) {
    if (!memoAvailable_ || pending_.empty()) return;
    // Walk indices are 32-bit; past that, checkpoints already recorded stay
    // valid and no new ones are made.
    if (walks_.size() >= 0xFFFFFFFFu) {
      memoAvailable_ = false;
      return;
    }
    try {
      const auto index = static_cast<std::uint32_t>(walks_.size());
      walks_.push_back(walk);
      checkpoints_.Reserve(pending_.size());
      for (const std::int64_t position : pending_) checkpoints_.Insert(position, index);
    } catch (const std::bad_alloc&) {
      DropMemo();
    }
  }

  void RecordCheckpoint(std::int64_t position) {
    if (!memoAvailable_) return;
    try {
      pending_.push_back(position);
    } catch (const std::bad_alloc&) {
      DropMemo();
    }
  }

  // Without checkpoints the scan is only slower, never different.
  void DropMemo() {
    checkpoints_.Clear();
    walks_ = {};
    pending_ = {};
    memoAvailable_ = false;
  }

  const std::uint8_t* data_;
  std::int64_t length_;
  RangeCrc crc_;
  CheckpointMap checkpoints_;
  std::vector<WalkRecord> walks_;
  std::vector<std::int64_t> pending_;
  bool memoAvailable_;
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
