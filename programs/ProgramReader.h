// How the program search reads its ByteSource: one reader per slot, which
// keeps the slot's current view and asks for another only when a read leaves
// it. Fields are copied out of the views into locals, so a field across two
// views reads right and each is read once. A view shorter than kMinView (a
// source with tiny windows) is gathered into the reader's own buffer.
// (The scanners' SlotReader, trimmed to what this module reads.)
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "support/ByteOrder.h"
#include "support/ByteSource.h"

namespace qx::programs_detail {

inline constexpr std::int64_t kMinView = 16;

class Reader {
 public:
  Reader(ByteSource& source, int slot) : source_(source), slot_(slot), length_(source.Length()) {}
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  std::int64_t Length() const { return length_; }

  // The byte at pos (0 <= pos < length), readable up to the absolute
  // position *end >= min(length, pos + kMinView).
  const std::uint8_t* View(std::int64_t pos, std::int64_t* end) {
    if (pos < start_ || pos >= end_ || (end_ - pos < kMinView && end_ < length_)) Fetch(pos);
    *end = end_;
    return view_ + (pos - start_);
  }

  // The n bytes [pos, pos + n), which must lie inside the sequence.
  void Copy(std::int64_t pos, std::uint8_t* out, std::int64_t n) {
    if (n <= 0) return;
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

  std::uint16_t Le16(std::int64_t pos) {
    std::uint8_t b[2];
    Copy(pos, b, 2);
    return ReadLe16(b);
  }
  std::uint32_t Le32(std::int64_t pos) {
    std::uint8_t b[4];
    Copy(pos, b, 4);
    return ReadLe32(b);
  }

 private:
  void Fetch(std::int64_t pos) {
    std::int64_t end = 0;
    const std::uint8_t* p = source_.View(slot_, pos, &end);
    const std::int64_t want = std::min(length_, pos + kMinView);
    if (end >= want) {
      view_ = p;
      start_ = pos;
      end_ = end;
      return;
    }
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
  std::uint8_t gathered_[kMinView] = {};
};

}  // namespace qx::programs_detail
