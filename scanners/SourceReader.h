// How the windowed searches read a ByteSource: one reader per slot, which
// keeps the slot's current view and asks for another only when a read leaves
// it. A pointer a reader hands out is valid until that reader is used again
// (the next view of its slot); each reader is the only user of its slot.
//
// Fields are copied out of the views into locals (Copy, Be32, Le32), so a
// field that straddles two views reads right, and each is read exactly once.
// Views shorter than kMinReaderView (a source with tiny windows) are gathered
// into the reader's own buffer, so callers may count on that many bytes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "support/ByteOrder.h"
#include "support/ByteSource.h"

namespace qx {

inline constexpr std::int64_t kMinReaderView = 16;

class SlotReader {
 public:
  SlotReader(ByteSource& source, int slot)
      : source_(source), slot_(slot), length_(source.Length()) {}
  SlotReader(const SlotReader&) = delete;
  SlotReader& operator=(const SlotReader&) = delete;

  std::int64_t Length() const { return length_; }

  // How far `pos` lies from this reader's view: 0 inside it; the reader
  // whose view is nearest should read there, so that readers sharing work
  // (the two ends of a long range) keep to their own stretch instead of
  // moving each other's views back and forth.
  std::int64_t DistanceTo(std::int64_t pos) const {
    if (end_ == 0) return std::numeric_limits<std::int64_t>::max();
    if (pos < start_) return start_ - pos;
    return pos < end_ ? 0 : pos - end_ + 1;
  }

  // The byte at pos (0 <= pos < Length()), readable up to the absolute
  // position *end, with *end >= min(Length(), pos + need). `need` may be up
  // to the larger of kMinReaderView and the source's MinView().
  const std::uint8_t* View(std::int64_t pos, std::int64_t* end,
                           std::int64_t need = kMinReaderView) {
    if (pos < start_ || pos >= end_ || (end_ - pos < need && end_ < length_)) Fetch(pos);
    *end = end_;
    return view_ + (pos - start_);
  }

  // The n bytes [pos, pos + n), which must lie inside the sequence.
  void Copy(std::int64_t pos, std::uint8_t* out, std::int64_t n) {
    if (pos >= start_ && pos + n <= end_) {
      std::memcpy(out, view_ + (pos - start_), static_cast<std::size_t>(n));
      return;
    }
    while (n > 0) {
      std::int64_t end = 0;
      const std::uint8_t* p = View(pos, &end);
      const std::int64_t take = std::min(n, end - pos);
      std::memcpy(out, p, static_cast<std::size_t>(take));
      out += take;
      pos += take;
      n -= take;
    }
  }

  // Fields read straight from the view when they lie inside it, which is
  // nearly always; a field across two views is gathered first.
  std::uint8_t Byte(std::int64_t pos) {
    if (pos >= start_ && pos < end_) return view_[pos - start_];
    std::uint8_t b = 0;
    Copy(pos, &b, 1);
    return b;
  }
  std::uint32_t Be32(std::int64_t pos) {
    if (pos >= start_ && pos + 4 <= end_) return ReadBe32(view_ + (pos - start_));
    std::uint8_t b[4];
    Copy(pos, b, 4);
    return ReadBe32(b);
  }
  std::uint32_t Le32(std::int64_t pos) {
    if (pos >= start_ && pos + 4 <= end_) return ReadLe32(view_ + (pos - start_));
    std::uint8_t b[4];
    Copy(pos, b, 4);
    return ReadLe32(b);
  }

 private:
  void Fetch(std::int64_t pos) {
    std::int64_t end = 0;
    const std::uint8_t* p = source_.View(slot_, pos, &end);
    const std::int64_t want = std::min(length_, pos + kMinReaderView);
    if (end >= want) {
      view_ = p;
      start_ = pos;
      end_ = end;
      return;
    }
    // Too short a view: gather the next kMinReaderView bytes, each view
    // asked after the previous one's bytes were copied.
    std::int64_t at = pos;
    for (;;) {
      const std::int64_t take = std::min(end, want) - at;
      std::memcpy(gathered_ + (at - pos), p, static_cast<std::size_t>(take));
      at += take;
      if (at >= want) break;
      p = source_.View(slot_, at, &end);
    }
    view_ = gathered_;
    start_ = pos;
    end_ = want;
  }

  ByteSource& source_;
  int slot_;
  std::int64_t length_;
  const std::uint8_t* view_ = nullptr;
  std::int64_t start_ = 0;
  std::int64_t end_ = 0;  // empty until the first view
  std::uint8_t gathered_[kMinReaderView] = {};
};

}  // namespace qx
