#include "unpack/Base64.h"

#include <array>
#include <bit>

namespace qx::unpack {

namespace {

// Byte classes: the alphabet's values 0..63, then the other bytes a block
// may hold.
constexpr std::uint8_t kPad = 64;
constexpr std::uint8_t kLineBreak = 65;
constexpr std::uint8_t kIndent = 66;
constexpr std::uint8_t kOther = 255;

constexpr std::array<std::uint8_t, 256> MakeClasses() {
  std::array<std::uint8_t, 256> c{};
  for (auto& v : c) v = kOther;
  const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int k = 0; k < 64; ++k) c[static_cast<std::uint8_t>(alphabet[k])] = static_cast<std::uint8_t>(k);
  c['='] = kPad;
  c['\r'] = kLineBreak;
  c['\n'] = kLineBreak;
  c[' '] = kIndent;
  c['\t'] = kIndent;
  return c;
}
constexpr std::array<std::uint8_t, 256> kClass = MakeClasses();

constexpr bool InAlphabet(std::uint8_t b) { return kClass[b] < 64; }

// The alphabet values of 0-9, A-F and a-f: a block made of these alone is
// hex, not base64.
constexpr std::uint64_t HexMask() {
  std::uint64_t m = 0;
  for (int v = 0; v < 6; ++v) m |= std::uint64_t{1} << v;         // A-F
  for (int v = 26; v < 32; ++v) m |= std::uint64_t{1} << v;       // a-f
  for (int v = 52; v < 62; ++v) m |= std::uint64_t{1} << v;       // 0-9
  return m;
}
constexpr std::uint64_t kHexMask = HexMask();
constexpr std::uint64_t kUpperMask = (std::uint64_t{1} << 26) - 1;
constexpr std::uint64_t kLowerMask = kUpperMask << 26;
constexpr std::uint64_t kDigitMask = ~(kUpperMask | kLowerMask);  // 0-9 + /

}  // namespace

std::int64_t DecodedLength(std::int64_t symbols) {
  const std::int64_t tail = symbols % 4;
  return symbols / 4 * 3 + (tail == 0 ? 0 : tail - 1);
}

bool Base64Finder::Next(std::int64_t from, Base64Block* block) {
  if (asked_ && from >= askedFrom_ && (!any_ || from <= found_.start)) {
    *block = found_;
    return any_;
  }
  asked_ = true;
  askedFrom_ = from;
  any_ = Search(from, &found_);
  *block = found_;
  return any_;
}

std::int64_t Base64Finder::RunEnd(std::int64_t pos) {
  const std::int64_t length = in_.Length();
  while (pos < length) {
    std::int64_t end = 0;
    const std::uint8_t* p = in_.At(pos, &end);
    const std::uint8_t* q = p;
    const std::uint8_t* stop = p + (end - pos);
    while (q < stop && InAlphabet(*q)) ++q;
    pos += q - p;
    if (q < stop) break;
  }
  return pos;
}

bool Base64Finder::Search(std::int64_t from, Base64Block* block) {
  std::int64_t pos = from;
  // A run that began before `from` is not a block's start.
  if (pos > 0 && pos < in_.Length() && InAlphabet(static_cast<std::uint8_t>(in_.Byte(pos - 1)))) {
    pos = RunEnd(pos);
  }
  std::int64_t start = 0;
  std::int64_t end = 0;
  while (FindLongRun(pos, &start, &end)) {
    if (ReadBlock(start, end, block, &pos)) return true;
  }
  return false;
}

bool Base64Finder::FindLongRun(std::int64_t pos, std::int64_t* start, std::int64_t* end) {
  const std::int64_t length = in_.Length();
  // Invariant: byte pos - 1, if any, is outside the alphabet, so a run of
  // kMinLine alphabet bytes from pos is the start of a maximal run. Probing
  // the last byte of [pos, pos + kMinLine) first lets text, whose runs are
  // words, be passed over a probe per word or so.
  while (length - pos >= kMinLine) {
    std::int64_t viewEnd = 0;
    const std::uint8_t* p = in_.At(pos, &viewEnd);
    if (viewEnd - pos < kMinLine) {
      // The rest of the current view is short: ask for one from pos.
      p = in_.Fresh(pos, &viewEnd);
    }
    if (viewEnd - pos >= kMinLine) {
      if (!InAlphabet(p[kMinLine - 1])) {
        pos += kMinLine;
        continue;
      }
      std::int64_t k = kMinLine - 2;
      while (k >= 0 && InAlphabet(p[k])) --k;
      if (k >= 0) {
        pos += k + 1;
        continue;
      }
    } else {
      // Views shorter than a line (tests' tiny windows): byte by byte.
      std::int64_t k = 0;
      while (k < kMinLine && InAlphabet(static_cast<std::uint8_t>(in_.Byte(pos + k)))) ++k;
      if (k < kMinLine) {
        pos += k + 1;
        continue;
      }
    }
    *start = pos;
    *end = RunEnd(pos + kMinLine);
    return true;
  }
  return false;
}

bool Base64Finder::ReadBlock(std::int64_t start, std::int64_t end, Base64Block* block,
                             std::int64_t* resume) {
  const std::int64_t lineLength = end - start;
  std::uint64_t seen = 0;
  auto note = [&](std::int64_t from, std::int64_t to) {
    while (from < to) {
      std::int64_t viewEnd = 0;
      const std::uint8_t* p = in_.At(from, &viewEnd);
      const std::int64_t n = (viewEnd < to ? viewEnd : to) - from;
      for (std::int64_t k = 0; k < n; ++k) seen |= std::uint64_t{1} << kClass[p[k]];
      from += n;
    }
  };
  auto padsAt = [&](std::int64_t at) {
    int pads = 0;
    while (pads < 2 && in_.Byte(at + pads) == '=') ++pads;
    return pads;
  };
  note(start, end);
  std::int64_t symbols = lineLength;
  std::int64_t lines = 1;
  std::int64_t pos = end;
  *resume = end;
  const int firstPads = padsAt(pos);
  pos += firstPads;
  // Only a line of a length encoders wrap to can have lines after it.
  const bool wrapped = firstPads == 0 && lineLength % 4 == 0 && lineLength <= kMaxLine;
  while (wrapped) {
    // A line break, then the next line's indentation.
    std::int64_t q = pos;
    int c = in_.Byte(q);
    if (c < 0 || kClass[c] != kLineBreak) break;
    ++q;
    if (c == '\r' && in_.Byte(q) == '\n') ++q;
    while ((c = in_.Byte(q)) >= 0 && kClass[c] == kIndent) ++q;
    const std::int64_t runEnd = RunEnd(q);
    const std::int64_t run = runEnd - q;
    const int pads = padsAt(runEnd);
    if (run + pads == 0) break;
    if (run + pads > lineLength) {
      *resume = q;
      break;
    }
    note(q, runEnd);
    symbols += run;
    ++lines;
    pos = runEnd + pads;
    if (run + pads < lineLength || pads > 0) break;
  }
  if (*resume < pos) *resume = pos;
  *examined_ += pos - start;
  block->start = start;
  block->end = pos;
  block->symbols = symbols;
  if (symbols < kMinSymbols) return false;
  if (lines == 1 && lineLength < kMinSingleLine) return false;
  if (std::popcount(seen) < kMinDistinct) return false;
  if ((seen & kUpperMask) == 0 || (seen & kLowerMask) == 0 || (seen & kDigitMask) == 0) return false;
  return (seen & ~kHexMask) != 0;
}

std::int64_t DecodeBase64(SlotReader& in, const Base64Block& block, std::uint8_t* out, std::int64_t cap) {
  std::int64_t written = 0;
  std::uint32_t bits = 0;
  int count = 0;
  std::int64_t pos = block.start;
  while (pos < block.end && written < cap) {
    std::int64_t viewEnd = 0;
    const std::uint8_t* p = in.At(pos, &viewEnd);
    const std::int64_t n = (viewEnd < block.end ? viewEnd : block.end) - pos;
    for (std::int64_t k = 0; k < n; ++k) {
      const std::uint8_t v = kClass[p[k]];
      if (v >= 64) continue;
      bits = (bits << 6) | v;
      if (++count == 4) {
        const std::uint8_t group[3] = {static_cast<std::uint8_t>(bits >> 16),
                                       static_cast<std::uint8_t>(bits >> 8),
                                       static_cast<std::uint8_t>(bits)};
        for (int g = 0; g < 3 && written < cap; ++g) out[written++] = group[g];
        count = 0;
        bits = 0;
        if (written == cap) return written;
      }
    }
    pos += n;
  }
  // A last group of two or three characters holds one or two bytes.
  if (count >= 2 && written < cap) out[written++] = static_cast<std::uint8_t>(bits >> (count * 6 - 8));
  if (count == 3 && written < cap) out[written++] = static_cast<std::uint8_t>(bits >> 2);
  return written;
}

}  // namespace qx::unpack
