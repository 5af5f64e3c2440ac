// Reading a ByteSource through one of its slots (SlotReader), and bytes in
// memory through the same calls (SpanReader), so that a search is written
// once for both.
//
// A SlotReader keeps its slot's current view and asks the source for another
// only when a read leaves it, so a walk forward moves the view only as it
// passes its end. Each reader is the only user of its slot. A pointer a
// reader hands out (View, Fields) is valid until that reader is used again.
//
// Fields read through Copy, Fields, Byte, Be32 and Le32 read right when they
// straddle two views, and each byte is read once. Views shorter than
// kMinReaderView (a source with tiny windows) are gathered into the reader's
// own buffer, so that every view holds that many bytes or reaches the end.
//
// Both readers answer:
//   Length(), MinView()       the sequence's length; the largest `need` View
//                             honours
//   View(pos, &end, need)     the byte at pos (0 <= pos < Length()), readable up
//                             to the absolute position *end, with
//                             *end >= min(Length(), pos + need)
//   Copy(pos, n, out)         the n bytes at pos; false, copying nothing, when
//                             they do not lie inside the sequence
//   Fields(pos, n, scratch)   the n bytes at pos, inside the sequence: in place
//                             when one view holds them, else copied to scratch
//   Byte(pos)                 the byte at pos, or -1 outside the sequence
//   Be32(pos), Le32(pos), Le16(pos)  the field at pos, which lies inside
// kDirect is true for SpanReader, whose Data() lets a search read bytes in
// place where that is faster than asking for views.
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
  static constexpr bool kDirect = false;

  SlotReader(ByteSource& source, int slot)
      : source_(source),
        slot_(slot),
        length_(source.Length()),
        minView_(std::clamp<std::int64_t>(source.MinView(), kMinReaderView, std::int64_t{1} << 30)) {}
  SlotReader(const SlotReader&) = delete;
  SlotReader& operator=(const SlotReader&) = delete;

  std::int64_t Length() const { return length_; }
  std::int64_t MinView() const { return minView_; }

  // How far `pos` lies from this reader's view: 0 inside it. Readers that
  // share work (the two ends of a long range) read each position through
  // the one whose view is nearest, so that each keeps to its own stretch
  // instead of moving the other's view back and forth.
  std::int64_t DistanceTo(std::int64_t pos) const {
    if (end_ == 0) return std::numeric_limits<std::int64_t>::max();
    if (pos < start_) return start_ - pos;
    return pos < end_ ? 0 : pos - end_ + 1;
  }

  const std::uint8_t* View(std::int64_t pos, std::int64_t* end, std::int64_t need = kMinReaderView) {
    if (pos < start_ || pos >= end_ || (end_ - pos < need && end_ < length_)) Fetch(pos);
    *end = end_;
    return view_ + (pos - start_);
  }

  bool Copy(std::int64_t pos, std::int64_t n, std::uint8_t* out) {
    if (pos < 0 || n < 0 || n > length_ - pos) return false;
    if (n == 0) return true;
    if (pos >= start_ && pos + n <= end_) {
      std::memcpy(out, view_ + (pos - start_), static_cast<std::size_t>(n));
      return true;
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
    return true;
  }

  const std::uint8_t* Fields(std::int64_t pos, std::int64_t n, std::uint8_t* scratch) {
    if (pos >= start_ && pos + n <= end_) return view_ + (pos - start_);
    Copy(pos, n, scratch);
    return scratch;
  }

  int Byte(std::int64_t pos) {
    if (pos >= start_ && pos < end_) return view_[pos - start_];
    std::uint8_t b = 0;
    return Copy(pos, 1, &b) ? b : -1;
  }
  std::uint32_t Be32(std::int64_t pos) {
    std::uint8_t b[4] = {};
    return ReadBe32(Fields(pos, 4, b));
  }
  std::uint32_t Le32(std::int64_t pos) {
    std::uint8_t b[4] = {};
    return ReadLe32(Fields(pos, 4, b));
  }
  std::uint16_t Le16(std::int64_t pos) {
    std::uint8_t b[2] = {};
    return ReadLe16(Fields(pos, 2, b));
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
    // Too short a view: the next kMinReaderView bytes are gathered, each
    // view asked for after the previous one's bytes were copied.
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
  std::int64_t minView_;
  const std::uint8_t* view_ = nullptr;
  std::int64_t start_ = 0;
  std::int64_t end_ = 0;  // empty until the first view
  std::uint8_t gathered_[kMinReaderView] = {};
};

// Bytes in memory, read through the calls above: every view is the rest of
// the span, so any `need` is met.
class SpanReader {
 public:
  static constexpr bool kDirect = true;

  SpanReader(const std::uint8_t* data, std::int64_t length) : data_(data), length_(length) {}

  const std::uint8_t* Data() const { return data_; }
  std::int64_t Length() const { return length_; }
  std::int64_t MinView() const { return std::numeric_limits<std::int64_t>::max() / 4; }

  const std::uint8_t* View(std::int64_t pos, std::int64_t* end, std::int64_t = kMinReaderView) const {
    *end = length_;
    return data_ + pos;
  }
  bool Copy(std::int64_t pos, std::int64_t n, std::uint8_t* out) const {
    if (pos < 0 || n < 0 || n > length_ - pos) return false;
    if (n > 0) std::memcpy(out, data_ + pos, static_cast<std::size_t>(n));
    return true;
  }
  const std::uint8_t* Fields(std::int64_t pos, std::int64_t, std::uint8_t*) const { return data_ + pos; }
  int Byte(std::int64_t pos) const { return pos >= 0 && pos < length_ ? data_[pos] : -1; }
  std::uint32_t Be32(std::int64_t pos) const { return ReadBe32(data_ + pos); }
  std::uint32_t Le32(std::int64_t pos) const { return ReadLe32(data_ + pos); }
  std::uint16_t Le16(std::int64_t pos) const { return ReadLe16(data_ + pos); }

 private:
  const std::uint8_t* data_;
  std::int64_t length_;
};

}  // namespace qx
