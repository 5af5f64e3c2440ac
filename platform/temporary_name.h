// Platform-internal: the names of temporary files, shared by both
// platforms' NewFile. A name only needs to be unlikely to exist already (the
// exclusive create settles the rest), not unpredictable: a dot, "qx" and
// five letters or digits, never an output name and never longer than one.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace qx::plat::detail {

// The next of a per-thread sequence seeded once with `seed` (the clock and
// the process, as the platform has them) and the thread's own address.
inline std::uint64_t NextRandom(std::uint64_t seed) {
  static std::atomic<std::uint64_t> counter{0};
  thread_local std::uint64_t state = 0;
  if (state == 0) {
    state = seed ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull) ^
            reinterpret_cast<std::uintptr_t>(&state);
    if (state == 0) state = 1;
  }
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

template <class Char>
std::basic_string<Char> TemporaryName(std::uint64_t bits) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::basic_string<Char> name = {Char('.'), Char('q'), Char('x')};
  for (int i = 0; i < 5; ++i) {
    name += static_cast<Char>(kLetters[bits % 36]);
    bits /= 36;
  }
  return name;
}

}  // namespace qx::plat::detail
