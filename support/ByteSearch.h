// The next occurrence of a byte, or of a pair of bytes: where the searches
// look for candidate starts (the scanners' and the programs' "MZ"), in a
// buffer or through a reader's views.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// First p in [from, end) with `first` at p and `second` at p + 1, or end;
// data[end] must be readable. Every candidate of the three kinds starts with
// such a pair (BM, FF D8, 89 P), and in ordinary bytes the pair is far rarer
// than its first byte: sixteen positions are tested at a time, where a
// search for the first byte alone would stop every 256 bytes on average.
inline std::int64_t FindPair(const std::uint8_t* data, std::int64_t from, std::int64_t end,
                             std::uint8_t first, std::uint8_t second) {
#if defined(__SSE2__)
  const __m128i firsts = _mm_set1_epi8(static_cast<char>(first));
  const __m128i seconds = _mm_set1_epi8(static_cast<char>(second));
  // Each step reads the 17 bytes [from, from + 16], within data[end].
  for (; end - from >= 16; from += 16) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + from));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + from + 1));
    const int pairs = _mm_movemask_epi8(
        _mm_and_si128(_mm_cmpeq_epi8(here, firsts), _mm_cmpeq_epi8(next, seconds)));
    if (pairs != 0) return from + std::countr_zero(static_cast<unsigned>(pairs));
  }
  for (; from < end; ++from) {
    if (data[from] == first && data[from + 1] == second) return from;
  }
  return end;
#else
  while (from < end) {
    from = FindByte(data, from, end, first);
    if (from == end || data[from + 1] == second) return from;
    ++from;
  }
  return end;
#endif
}

// FindPair through a reader of support/SlotReader.h: the first p in
// [from, to) with `first` at p and `second` at p + 1, or to; p + 1 must lie
// inside the sequence for every p < to. A span is searched in place; views
// are searched one after the other, each up to its last byte but one, so
// that the pair starting on that byte is met at the start of the next view.
template <class Reader>
std::int64_t FindPairIn(Reader& reader, std::int64_t from, std::int64_t to, std::uint8_t first,
                        std::uint8_t second) {
  if constexpr (Reader::kDirect) {
    return FindPair(reader.Data(), from, to, first, second);
  } else {
    while (from < to) {
      // The view holds from + 1 at least, since to < Length(); FindPair may
      // read p[stop - from], the view's last byte.
      std::int64_t viewEnd = 0;
      const std::uint8_t* p = reader.View(from, &viewEnd);
      const std::int64_t stop = std::min(viewEnd - 1, to);
      const std::int64_t found = from + FindPair(p, 0, stop - from, first, second);
      if (found < stop) return found;
      from = stop;
    }
    return to;
  }
}

}  // namespace qx
