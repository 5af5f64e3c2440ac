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
//    same bytes many times over. Once the CRC work exceeds what a table
//    costs, long ranges are computed from a table of prefix CRCs instead
//    (checksum/Crc32Range.h).
// Only rejected walks publish: an accepted image is skipped whole, and
// nothing behind the scan position is walked again, so what was recorded
// there is released as the scan moves on.
//
// A path retraced from its lengths (to publish it, or to find where an image
// ends) reads them again. Bytes that changed since the walk (a mapped file
// rewritten under the scan) can then lead elsewhere, so a retrace checks its
// own bounds and trusts nothing the walk read.
//
// All of this memory is an optimisation, taken without exceptions (the
// containers are in ScanMemo.h). When a piece cannot be had, the scan
// carries on without it, gives the same results, and asks again after a
// while. The span search keeps about a quarter of the buffer's size at most
// (a bit per position, and a sixteenth of the size each for the checkpoints
// and the prefix CRCs). The search over a ByteSource reads through the same
// walker and holds at most its budget: a quarter for dead-path pages (which
// reach at most four times as far ahead of the scan as they hold), a sixth
// for checkpoints (64-bit entries, for positions of any size), half for a
// prefix CRC table over a region that moves on with the scan, its blocks
// coarser when the region is long.
//
// With ScanLimits::strict an IHDR chunk counts as IHDR only when it is valid
// by the format's definition: its data length is 13 and those 13 bytes lie
// inside the sequence, width and height are 1 to 2^31 - 1, bit depth and
// colour type one of the pairs greyscale (0) 1, 2, 4, 8, 16; truecolour (2)
// 8, 16; indexed (3) 1, 2, 4, 8; greyscale with alpha (4) 8, 16; truecolour
// with alpha (6) 8, 16; compression method 0, filter method 0, interlace
// method 0 or 1. Otherwise it is a chunk like any other. That is a property
// of its position alone, as every other step of a walk is, so the memos stay
// true; a strict search and an ordinary one never share them.

#include <algorithm>
#include <cstring>
#include <new>

#include "checksum/CCrc.h"
#include "checksum/Crc32Range.h"
#include "checksum/Crc32Tables.h"
#include "scanners/ByteSearch.h"
#include "scanners/ScanMemo.h"
#include "scanners/Scanners.h"
#include "scanners/SourceScanners.h"
#include "support/ByteOrder.h"
#include "support/SlotReader.h"

namespace qx {

namespace {

constexpr std::uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::int64_t kTail = 50;
constexpr std::int64_t kChunkOverhead = 12;  // length, type and CRC fields

enum Flags : unsigned { kNone = 0, kIhdr = 1, kIdat = 2, kIend = 4 };

constexpr std::uint32_t kIhdrLength = 13;

// The 13 data bytes of an IHDR chunk, by the rules above.
bool ValidIhdr(const std::uint8_t* d) {
  const std::uint32_t width = ReadBe32(d);
  const std::uint32_t height = ReadBe32(d + 4);
  const std::uint8_t depth = d[8];
  const std::uint8_t colour = d[9];
  if (width == 0 || width > 0x7FFFFFFFu || height == 0 || height > 0x7FFFFFFFu) return false;
  if (d[10] != 0 || d[11] != 0 || d[12] > 1) return false;
  switch (colour) {
    case 0: return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case 3: return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case 2: case 4: case 6: return depth == 8 || depth == 16;
    default: return false;
  }
}

unsigned TypeFlag(std::uint32_t type) {
  // The four type bytes exactly; case counts.
  switch (type) {
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

// The chunk whose header is at j (j + 12 <= length), from its length field
// read once. It counts as inside when its CRC field ends inside the buffer
// and the CRC engine, which takes a 32-bit count, can take its type and data
// in one call.
struct Chunk {
  std::uint32_t dataLength;
  std::int64_t end;  // just past its CRC field
  bool inside;
};

Chunk ChunkAt(std::uint32_t dataLength, std::int64_t length, std::int64_t j) {
  const std::int64_t end = j + kChunkOverhead + static_cast<std::int64_t>(dataLength);
  return {dataLength, end, end <= length && dataLength <= 0xFFFFFFFFu - 4};
}

// How the walker reads: Length(), Be32(pos) for chunk headers, Ihdr(pos, out)
// for an IHDR's data (13 bytes inside the sequence; in place or copied to
// out), StoredCrc(pos) for the CRC field read little-endian, and Update and
// Direct for the range
// CRCs (Crc32Range.h). Each is made from what the search was given and the
// length.
//
// The buffer of the span search; whole-chunk CRCs go through the guarded
// engine, like every CRC of the scan.
class SpanBytes {
 public:
  SpanBytes(const std::uint8_t* const& data, std::int64_t length) : data_(data), length_(length) {}
  std::int64_t Length() const { return length_; }
  std::uint32_t Be32(std::int64_t pos) const { return ReadBe32(data_ + pos); }
  const std::uint8_t* Ihdr(std::int64_t pos, std::uint8_t*) const { return data_ + pos; }
  std::uint32_t StoredCrc(std::int64_t pos) const { return ReadLe32(data_ + pos); }
  std::uint32_t Update(std::uint32_t reg, std::int64_t from, std::int64_t to) const {
    return Crc32UpdateSliced(reg, data_ + from, static_cast<std::size_t>(to - from));
  }
  bool Direct(std::int64_t start, std::uint32_t count, std::uint32_t* stored) {
    return crc_.Crc32_GetFromBuffer(data_ + start, count, stored);
  }

 private:
  CCrc crc_;
  const std::uint8_t* data_;
  std::int64_t length_;
};

// A source read through three slots: chunk headers through one, the stored
// CRC after a chunk's data (often far ahead) through another, the bytes of
// CRCs through the third, so that none of them moves the others' views. The
// bytes of a long chunk's CRC come from its two ends (the partial blocks
// around a prefix table's entries): those near the stored CRC are read
// through its slot, so that the start and the end of the range each keep a
// view of their own from one candidate to the next.
class SourceBytes {
 public:
  SourceBytes(ByteSource& source, std::int64_t)
      : fields_(source, 1), crcBytes_(source, 2), crcFields_(source, 3) {}
  std::int64_t Length() const { return fields_.Length(); }
  std::uint32_t Be32(std::int64_t pos) { return fields_.Be32(pos); }
  const std::uint8_t* Ihdr(std::int64_t pos, std::uint8_t* out) {
    return fields_.Fields(pos, kIhdrLength, out);
  }
  std::uint32_t StoredCrc(std::int64_t pos) { return crcFields_.Le32(pos); }
  std::uint32_t Update(std::uint32_t reg, std::int64_t from, std::int64_t to) {
    SlotReader& reader =
        crcFields_.DistanceTo(from) < crcBytes_.DistanceTo(from) ? crcFields_ : crcBytes_;
    while (from < to) {
      std::int64_t end = 0;
      const std::uint8_t* p = reader.View(from, &end);
      const std::int64_t take = std::min(end, to) - from;
      reg = Crc32UpdateSliced(reg, p, static_cast<std::size_t>(take));
      from += take;
    }
    return reg;
  }
  bool Direct(std::int64_t start, std::uint32_t count, std::uint32_t* stored) {
    *stored = Crc32StoredOrder(~Update(0xFFFFFFFFu, start, start + count));
    return true;
  }

 private:
  SlotReader fields_;
  SlotReader crcBytes_;
  SlotReader crcFields_;
};

// What the walker may remember (ScanMemo.h): pages of dead-path bits ahead of
// the scan and held at once, bytes of checkpoints, words of prefix CRCs
// (negative: no bound).
struct MemoLimits {
  std::size_t aheadPages;
  std::size_t maxPages;
  std::int64_t checkpointBytes;
  std::int64_t crcEntries;
};

// The span search keeps what it did before it had a budget: memory grows
// with the buffer, up to about a quarter of it. Only buffers whose positions
// fit the checkpoint table's 32-bit entries keep any; larger ones (the span
// search is never given one) are scanned without.
constexpr std::int64_t kMaxMemoLength = (std::int64_t{1} << 30) - 2;

MemoLimits SpanLimits(std::int64_t length) {
  const std::size_t pages =
      length <= kMaxMemoLength ? static_cast<std::size_t>(length >> PositionBits::kPageShift) + 1 : 0;
  // At most one byte per sixteen buffer bytes of checkpoints.
  return {pages, pages, length / 16, -1};
}

// A budget shared out: a quarter for dead-path bits (reaching four times as
// far ahead as they can hold), half for the prefix CRCs, which keep the many
// long chunks of hostile input cheap, and a sixth for checkpoints, whose
// table holds its old size beside the new one while it grows.
MemoLimits BudgetLimits(std::int64_t budget) {
  const auto pages = static_cast<std::size_t>(std::max<std::int64_t>(budget / 4 / PositionBits::kPageBytes, 1));
  return {4 * pages, pages, budget / 6, budget / 2 / 4};
}

template <class Bytes, class Entry>
class ChunkWalker {
 public:
  // The walker reads through its own Bytes, made from `source`.
  template <class Source>
  ChunkWalker(Source& source, std::int64_t length, const MemoLimits& limits, bool strict)
      : bytes_(source, length),
        length_(length),
        strict_(strict),
        crc_(bytes_, limits.crcEntries),
        bits_(limits.aheadPages, limits.maxPages),
        checkpoints_(limits.checkpointBytes) {}

  std::int64_t PeakBytes() const {
    return bits_.PeakBytes() + checkpoints_.PeakBytes() + crc_.PeakEntries() * 4;
  }

  // Walks the chunks from `start` (just after a signature). On acceptance
  // returns true and the end of the image in *end.
  bool Walk(std::int64_t start, std::int64_t* end) {
    bits_.ReleaseBelow(start);
    crc_.SetFloor(start);
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
      const Chunk chunk = ChunkAt(bytes_.Be32(j), length_, j);
      const std::int64_t type = j + 4;
      unsigned flag = TypeFlag(bytes_.Be32(type));
      if (flag == kIhdr && strict_ && !IhdrHolds(chunk, type + 4)) flag = kNone;
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
        } else if (crc != bytes_.StoredCrc(type + 4 + chunk.dataLength)) {
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

  // Strict: whether the IHDR chunk whose data start at `data` is valid.
  bool IhdrHolds(const Chunk& chunk, std::int64_t data) {
    if (chunk.dataLength != kIhdrLength || data + kIhdrLength > length_) return false;
    std::uint8_t scratch[kIhdrLength];
    return ValidIhdr(bytes_.Ihdr(data, scratch));
  }

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
  // The length field is read again here, and the bytes may have changed
  // since the walk (a mapped file rewritten under the scan): the retrace
  // then leaves the path, so it bounds itself instead of trusting the walk.
  // Positions still only grow, and length_ ends every retrace.
  std::int64_t NextOnPath(std::int64_t j, std::uint32_t* work) {
    *work = 1;
    if (j + kChunkOverhead > length_) return length_;
    const Chunk chunk = ChunkAt(bytes_.Be32(j), length_, j);
    if (!chunk.inside) return j + 4;
    const std::uint32_t hashed = chunk.dataLength + 4 < kCrcWorkCap ? chunk.dataLength + 4 : kCrcWorkCap;
    *work = 1 + hashed / 64;
    return chunk.end;
  }

  // The end of the image on a recorded path that reaches IEND, from a
  // checkpoint on it: the walk is retraced from the lengths alone. The bytes
  // it passes are skipped by the scan afterwards, so this costs nothing that
  // is paid twice.
  std::int64_t EndFrom(std::int64_t j) {
    while (j + kChunkOverhead <= length_) {
      std::uint32_t work = 0;
      const bool iend = TypeFlag(bytes_.Be32(j + 4)) == kIend;
      const std::int64_t next = NextOnPath(j, &work);
      if (iend) return next;
      j = next;
    }
    // A checkpoint lies on a path to IEND: only bytes rewritten since it was
    // recorded lead here.
    return -1;
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
      if (added != Checkpoints::Added::kYes) {
        // A marked position that is no checkpoint would read as dead.
        bits_.Clear(j);
        full = added == Checkpoints::Added::kFull;
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

  using Checkpoints = CheckpointTable<Entry>;
  Bytes bytes_;
  std::int64_t length_;
  bool strict_;
  Crc32RangeCache<Bytes> crc_;
  PositionBits bits_;
  Checkpoints checkpoints_;
  std::uint32_t checkpointWork_ = kInitialCheckpointWork;
  // For each residue modulo 4, the rejected walk whose leading run of 4-byte
  // steps reaches furthest. Back-to-back signatures make every walk start on
  // such a run, which answers it at once, whatever its path's outcome.
  Path runs_[4];
};

// The scan for signatures, through `scan`; each walk goes through the
// walker's own reads.
template <class Reader, class Walker>
void Scan(Reader& scan, Walker& walker, const HitCallback& onHit) {
  const std::int64_t last = scan.Length() - kTail;  // candidates start below this
  std::int64_t i = 0;
  while (i < last) {
    // The byte at last lies inside: last is 50 bytes short of the length.
    i = FindPairIn(scan, i, last, kSignature[0], kSignature[1]);
    if (i == last) return;
    std::uint8_t scratch[sizeof kSignature];
    const std::uint8_t* signature = scan.Fields(i, sizeof kSignature, scratch);
    std::int64_t end = 0;
    if (std::memcmp(signature, kSignature, sizeof kSignature) == 0 && walker.Walk(i + 8, &end)) {
      onHit(i, end - i);
      i = end;
    } else {
      ++i;
    }
  }
}

}  // namespace

void FindPngs(const std::uint8_t* data, std::int64_t length, const HitCallback& onHit,
              const ScanLimits& limits) {
  if (data == nullptr || length <= kTail) return;
  SpanReader scan(data, length);
  ChunkWalker<SpanBytes, std::uint32_t> walker(data, length, SpanLimits(length), limits.strict);
  Scan(scan, walker, onHit);
}

void FindPngs(const std::uint8_t* data, std::int64_t length, const HitCallback& onHit) {
  FindPngs(data, length, onHit, ScanLimits{});
}

void FindPngsIn(ByteSource& source, const HitCallback& onHit, const ScanLimits& limits) {
  if (limits.peakBytes != nullptr) *limits.peakBytes = 0;
  const std::int64_t length = source.Length();
  if (length <= kTail) return;
  SlotReader scan(source, 0);
  ChunkWalker<SourceBytes, std::uint64_t> walker(source, length, BudgetLimits(limits.memoryBudget),
                                                 limits.strict);
  Scan(scan, walker, onHit);
  if (limits.peakBytes != nullptr) *limits.peakBytes = walker.PeakBytes();
}

}  // namespace qx
