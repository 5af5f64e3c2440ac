// Reading a ByteSource through one of its slots, for code that walks
// forward and now and then needs a few bytes that may straddle two views.
//
// At() keeps the slot's current view while it covers the asked position, so
// a forward walk asks the source for a new view only when it leaves the old
// one. Copy() assembles bytes across as many views as it takes, so nothing
// here assumes a view longer than MinView(), however small that is.
#pragma once

#include <cstdint>

#include "support/ByteSource.h"

namespace qx::unpack {

class SlotReader {
 public:
  SlotReader(ByteSource& source, int slot) : source_(source), slot_(slot) {}

  std::int64_t Length() const { return source_.Length(); }

  // The byte at pos (< Length()) and the bytes after it up to the absolute
  // position *end.
  const std::uint8_t* At(std::int64_t pos, std::int64_t* end) {
    if (view_ == nullptr || pos < viewPos_ || pos >= viewEnd_) {
      view_ = source_.View(slot_, pos, &viewEnd_);
      viewPos_ = pos;
    }
    *end = viewEnd_;
    return view_ + (pos - viewPos_);
  }

  // A new view from pos, which covers MinView() bytes or to the end.
  const std::uint8_t* Fresh(std::int64_t pos, std::int64_t* end) {
    view_ = source_.View(slot_, pos, &viewEnd_);
    viewPos_ = pos;
    *end = viewEnd_;
    return view_;
  }

  // Copies the n bytes at pos; false when they run past the end.
  bool Copy(std::int64_t pos, std::int64_t n, std::uint8_t* out) {
    if (pos < 0 || n < 0 || n > Length() - pos) return false;
    while (n > 0) {
      std::int64_t end = 0;
      const std::uint8_t* p = At(pos, &end);
      const std::int64_t take = end - pos < n ? end - pos : n;
      for (std::int64_t k = 0; k < take; ++k) out[k] = p[k];
      out += take;
      pos += take;
      n -= take;
    }
    return true;
  }

  // The byte at pos, or -1 past the end.
  int Byte(std::int64_t pos) {
    if (pos < 0 || pos >= Length()) return -1;
    std::int64_t end = 0;
    return *At(pos, &end);
  }

 private:
  ByteSource& source_;
  int slot_;
  const std::uint8_t* view_ = nullptr;
  std::int64_t viewPos_ = 0;
  std::int64_t viewEnd_ = 0;
};

}  // namespace qx::unpack
