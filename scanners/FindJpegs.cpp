// JPEG search: start marker FF D8 FF, a walk over the header's marker
// segments (at least three with a length field), then the first FF D9 at or
// after the walk's end closes the image.
//
// Two facts keep the scan linear on hostile input:
// - The first FF D9 at or after a position is the same for every candidate.
//   A failed end search from j proves there is none from j on, so later
//   searches stop there; an accepted one moves the scan past everything it
//   read. Every byte is therefore searched at most once.
// - Where a header walk goes from a segment boundary does not depend on the
//   candidate that reached it. Each visited boundary remembers its outcome
//   (the walk's end and the segments counted from there, or that the walk
//   runs off the buffer), so a walk that meets an earlier chain stops there
//   instead of walking it again.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "scanners/Scanners.h"
#include "support/ByteOrder.h"

namespace qx {
namespace {

constexpr std::uint8_t kMarker = 0xFF;
constexpr std::uint8_t kStartCode = 0xD8;
constexpr std::uint8_t kEndCode = 0xD9;
constexpr std::int64_t kTail = 100;  // no candidate starts in the last 100 bytes
constexpr std::uint32_t kEnoughSegments = 3;

bool IsStandalone(std::uint8_t code) { return code == 0x01 || (code >= 0xD0 && code <= 0xD7); }

// Memo word of one boundary: 0 unknown, kDead when the walk from there runs
// off the buffer, else (end << 2) | segments-from-there capped at 3. A walk
// end is a position >= 2, so a live word is never 0 or kDead.
constexpr std::uint32_t kUnknown = 0;
constexpr std::uint32_t kDead = 1;
// Positions must fit the 30 bits a memo word leaves for the walk end.
constexpr std::int64_t kMemoLimit = std::int64_t{1} << 30;

struct WalkResult {
  bool dead = false;
  std::int64_t end = 0;
  std::uint32_t segments = 0;  // capped at kEnoughSegments
};

std::uint32_t Encode(const WalkResult& r) {
  return r.dead ? kDead : (static_cast<std::uint32_t>(r.end) << 2) | r.segments;
}

WalkResult Decode(std::uint32_t word) {
  WalkResult r;
  if (word == kDead) {
    r.dead = true;
  } else {
    r.end = word >> 2;
    r.segments = word & 3u;
  }
  return r;
}

std::uint32_t AddCapped(std::uint32_t a, std::uint32_t b) { return std::min(a + b, kEnoughSegments); }

struct FreeDeleter {
  void operator()(std::uint32_t* p) const { std::free(p); }
};

class JpegScan {
 public:
  JpegScan(const std::uint8_t* data, std::int64_t length) : data_(data), length_(length) {
    // p <= length - 2, so no end marker starts at length - 1 or later.
    noEndFrom_ = length - 1;
  }

  void Run(const HitCallback& onHit) {
    const std::int64_t limit = length_ - kTail;
    std::int64_t i = 0;
    while (i < limit) {
      const void* ff = std::memchr(data_ + i, kMarker, static_cast<std::size_t>(limit - i));
      if (ff == nullptr) return;
      i = static_cast<const std::uint8_t*>(ff) - data_;
      // i < length - 100, so i + 2 lies inside the buffer.
      if (data_[i + 1] != kStartCode || data_[i + 2] != kMarker) {
        ++i;
        continue;
      }
      const WalkResult walk = Walk(i + 2);
      if (walk.dead || walk.segments < kEnoughSegments) {
        ++i;
        continue;
      }
      const std::int64_t p = FindEnd(walk.end);
      if (p < 0) {
        ++i;
        continue;
      }
      onHit(i, p + 2 - i);
      i = p + 2;
    }
  }

 private:
  // One step of the header walk from boundary b (data_[b] is FF): the next
  // boundary, or -1 when the walk leaves the buffer.
  std::int64_t Step(std::int64_t b, std::uint32_t& counted) const {
    if (b + 1 >= length_) return -1;
    const std::uint8_t code = data_[b + 1];
    std::int64_t next;
    if (IsStandalone(code)) {
      next = b + 2;
      counted = 0;
    } else {
      if (b + 3 >= length_) return -1;
      next = b + 2 + ReadBe16(data_ + b + 2);
      counted = 1;
    }
    return next >= length_ ? -1 : next;
  }

  WalkResult Walk(std::int64_t start) {
    PrepareMemo(start);
    path_.clear();
    WalkResult result;
    std::int64_t b = start;
    for (;;) {
      if (memo_ && memo_.get()[b] != kUnknown) {
        result = Decode(memo_.get()[b]);
        break;
      }
      if (data_[b] != kMarker) {
        result.end = b;
        break;
      }
      std::uint32_t counted = 0;
      const std::int64_t next = Step(b, counted);
      path_.push_back({b, counted});
      if (next < 0) {
        result.dead = true;
        break;
      }
      b = next;
    }
    farthest_ = std::max(farthest_, b);
    pathResult_ = result;
    if (memo_) Remember();
    // The candidate's own count is the one of its first boundary.
    if (!result.dead) {
      for (auto it = path_.rbegin(); it != path_.rend(); ++it) {
        result.segments = AddCapped(result.segments, it->counted);
      }
    }
    return result;
  }

  // Before the first walk that could meet an earlier one, the walks visit
  // disjoint, ascending stretches of the buffer and need no memo; the memo is
  // created then and seeded with the previous walk, the only one the new walk
  // can meet.
  void PrepareMemo(std::int64_t start) {
    if (memo_ || memoFailed_ || path_.empty() || start > farthest_) return;
    if (length_ >= kMemoLimit) {
      memoFailed_ = true;
      return;
    }
    memo_.reset(static_cast<std::uint32_t*>(
        std::calloc(static_cast<std::size_t>(length_), sizeof(std::uint32_t))));
    if (!memo_) {
      memoFailed_ = true;  // without it every walk simply runs in full
      return;
    }
    Remember();
  }

  void Remember() {
    std::uint32_t* memo = memo_.get();
    if (pathResult_.dead) {
      for (const Visit& v : path_) memo[v.pos] = kDead;
      return;
    }
    WalkResult r = pathResult_;
    for (auto it = path_.rbegin(); it != path_.rend(); ++it) {
      r.segments = AddCapped(r.segments, it->counted);
      memo[it->pos] = Encode(r);
    }
  }

  // First p >= from with FF D9 at p and p <= length - 2, or -1.
  std::int64_t FindEnd(std::int64_t from) {
    if (from >= noEndFrom_) return -1;
    // Search p in [from, noEndFrom_): a pair starting at noEndFrom_ - 1 still
    // lies inside the buffer, since noEndFrom_ <= length - 1.
    std::int64_t p = from;
    while (p < noEndFrom_) {
      const void* ff = std::memchr(data_ + p, kMarker, static_cast<std::size_t>(noEndFrom_ - p));
      if (ff == nullptr) break;
      p = static_cast<const std::uint8_t*>(ff) - data_;
      if (data_[p + 1] == kEndCode) return p;
      ++p;
    }
    noEndFrom_ = from;
    return -1;
  }

  struct Visit {
    std::int64_t pos;
    std::uint32_t counted;
  };

  const std::uint8_t* data_;
  std::int64_t length_;
  std::int64_t noEndFrom_;
  std::unique_ptr<std::uint32_t, FreeDeleter> memo_;
  bool memoFailed_ = false;
  std::vector<Visit> path_;  // boundaries of the latest walk, in walk order
  WalkResult pathResult_;    // what the latest walk's last boundary led to
  std::int64_t farthest_ = -1;
};

}  // namespace

void FindJpegs(const std::uint8_t* data, std::int64_t length, const HitCallback& onHit) {
  if (data == nullptr || length <= kTail) return;
  JpegScan scan(data, length);
  scan.Run(onHit);
}

}  // namespace qx
