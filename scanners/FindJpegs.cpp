// JPEG search: start marker FF D8 FF, a walk over the header's marker
// segments (at least three with a length field), then the first FF D9 at or
// after the walk's end closes the image.
//
// Whether a candidate is accepted depends on its position alone; only which
// candidates the scan reaches depends on the images accepted before it. Two
// facts keep the scan about one pass on hostile input, with bounded memory:
// - The first FF D9 at or after a position is the same for every candidate.
//   A failed end search from j proves there is none from j on, so later
//   searches stop there; an accepted one moves the scan past everything it
//   read. Every byte is therefore searched at most once. Accepted walks lie
//   behind the scan once accepted, so they too cost one pass in all.
// - Where a header walk goes from a boundary does not depend on the
//   candidate that reached it, and one step jumps at most 2 + 65535 bytes
//   forward. So the outcome of a boundary (segments counted from there,
//   capped at three, or hopeless: runs off the end, or ends at or after the
//   last FF D9) follows from the outcome of one boundary at most 65537 bytes
//   to its right. A single pass from the last FF D9 back to the scan
//   position, with the outcomes within reach of one step in a ring, marks in
//   a bitmap of one bit per position every candidate that is accepted if
//   reached. The scan then jumps from mark to mark and walks only those
//   candidates again, to find where their images end.
// Rejected walks are taken one by one while they have cost little (real
// files: a few short false starts); once their steps pass a sixteenth of the
// length, the rest is judged by that backward pass. Without memory for the
// bitmap the walks go on one by one, with the same results, and the bitmap
// is tried again once they have cost as much again.
//
// One search serves a span and a ByteSource (JpegScan<Reader>, with the
// readers of support/SlotReader.h): the scan, the header walks, the end
// searches and the backward pass each read through a reader of their own,
// over a source a slot each. Over a span the bitmap covers the whole judged
// range at once, an eighth of the buffer. Over a source it must keep within
// the budget, so the judged range is cut into leaves of one bitmap each,
// marked one at a time as the scan reaches them. A leaf's pass starts from
// the ring as it stood at the leaf's upper end, kept as a checkpoint (the
// outcomes of the kLongestStep + 1 positions from there) by a pass over the
// level above; a range too long for one level of checkpoints gets more
// levels. Each level costs one more backward pass over the range, and the
// passes a leaf needs are made once, when the scan first reaches it.
//
// After the backward pass, marked candidates are walked again and their end
// searched again; these reads are bounded on their own, like the first ones,
// so bytes that change under the scan can change hits but not make it read
// outside its bytes.
//
// With ScanLimits::strict a candidate must also have, among the segments its
// header walk crosses (those before the end search), a frame header (SOF:
// FF C0-C3, C5-C7, C9-CB, CD-CF; C4, C8 and CC are DHT, JPG and DAC) and a
// scan header (SOS: FF DA); their order is not asked. Whether a boundary's
// walk meets them is again the same for every candidate, so an outcome
// carries two more bits, "SOF seen" and "SOS seen" from there on, beside its
// count: the backward pass stays one pass, and the direct walk notes the
// same. The strict search is a second instantiation of the same code, so
// that the ordinary one does no work for it.
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "scanners/ByteSearch.h"
#include "scanners/JpegSearch.h"
#include "scanners/Scanners.h"
#include "scanners/SourceScanners.h"
#include "support/ByteOrder.h"
#include "support/SlotReader.h"

namespace qx {
namespace {

constexpr std::uint8_t kMarker = 0xFF;
constexpr std::uint8_t kStartCode = 0xD8;
constexpr std::uint8_t kEndCode = 0xD9;
constexpr std::int64_t kTail = 100;  // no candidate starts in the last 100 bytes
constexpr std::uint32_t kEnoughSegments = 3;
// One step moves the walk at most this far: the marker, the code and a
// 16-bit length.
constexpr std::int64_t kLongestStep = 2 + 0xFFFF;

constexpr std::int64_t kCheckpointSpan = kLongestStep + 1;  // outcomes a step can need
constexpr std::int64_t kRingSize = std::int64_t{1} << 17;   // > kCheckpointSpan + kPassChunk
constexpr std::int64_t kPassChunk = std::int64_t{1} << 15;  // positions cleared at a time
constexpr int kMaxLevels = 8;

bool IsStandalone(std::uint8_t code) { return code == 0x01 || (code >= 0xD0 && code <= 0xD7); }

// Outcome of a boundary in the backward pass: 0 to 3 segments counted from
// there (3 standing for 3 or more), the walk ending before the last FF D9.
constexpr std::uint8_t kHopeless = 4;
// Strict only, beside a count: a frame header or a scan header among the
// segments from there on. A hopeless outcome carries neither.
constexpr std::uint8_t kCountBits = 7;
constexpr std::uint8_t kSofSeen = 8;
constexpr std::uint8_t kSosSeen = 16;
constexpr std::uint8_t kBothSeen = kSofSeen | kSosSeen;

// What a segment with the code contributes to a strict outcome.
constexpr std::uint8_t SeenBy(std::uint8_t code) {
  if (code == 0xDA) return kSosSeen;
  if (code < 0xC0 || code > 0xCF || code == 0xC4 || code == 0xC8 || code == 0xCC) return 0;
  return kSofSeen;
}

struct WalkResult {
  bool dead = false;
  std::int64_t end = 0;
  std::uint32_t segments = 0;  // capped at kEnoughSegments
  std::int64_t steps = 0;
  std::uint8_t seen = 0;       // strict: kSofSeen, kSosSeen
};

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

void* CallocBytes(std::size_t bytes) { return std::calloc(bytes, 1); }

// Bit 8k + 7 set exactly when byte k of the 8 at p equals `byte`.
std::uint64_t ByteMask(const std::uint8_t* p, std::uint8_t byte) {
  const std::uint64_t word = ReadLe32(p) | (std::uint64_t{ReadLe32(p + 4)} << 32);
  const std::uint64_t x = word ^ (0x0101010101010101ull * byte);  // matches become zero bytes
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  return ~(((x & kLow7) + kLow7) | x | kLow7);
}

// Calls visit(p) for each p in [lo, hi) holding `byte`, from hi - 1 down,
// until visit returns false. Goes 8 bytes at a time, so that neither long
// stretches without the byte nor dense ones cost a branch per byte.
template <class Visit>
void ForEachBackward(const std::uint8_t* data, std::int64_t lo, std::int64_t hi, std::uint8_t byte,
                     Visit visit) {
  std::int64_t b = hi;  // bytes below b remain
  while (b - 8 >= lo) {
    b -= 8;
    for (std::uint64_t mask = ByteMask(data + b, byte); mask != 0;) {
      const int top = 63 - std::countl_zero(mask);
      if (!visit(b + (top >> 3))) return;
      mask &= ~(std::uint64_t{1} << top);
    }
  }
  while (b > lo) {
    --b;
    if (data[b] == byte && !visit(b)) return;
  }
}

template <class Reader, bool kStrict>
class JpegScan {
 public:
  // open(slot) makes the reader of each part of the search, slots 0 to 3.
  // `budget` bounds the side tables; negative: none, the bitmap covers the
  // judged range at once.
  template <class Open>
  JpegScan(Open open, const ScanLimits& limits, std::int64_t budget)
      : scan_(open(0)),
        walk_(open(1)),
        ends_(open(2)),
        pass_(open(3)),
        length_(scan_.Length()),
        limit_(length_ - kTail),
        viewSpan_(pass_.MinView()),
        allocate_(limits.jpegAllocateZeroed != nullptr ? limits.jpegAllocateZeroed : CallocBytes),
        // p <= length - 2, so no end marker starts at length - 1 or later.
        noEndFrom_(length_ - 1),
        stepBudget_(limits.jpegDirectSteps >= 0 ? limits.jpegDirectSteps : length_ / 16 + 64),
        budget_(budget) {}

  std::int64_t PeakBytes() const { return memoryBytes_; }

  void Run(const HitCallback& onHit) {
    std::int64_t i = 0;
    while (i < limit_) {
      if (judged_) {
        i = NextAccepted(i);
        if (i >= limit_) return;
      } else {
        i = NextStart(i);
        if (i >= limit_) return;
        if (rejectedSteps_ >= stepBudget_ && Judge(i)) continue;
      }
      const WalkResult walk = Walk(i + 2);
      const bool enough = walk.segments >= kEnoughSegments && (!kStrict || walk.seen == kBothSeen);
      const std::int64_t p = walk.dead || !enough ? -1 : FindEnd(walk.end);
      if (p < 0) {
        rejectedSteps_ += walk.steps;
        ++i;
        continue;
      }
      onHit(i, p + 2 - i);
      i = p + 2;
    }
  }

 private:
  // The outcome of a boundary from which a candidate is accepted.
  static constexpr auto kAccepted =
      static_cast<std::uint8_t>(kStrict ? kEnoughSegments | kBothSeen : kEnoughSegments);

  // Read in place, a position that holds no FF is told by its byte, so the
  // ring is never cleared and need only exceed a step and the length.
  // Through views it is cleared a chunk at a time ahead of the pass, so it
  // holds a chunk beside a step.
  static constexpr std::int64_t kChunk =
      Reader::kDirect ? std::numeric_limits<std::int64_t>::max() / 4 : kPassChunk;
  std::int64_t RingSize() const {
    if constexpr (Reader::kDirect) {
      return static_cast<std::int64_t>(
          std::bit_ceil(static_cast<std::uint64_t>(std::min(length_, kLongestStep + 1))));
    } else {
      return kRingSize;
    }
  }

  // First i' >= i below limit_ with FF D8 FF at i', or limit_.
  std::int64_t NextStart(std::int64_t i) {
    while (i < limit_) {
      // The byte at limit_ may be read: 99 more follow it.
      i = FindPairIn(scan_, i, limit_, kMarker, kStartCode);
      if (i >= limit_) return limit_;
      std::uint8_t scratch = 0;
      if (scan_.Fields(i + 2, 1, &scratch)[0] == kMarker) return i;
      ++i;
    }
    return limit_;
  }

  WalkResult Walk(std::int64_t b) {
    WalkResult r;
    for (;;) {
      // The boundary's marker, code and length, each read once.
      std::uint8_t scratch[4] = {};
      const std::uint8_t* field = walk_.Fields(b, std::min<std::int64_t>(4, length_ - b), scratch);
      if (field[0] != kMarker) {
        r.end = b;
        return r;
      }
      ++r.steps;
      if (b + 1 >= length_) break;
      if (IsStandalone(field[1])) {
        b += 2;
      } else {
        if (b + 3 >= length_) break;
        b += 2 + ReadBe16(field + 2);
        if (r.segments < kEnoughSegments) ++r.segments;
        if constexpr (kStrict) r.seen |= SeenBy(field[1]);
      }
      if (b >= length_) break;
    }
    r.dead = true;
    return r;
  }

  // First p >= from with FF D9 at p and p <= length - 2, or -1.
  std::int64_t FindEnd(std::int64_t from) {
    if (from >= noEndFrom_) return -1;
    // A pair starting at noEndFrom_ - 1 still lies inside, since
    // noEndFrom_ <= length - 1.
    if (const std::int64_t p = FindPairIn(ends_, from, noEndFrom_, kMarker, kEndCode); p < noEndFrom_) {
      return p;
    }
    noEndFrom_ = from;
    return -1;
  }

  // The last p <= length - 2 with FF D9 at p, or -1. Searched once, from the
  // end backwards, in stretches that one view covers with the byte before.
  std::int64_t LastEnd() {
    if (lastEnd_ >= -1) return lastEnd_;
    lastEnd_ = -1;
    for (std::int64_t hi = length_; hi > 1 && lastEnd_ < 0;) {
      const std::int64_t lo = std::max<std::int64_t>(1, hi - (viewSpan_ - 1));
      std::int64_t viewEnd = 0;
      const std::uint8_t* p = ends_.View(lo - 1, &viewEnd, hi - lo + 1);
      ForEachBackward(p, 1, hi - lo + 1, kEndCode, [&](std::int64_t q) {
        if (p[q - 1] != kMarker) return true;
        lastEnd_ = lo - 1 + q - 1;
        return false;
      });
      hi = lo;
    }
    return lastEnd_;
  }

  // Marks the candidates from `from` on that are accepted if the scan reaches
  // them. False when the memory for that is not available now.
  bool Judge(std::int64_t from) {
    const std::int64_t lastEnd = LastEnd();
    // A walk ends on a byte other than FF, so it ends before the last FF D9
    // or not at all before it: every boundary from lastEnd on is hopeless.
    hopelessFrom_ = lastEnd < 0 ? 0 : lastEnd;
    if (hopelessFrom_ <= from + 2) {
      judged_ = true;  // no candidate from here on can be accepted
      return true;
    }
    if (!Plan(hopelessFrom_ - from)) {
      // The budget cannot hold the checkpoints: walk one by one.
      stepBudget_ = std::numeric_limits<std::int64_t>::max();
      return false;
    }
    const std::int64_t leafBytes = leafSpan_ / 8;
    const std::int64_t ringSize = RingSize();
    const std::int64_t bytes =
        leafBytes + ringSize + static_cast<std::int64_t>(levels_) * fanout_ * kCheckpointSpan;
    memory_.reset(allocate_(static_cast<std::size_t>(bytes)));
    if (!memory_) {
      // Try again once the walks have cost as much again.
      stepBudget_ = rejectedSteps_ + std::max<std::int64_t>(rejectedSteps_, 64);
      return false;
    }
    memoryBytes_ = bytes;
    leaf_ = static_cast<std::uint64_t*>(memory_.get());
    leafZeroed_ = true;
    ring_ = static_cast<std::uint8_t*>(memory_.get()) + leafBytes;
    ringMask_ = ringSize - 1;
    checkpoints_ = ring_ + ringSize;
    judgedFrom_ = from;
    spans_[0] = leafSpan_;
    for (int l = 1; l <= levels_; ++l) spans_[l] = spans_[l - 1] * fanout_;
    for (int l = 0; l <= levels_; ++l) current_[l] = -1;
    judged_ = true;
    return true;
  }

  // The leaves and levels of checkpoints for a judged range: one leaf for
  // all of it without a budget or when a quarter of the budget holds its
  // bitmap; else leaves of that size under levels of checkpoints in half
  // the budget. False when the budget cannot hold them.
  bool Plan(std::int64_t range) {
    levels_ = 0;
    fanout_ = 1;
    leafSpan_ = (range + 63) / 64 * 64;
    if (budget_ < 0) return true;
    const std::int64_t leafSpan = std::max<std::int64_t>(budget_ / 4, 512) * 8;
    if (range <= leafSpan) return true;
    leafSpan_ = leafSpan;
    for (int levels = 1; levels <= kMaxLevels && levels_ == 0; ++levels) {
      const std::int64_t fanout = budget_ / 2 / levels / kCheckpointSpan;
      if (fanout < 2) break;
      std::int64_t covered = leafSpan_;
      for (int l = 0; l < levels && covered < range; ++l) covered *= fanout;
      if (covered >= range) {
        levels_ = levels;
        fanout_ = fanout;
      }
    }
    return levels_ != 0;
  }

  // Outcome of the boundary at x, for x to the right of the position the
  // backward pass stands on.
  std::uint8_t OutcomeAt(std::int64_t x) const {
    if (x >= hopelessFrom_) return kHopeless;
    if constexpr (Reader::kDirect) {
      if (pass_.Data()[x] != kMarker) return 0;  // the walk ends at x, before the last FF D9
    }
    return ring_[x & ringMask_];
  }

  std::uint8_t* Checkpoint(int level, std::int64_t child) {
    return checkpoints_ + ((level - 1) * fanout_ + child) * kCheckpointSpan;
  }

  // The ring's outcomes of [at, at + kCheckpointSpan) to or from a checkpoint.
  void Save(std::int64_t at, std::uint8_t* to) const {
    const std::int64_t slot = at & ringMask_;
    const std::int64_t first = std::min(kCheckpointSpan, ringMask_ + 1 - slot);
    std::memcpy(to, ring_ + slot, static_cast<std::size_t>(first));
    std::memcpy(to + first, ring_, static_cast<std::size_t>(kCheckpointSpan - first));
  }
  void Restore(std::int64_t at, const std::uint8_t* from) {
    const std::int64_t slot = at & ringMask_;
    const std::int64_t first = std::min(kCheckpointSpan, ringMask_ + 1 - slot);
    std::memcpy(ring_ + slot, from, static_cast<std::size_t>(first));
    std::memcpy(ring_, from + first, static_cast<std::size_t>(kCheckpointSpan - first));
  }

  // Makes the leaf containing position x (judgedFrom_ <= x < hopelessFrom_)
  // the marked one, passing over whatever level above has not been passed.
  void Reach(std::int64_t x) {
    const std::int64_t offset = x - judgedFrom_;
    for (int level = levels_; level >= 0; --level) {
      const std::int64_t node = offset / spans_[level];
      if (current_[level] == node) continue;
      const std::int64_t lo = judgedFrom_ + node * spans_[level];
      const std::int64_t hi = std::min(hopelessFrom_, lo + spans_[level]);
      // The ring as it stands at hi: nothing to restore at the top, where
      // everything from hopelessFrom_ on is hopeless.
      if (level < levels_) Restore(hi, Checkpoint(level + 1, node % fanout_));
      if (level == 0) {
        // The memory came zeroed: only a leaf marked before is cleared.
        if (!leafZeroed_) std::memset(leaf_, 0, static_cast<std::size_t>(leafSpan_ / 8));
        leafZeroed_ = false;
        leafFrom_ = lo;
      }
      Pass(lo, hi, level);
      current_[level] = node;
      for (int below = level - 1; below >= 0; --below) current_[below] = -1;
    }
  }

  // The backward pass over [lo, hi), the ring standing at hi. Above the
  // leaves it keeps a checkpoint at the upper end of every child; at the
  // leaves it marks the accepted candidates.
  void Pass(std::int64_t lo, std::int64_t hi, int level) {
    const std::int64_t childSpan = level > 0 ? spans_[level - 1] : 0;
    std::int64_t child = level > 0 ? (hi - 1 - lo) / childSpan : 0;
    if (level > 0) Save(hi, Checkpoint(level, child));
    const bool mark = level == 0;
    for (std::int64_t top = hi; top > lo;) {
      // Down to the next child's upper end, a chunk at a time; a chunk's
      // view reaches 3 bytes beyond it, for the code and length fields.
      std::int64_t bottom = std::max({lo, top - kChunk, top - (viewSpan_ - 3)});
      if (level > 0) bottom = std::max(bottom, lo + child * childSpan);
      if constexpr (!Reader::kDirect) ClearRing(bottom, top);
      std::int64_t viewEnd = 0;
      const std::uint8_t* p = pass_.View(bottom, &viewEnd, top + 3 - bottom);
      ForEachBackward(p, 0, top - bottom, kMarker, [&](std::int64_t k) {
        Visit(bottom + k, p + k, mark);
        return true;
      });
      top = bottom;
      if (level > 0 && top == lo + child * childSpan && child > 0) {
        --child;
        Save(top, Checkpoint(level, child));
      }
    }
  }

  void ClearRing(std::int64_t from, std::int64_t to) {
    const std::int64_t at = from & ringMask_;
    const std::int64_t count = to - from;
    const std::int64_t first = std::min(count, ringMask_ + 1 - at);
    std::memset(ring_ + at, 0, static_cast<std::size_t>(first));
    std::memset(ring_, 0, static_cast<std::size_t>(count - first));
  }

  // The boundary at b, whose FF is at q; b < hopelessFrom_ <= length - 2, so
  // its code and the byte after it lie inside, and q[3] is inside whenever
  // b + 3 < length. Each byte is read once.
  void Visit(std::int64_t b, const std::uint8_t* q, bool mark) {
    const std::uint8_t code = q[1];
    const std::uint8_t second = q[2];
    std::uint8_t outcome = kHopeless;
    if (IsStandalone(code)) {
      outcome = OutcomeAt(b + 2);
    } else if (b + 3 < length_) {
      const std::int64_t next = b + 2 + ((second << 8) | q[3]);
      if (next < length_) {
        outcome = OutcomeAt(next);
        if constexpr (kStrict) {
          if (outcome != kHopeless) {
            if ((outcome & kCountBits) < kEnoughSegments) ++outcome;
            outcome |= SeenBy(code);
          }
        } else {
          if (outcome < kEnoughSegments) ++outcome;
        }
      }
    }
    ring_[b & ringMask_] = outcome;
    if (mark && code == kStartCode && b < limit_ && second == kMarker &&
        OutcomeAt(b + 2) == kAccepted) {
      const std::int64_t k = b - leafFrom_;
      leaf_[k >> 6] |= std::uint64_t{1} << (k & 63);
    }
  }

  // First marked candidate at or after i, or limit_.
  std::int64_t NextAccepted(std::int64_t i) {
    if (memory_ == nullptr) return limit_;
    const std::int64_t end = std::min(limit_, hopelessFrom_);
    while (i < end) {
      Reach(i);
      const std::int64_t leafEnd = std::min(hopelessFrom_, leafFrom_ + leafSpan_);
      std::int64_t k = i - leafFrom_;
      const std::int64_t words = (leafEnd - leafFrom_ + 63) / 64;
      std::int64_t w = k >> 6;
      std::uint64_t bits = leaf_[w] & (~std::uint64_t{0} << (k & 63));
      while (bits == 0 && ++w < words) bits = leaf_[w];
      if (bits != 0) return leafFrom_ + w * 64 + std::countr_zero(bits);
      i = leafEnd;
    }
    return limit_;
  }

  Reader scan_;
  Reader walk_;
  Reader ends_;
  Reader pass_;
  std::int64_t length_;
  std::int64_t limit_;     // candidates start below this
  std::int64_t viewSpan_;  // bytes a view may be asked to hold
  void* (*allocate_)(std::size_t);
  std::int64_t noEndFrom_;
  std::int64_t lastEnd_ = -2;       // -2: not searched yet
  std::int64_t rejectedSteps_ = 0;  // steps of the walks rejected one by one
  std::int64_t stepBudget_;         // ... before the candidates are judged
  std::int64_t budget_;             // negative: none

  bool judged_ = false;  // candidates from judgedFrom_ on are marked
  std::int64_t judgedFrom_ = 0;
  std::int64_t hopelessFrom_ = 0;
  std::unique_ptr<void, FreeDeleter> memory_;  // leaf_, ring_, checkpoints_
  std::int64_t memoryBytes_ = 0;
  std::uint64_t* leaf_ = nullptr;  // bit k: candidate at leafFrom_ + k
  bool leafZeroed_ = false;        // leaf_ not marked since it was allocated
  std::uint8_t* ring_ = nullptr;
  std::int64_t ringMask_ = 0;
  std::uint8_t* checkpoints_ = nullptr;
  std::int64_t leafSpan_ = 0;
  std::int64_t leafFrom_ = 0;
  int levels_ = 0;
  std::int64_t fanout_ = 1;
  std::int64_t spans_[kMaxLevels + 1] = {};    // positions under one node of each level
  std::int64_t current_[kMaxLevels + 1] = {};  // the node passed at each level, or -1
};

// The strict searches, apart from the ordinary ones, which stay in place in
// the entry points: behind a common template the compiler laid the ordinary
// span search out worse (its loop constants read from memory, 12% slower on
// random bytes).
void StrictSpan(const std::uint8_t* data, std::int64_t length, const HitCallback& onHit,
                const ScanLimits& limits) {
  JpegScan<SpanReader, true> scan([&](int) { return SpanReader(data, length); }, limits, -1);
  scan.Run(onHit);
  if (limits.peakBytes != nullptr) *limits.peakBytes = scan.PeakBytes();
}

void StrictSource(ByteSource& source, const HitCallback& onHit, const ScanLimits& limits) {
  JpegScan<SlotReader, true> scan([&](int slot) { return SlotReader(source, slot); }, limits,
                                  std::max<std::int64_t>(0, limits.memoryBudget));
  scan.Run(onHit);
  if (limits.peakBytes != nullptr) *limits.peakBytes = scan.PeakBytes();
}

}  // namespace

void FindJpegsWith(const std::uint8_t* data, std::int64_t length, const HitCallback& onHit,
                   const ScanLimits& limits) {
  if (limits.peakBytes != nullptr) *limits.peakBytes = 0;
  if (data == nullptr || length <= kTail) return;
  if (limits.strict) {
    StrictSpan(data, length, onHit, limits);
    return;
  }
  JpegScan<SpanReader, false> scan([&](int) { return SpanReader(data, length); }, limits, -1);
  scan.Run(onHit);
  if (limits.peakBytes != nullptr) *limits.peakBytes = scan.PeakBytes();
}

void FindJpegs(const std::uint8_t* data, std::int64_t length, const HitCallback& onHit,
               const ScanLimits& limits) {
  FindJpegsWith(data, length, onHit, limits);
}

void FindJpegs(const std::uint8_t* data, std::int64_t length, const HitCallback& onHit) {
  FindJpegsWith(data, length, onHit, ScanLimits{});
}

void FindJpegsIn(ByteSource& source, const HitCallback& onHit, const ScanLimits& limits) {
  if (limits.peakBytes != nullptr) *limits.peakBytes = 0;
  if (source.Length() <= kTail) return;
  if (limits.strict) {
    StrictSource(source, onHit, limits);
    return;
  }
  JpegScan<SlotReader, false> scan([&](int slot) { return SlotReader(source, slot); }, limits,
                                   std::max<std::int64_t>(0, limits.memoryBudget));
  scan.Run(onHit);
  if (limits.peakBytes != nullptr) *limits.peakBytes = scan.PeakBytes();
}

}  // namespace qx
