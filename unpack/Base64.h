// Base64 text inside arbitrary bytes: finding blocks worth decoding, and
// decoding them from a windowed source.
//
// A block is one of:
//  - a single line of at least kMinSingleLine alphabet characters (A-Z a-z
//    0-9 + /), optionally ended by one or two '=': the shape of a data: URL
//    or a JSON string, which end at a quote, a parenthesis or anything else
//    outside the alphabet;
//  - lines of one length L (kMinLine <= L <= kMaxLine, L a multiple of 4,
//    the shapes encoders wrap to) joined by line
//    breaks (CR LF, LF or CR, each optionally followed by spaces or tabs that
//    indent the next line), the last line no longer than L and the only one
//    that may end in '=': the shape of a MIME body or a PEM block. A blank
//    line ends a block.
// A block starts at the start of a line run: the first line must follow a
// byte outside the alphabet (or the start of the input). A line longer than
// the lines before it starts a new block.
//
// What is not decoded, because it is not worth decoding:
//  - fewer than kMinSymbols alphabet characters in all (48 bytes, less than
//    the smallest image or container that could be inside);
//  - fewer than kMinDistinct different characters (DNA sequences, runs of
//    one letter), no character outside the hexadecimal digits (hex dumps,
//    digests), or not all of an upper-case letter, a lower-case letter and a
//    digit, '+' or '/' (identifiers, paths, words run together), which the
//    base64 of any 48 bytes worth decoding has but for odds of about 1e-6.
// Ordinary prose breaks at every space and code at every operator, so text
// costs one classification per byte, without branches, and decodes nothing.
// URL-safe base64 (- and _) and JSON's escaped slash (\/) end a block.
#pragma once

#include <cstdint>

#include "support/ByteSource.h"
#include "support/SlotReader.h"

namespace qx::unpack {

inline constexpr std::int64_t kMinLine = 32;
inline constexpr std::int64_t kMaxLine = 1000;
inline constexpr std::int64_t kMinSingleLine = 64;
inline constexpr std::int64_t kMinSymbols = 64;
inline constexpr int kMinDistinct = 12;

struct Base64Block {
  std::int64_t start = 0;    // its first character
  std::int64_t end = 0;      // after its last character or '='
  std::int64_t symbols = 0;  // alphabet characters in it
};

// The length of what `symbols` alphabet characters decode to.
std::int64_t DecodedLength(std::int64_t symbols);

class Base64Finder {
 public:
  // `examined` grows by the bytes of every block read, worth decoding or not.
  Base64Finder(ByteSource& source, int slot, std::int64_t* examined)
      : in_(source, slot), examined_(examined) {}

  // The first block that starts at or after `from`; false when there is
  // none. Successive calls with growing `from` read each byte about once.
  bool Next(std::int64_t from, Base64Block* block);

 private:
  bool Search(std::int64_t from, Base64Block* block);
  // The start of the first maximal run of at least kMinLine alphabet
  // characters at or after pos, where byte pos - 1 is outside the alphabet.
  bool FindLongRun(std::int64_t pos, std::int64_t* start);
  // The block whose first line starts at `start`; *resume is where the
  // search goes on if it is not worth decoding.
  bool ReadBlock(std::int64_t start, Base64Block* block, std::int64_t* resume);
  // The end of the alphabet run at pos; `seen` gains a bit per character.
  std::int64_t RunEnd(std::int64_t pos, std::uint64_t* seen);

  SlotReader in_;
  std::int64_t* examined_;
  // The last answer: for any `from` in [askedFrom_, found_.start] (or past
  // askedFrom_ when there was none) it is the same.
  bool asked_ = false;
  bool any_ = false;
  std::int64_t askedFrom_ = 0;
  Base64Block found_;
};

// Decodes the block into out (room for `cap` bytes); returns the bytes
// written, min(cap, DecodedLength(block.symbols)).
std::int64_t DecodeBase64(SlotReader& in, const Base64Block& block, std::uint8_t* out, std::int64_t cap);

}  // namespace qx::unpack
