#include "unpack/Base64.h"

#include <array>
#include <bit>

#include "support/ByteOrder.h"

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

constexpr std::uint64_t kOnes = 0x0101010101010101;
constexpr std::uint64_t kHigh = kOnes * 0x80;
constexpr std::uint64_t kLow7 = kOnes * 0x7F;

// The high bit of each byte of x7 (bytes below 0x80) that lies in [lo, hi].
constexpr std::uint64_t InRange(std::uint64_t x7, unsigned lo, unsigned hi) {
  return (x7 + kOnes * (0x80 - lo)) & ~(x7 + kOnes * (0x7F - hi));
}

// Bit k set when byte k of the eight in x (first byte lowest) is in the
// alphabet. Letters of both cases are one range once 0x20 is set.
constexpr unsigned AlphabetByte(std::uint64_t x) {
  const std::uint64_t x7 = x & kLow7;
  const std::uint64_t in = (InRange((x | kOnes * 0x20) & kLow7, 'a', 'z') | InRange(x7, '/', '9') |
                            InRange(x7, '+', '+')) & ~x & kHigh;
  // Gathers the eight high bits into the top byte.
  return static_cast<unsigned>(((in >> 7) * 0x0102040810204080) >> 56);
}

constexpr bool AlphabetByteAgreesWithClasses() {
  for (int lane = 0; lane < 8; ++lane) {
    for (unsigned b = 0; b < 256; ++b) {
      const std::uint64_t x = (std::uint64_t{b} << (8 * lane)) | (lane == 0 ? 0 : 'Q');
      const unsigned expected = (InAlphabet(static_cast<std::uint8_t>(b)) ? 1u << lane : 0u) |
                                (lane == 0 ? 0u : 1u);
      if (AlphabetByte(x) != expected) return false;
    }
  }
  return true;
}
static_assert(AlphabetByteAgreesWithClasses());

// Bit k set when p[k] is in the alphabet, for k < n <= 64; eight bytes at
// a time, without a branch or a table.
inline std::uint64_t AlphabetMask(const std::uint8_t* p, std::int64_t n) {
  std::uint64_t m = 0;
  if (n == 64) {
    for (int k = 0; k < 64; k += 8) m |= std::uint64_t{AlphabetByte(ReadLe64(p + k))} << k;
    return m;
  }
  std::int64_t k = 0;
  for (; k + 8 <= n; k += 8) m |= std::uint64_t{AlphabetByte(ReadLe64(p + k))} << k;
  for (; k < n; ++k) m |= std::uint64_t{InAlphabet(p[k])} << k;
  return m;
}

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

std::int64_t Base64Finder::RunEnd(std::int64_t pos, std::uint64_t* seen) {
  const std::int64_t length = in_.Length();
  while (pos < length) {
    std::int64_t end = 0;
    const std::uint8_t* p = in_.View(pos, &end);
    const std::int64_t n = end - pos < 64 ? end - pos : 64;
    const std::int64_t run = std::countr_one(AlphabetMask(p, n));
    for (std::int64_t k = 0; k < run; ++k) *seen |= std::uint64_t{1} << kClass[p[k]];
    pos += run;
    if (run < n) break;
  }
  return pos;
}

bool Base64Finder::Search(std::int64_t from, Base64Block* block) {
  std::int64_t pos = from;
  // A run that began before `from` is not a block's start.
  std::uint64_t ignored = 0;
  if (pos > 0 && pos < in_.Length() && InAlphabet(static_cast<std::uint8_t>(in_.Byte(pos - 1)))) {
    pos = RunEnd(pos, &ignored);
  }
  std::int64_t start = 0;
  while (FindLongRun(pos, &start)) {
    if (ReadBlock(start, block, &pos)) return true;
  }
  return false;
}

bool Base64Finder::FindLongRun(std::int64_t pos, std::int64_t* start) {
  const std::int64_t length = in_.Length();
  // Invariant: byte pos - 1, if any, is outside the alphabet. The bytes are
  // classified 64 at a time into a bit mask, without a branch per byte: in
  // text a branch per word would be mispredicted about as often as taken.
  std::int64_t carry = 0;  // alphabet bytes just before pos
  while (pos < length) {
    std::int64_t viewEnd = 0;
    const std::uint8_t* p = in_.View(pos, &viewEnd);
    const std::int64_t n = viewEnd - pos < 64 ? viewEnd - pos : 64;
    // A run of kMinLine that starts in these 64 bytes covers byte 31 or
    // byte 63: in binary data both are often outside the alphabet.
    if (n == 64 && carry == 0 && !InAlphabet(p[31]) && !InAlphabet(p[63])) {
      pos += 64;
      continue;
    }
    const std::uint64_t m = AlphabetMask(p, n);
    const std::int64_t lead = std::countr_one(m);
    if (carry + lead >= kMinLine) {
      *start = pos - carry;
      return true;
    }
    // Bit i of r: bits i to i + 31 of m are all set.
    std::uint64_t r = m;
    r &= r >> 1;
    r &= r >> 2;
    r &= r >> 4;
    r &= r >> 8;
    r &= r >> 16;
    static_assert(kMinLine == 32);
    if (r != 0) {
      *start = pos + std::countr_zero(r);
      return true;
    }
    carry = lead == n ? carry + n : std::countl_one(m << (64 - n));
    pos += n;
  }
  return false;
}

bool Base64Finder::ReadBlock(std::int64_t start, Base64Block* block, std::int64_t* resume) {
  std::uint64_t seen = 0;  // bit v: the character of value v occurs
  const std::int64_t end = RunEnd(start, &seen);
  const std::int64_t lineLength = end - start;
  auto padsAt = [&](std::int64_t at) {
    int pads = 0;
    while (pads < 2 && in_.Byte(at + pads) == '=') ++pads;
    return pads;
  };
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
    std::uint64_t lineSeen = 0;
    const std::int64_t runEnd = RunEnd(q, &lineSeen);
    const std::int64_t run = runEnd - q;
    const int pads = padsAt(runEnd);
    if (run + pads == 0) break;
    if (run + pads > lineLength) {
      *resume = q;
      break;
    }
    seen |= lineSeen;
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
    const std::uint8_t* p = in.View(pos, &viewEnd);
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
