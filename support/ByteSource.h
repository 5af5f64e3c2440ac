// A read-only byte sequence that may be far larger than memory, read through
// windows.
//
// The searches and the unpacking layer read a file's bytes through this
// interface when the file is too large to be one span (a disk image of many
// gigabytes). A source keeps a few independent windows ("slots"), so that a
// search can follow a walk far ahead without losing its place in the scan.
//
// Contract of View(slot, pos, &end):
//  - 0 <= pos < Length(), 0 <= slot < kByteSourceSlots;
//  - returns p with p[0] the byte at pos, readable up to the absolute
//    position *end, where min(Length(), pos + MinView()) <= *end <= Length();
//  - p stays valid until View is called again for the same slot; views of
//    other slots are not disturbed.
// A source never fails: bytes it cannot deliver (a file that shrank or a
// failing disk) read as zeros, and the source remembers from where on its
// bytes were not the file's (see the implementations).
#pragma once

#include <cstdint>

namespace qx {

inline constexpr int kByteSourceSlots = 4;

class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // The number of bytes; fixed for the source's life.
  virtual std::int64_t Length() const = 0;

  // The shortest stretch a view is guaranteed to cover (or to the end).
  virtual std::int64_t MinView() const = 0;

  virtual const std::uint8_t* View(int slot, std::int64_t pos, std::int64_t* end) = 0;
};

// A span in memory as a source. `window` (0: the whole span) limits every
// view to window bytes from the asked position, so that tests can drive the
// windowed code paths over small buffers.
class SpanSource final : public ByteSource {
 public:
  SpanSource(const std::uint8_t* data, std::int64_t length, std::int64_t window = 0)
      : data_(data), length_(length), window_(window > 0 ? window : length) {}

  std::int64_t Length() const override { return length_; }
  std::int64_t MinView() const override { return window_; }

  const std::uint8_t* View(int, std::int64_t pos, std::int64_t* end) override {
    *end = length_ - pos < window_ ? length_ : pos + window_;
    return data_ + pos;
  }

 private:
  const std::uint8_t* data_;
  std::int64_t length_;
  std::int64_t window_;
};

}  // namespace qx
