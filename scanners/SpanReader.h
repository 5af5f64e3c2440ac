// A byte span read through the same calls as a SlotReader (SourceReader.h),
// so that a search written once as a template over its reader runs over a
// span and over a ByteSource alike. Every call is an inline access to the
// span; the compiler sees through it.
//
// What such a search may ask of a reader:
//  - Length(): the number of bytes;
//  - View(pos, &end): the byte at pos (0 <= pos < Length()), readable up to
//    the absolute position *end >= min(Length(), pos + kMinReaderView);
//  - Copy(pos, out, n): the n bytes [pos, pos + n), all inside the bytes;
//  - Byte(pos) and Le32(pos): one field, inside the bytes.
// Fields wider than a byte are copied out (Copy) and assembled with
// support/ByteOrder.h, or read with Le32. A pointer from View is valid until
// that reader is used again.
#pragma once

#include <cstdint>
#include <cstring>

#include "scanners/SourceReader.h"
#include "support/ByteOrder.h"

namespace qx {

class SpanReader {
 public:
  SpanReader(const std::uint8_t* data, std::int64_t length) : data_(data), length_(length) {}

  std::int64_t Length() const { return length_; }
  const std::uint8_t* View(std::int64_t pos, std::int64_t* end, std::int64_t = kMinReaderView) const {
    *end = length_;
    return data_ + pos;
  }
  void Copy(std::int64_t pos, std::uint8_t* out, std::int64_t n) const {
    std::memcpy(out, data_ + pos, static_cast<std::size_t>(n));
  }
  std::uint8_t Byte(std::int64_t pos) const { return data_[pos]; }
  std::uint32_t Le32(std::int64_t pos) const { return ReadLe32(data_ + pos); }

 private:
  const std::uint8_t* data_;
  std::int64_t length_;
};

}  // namespace qx
