// The next occurrence of a byte: where the searches look for candidate starts.
#pragma once

#include <cstdint>
#include <cstring>

namespace qx {

// First position of `byte` in [from, end), or end. Candidate bytes can be
// dense (a buffer full of 'B'), so the first few positions are tested one by
// one before the rest goes to memchr, whose per-call cost would otherwise
// dominate a scan that stops at every byte.
inline std::int64_t FindByte(const std::uint8_t* data, std::int64_t from, std::int64_t end,
                             std::uint8_t byte) {
  const std::int64_t direct = end - from < 16 ? end : from + 16;
  for (; from < direct; ++from) {
    if (data[from] == byte) return from;
  }
  if (from >= end) return end;
  const void* found = std::memchr(data + from, byte, static_cast<std::size_t>(end - from));
  return found != nullptr ? static_cast<const std::uint8_t*>(found) - data : end;
}

}  // namespace qx
