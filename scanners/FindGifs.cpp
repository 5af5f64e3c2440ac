// The GIF search.
//
// A candidate is "GIF87a" or "GIF89a" at i, then the logical screen
// descriptor (7 bytes) and the global colour table its flags announce. The
// blocks follow, each at a block position p:
//  - 0x3B, the trailer: the image ends after it, if it held an image;
//  - 0x21, an extension: a label, then data sub-blocks up to a zero size.
//    The extensions whose first sub-block the format fixes must have it:
//    graphic control (F9) exactly one sub-block of 4 bytes, plain text (01)
//    a first sub-block of 12, application (FF) of 11. Other labels,
//    comments (FE) among them, are any chain of sub-blocks, as a decoder
//    skips them;
//  - 0x2C, an image descriptor (9 bytes after the introducer), its local
//    colour table, the LZW minimum code size, then data sub-blocks. The code
//    size must be 2 to 8: the colour bits of the image, with 2 standing for
//    1-bit images, as the format defines it. The data must not be empty: an
//    LZW stream holds at least its end code;
//  - any other byte rejects the candidate.
// Nothing else is checked: not the screen or frame sizes (decoders clip
// frames to the screen, and real files hold frames beyond it), not the
// reserved bits, not the LZW codes themselves.
//
// Linear time. After a rejected candidate the scan goes on one byte later,
// and later candidates may walk the same blocks again (thousands of headers
// before one long chain of sub-blocks). Every step of a walk after its
// header depends only on where it is and what kind of position it is (a
// block or a sub-block's size byte), not on where the walk began, except
// for whether an image descriptor was seen. Every block other than the
// trailer leads within a few bytes to a sub-block position, so sub-block
// positions are the only ones recorded, two bits each:
//  - "dead": from here the walk is rejected whatever came before (it runs
//    out of bytes or meets a wrong byte);
//  - "trailer, no image": from here it reaches the trailer without an image
//    descriptor; a walk that meets this is rejected if it saw no image
//    either, and accepted otherwise (it walks on, ignoring the marks, to the
//    trailer, whose bytes the scan then skips).
// A walk marks each sub-block position it visits "dead" as it goes; when it
// ends on "trailer, no image" it walks its path again to turn those marks
// over. An accepted walk leaves its marks behind, but nothing before its end
// is walked again. So every sub-block position is walked about twice at
// most, whatever the candidates.
//
// Bytes that change under the scan (a mapped file rewritten) can change the
// hits, and the retrace then leave the path; positions only grow along a
// walk and a retrace stops at the walk's end, so both end, and every read is
// bounded by the length.
//
// The marks (ScanMemo.h) are an optimisation: refused memory, or positions
// beyond the pages' reach, are walked again. The span search may hold a bit
// for every kind of every position (a quarter of the buffer's size); the
// search over a ByteSource holds pages of its budget, reaching that far
// ahead of the scan.

#include <algorithm>
#include <cstdint>

#include "support/ByteSearch.h"
#include "scanners/ScanMemo.h"
#include "scanners/Scanners.h"
#include "scanners/SourceScanners.h"
#include "support/SlotReader.h"

namespace qx {

namespace {

// Signature, screen descriptor, image descriptor, code size, one sub-block
// of one byte, the terminator and the trailer.
constexpr std::int64_t kMinGif = 6 + 7 + 10 + 1 + 2 + 1 + 1;
constexpr std::int64_t kHeaderBytes = 13;  // signature and screen descriptor

constexpr std::uint8_t kTrailer = 0x3B;
constexpr std::uint8_t kExtension = 0x21;
constexpr std::uint8_t kImage = 0x2C;

bool IsSignature(const std::uint8_t* h) {
  return h[0] == 'G' && h[1] == 'I' && h[2] == 'F' && h[3] == '8' && (h[4] == '7' || h[4] == '9') &&
         h[5] == 'a';
}

// The colour table a packed field announces (screen or image descriptor).
std::int64_t TableBytes(std::uint8_t packed) {
  return (packed & 0x80) != 0 ? std::int64_t{3} << ((packed & 7) + 1) : 0;
}

template <class Reader>
class GifWalker {
 public:
  // `pages`: pages of marks held at once, and reached past the lowest.
  GifWalker(Reader& bytes, std::size_t pages)
      : bytes_(bytes), length_(bytes.Length()), marks_(pages, pages) {}

  std::int64_t PeakBytes() const { return marks_.PeakBytes(); }

  // The candidate at `start` whose first block is at `first`: the end of the
  // image (just past its trailer), or -1 when it is rejected.
  std::int64_t Walk(std::int64_t start, std::int64_t first) {
    marks_.ReleaseBelow(2 * start);
    bool image = false;
    bool marking = true;  // off once the walk follows a recorded path to the trailer
    std::int64_t p = first;
    for (;;) {
      const Block block = BlockAt(p, &image);
      if (block.kind == Block::kDead) return -1;
      if (block.kind == Block::kTrailer) {
        if (image) return p + 1;
        TurnOver(first, p);
        return -1;
      }
      std::int64_t k = block.at;
      std::uint8_t size = block.size;
      for (;;) {
        if (marking) {
          if (marks_.Test(2 * k)) return -1;
          if (marks_.Test(2 * k + 1)) {
            if (!image) {
              TurnOver(first, k);
              return -1;
            }
            marking = false;
          } else {
            marks_.Set(2 * k);
          }
        }
        if (size == 0) break;
        k += 1 + size;
        if (k >= length_) return -1;
        size = bytes_.Byte(k);
      }
      p = k + 1;
    }
  }

 private:
  // What a block position leads to: the walk's end, or the first sub-block
  // position to look at (`at`, whose size byte was read as `size`).
  struct Block {
    enum Kind { kDead, kTrailer, kChain } kind;
    std::int64_t at;
    std::uint8_t size;
  };

  Block BlockAt(std::int64_t p, bool* image) {
    constexpr Block kDead = {Block::kDead, 0, 0};
    if (p >= length_) return kDead;
    const std::uint8_t introducer = bytes_.Byte(p);
    if (introducer == kTrailer) return {Block::kTrailer, p, 0};
    if (introducer == kExtension) {
      if (length_ - p < 3) return kDead;
      std::uint8_t head[2] = {};  // label, first size
      bytes_.Copy(p + 1, 2, head);
      switch (head[0]) {
        case 0xF9: {  // graphic control: 4 bytes, then the terminator
          if (head[1] != 4 || length_ - p < 8) return kDead;
          const std::uint8_t terminator = bytes_.Byte(p + 7);
          if (terminator != 0) return kDead;
          return {Block::kChain, p + 7, 0};
        }
        case 0x01:  // plain text
          if (head[1] != 12) return kDead;
          break;
        case 0xFF:  // application
          if (head[1] != 11) return kDead;
          break;
        default:
          break;
      }
      return {Block::kChain, p + 2, head[1]};
    }
    if (introducer == kImage) {
      if (length_ - p < 10) return kDead;
      const std::uint8_t packed = bytes_.Byte(p + 9);
      const std::int64_t code = p + 10 + TableBytes(packed);
      if (code >= length_ - 1) return kDead;
      std::uint8_t data[2] = {};  // minimum code size, first size
      bytes_.Copy(code, 2, data);
      if (data[0] < 2 || data[0] > 8 || data[1] == 0) return kDead;
      *image = true;
      return {Block::kChain, code + 1, data[1]};
    }
    return kDead;
  }

  // The walk from `first` ended on "trailer, no image" at `stop` (the
  // trailer, or a position marked so): its sub-block positions before `stop`
  // are turned from "dead" to that. The bytes are read again; if they
  // changed since the walk, this follows them as long as they lead on
  // before `stop`.
  void TurnOver(std::int64_t first, std::int64_t stop) {
    bool image = false;
    std::int64_t p = first;
    while (p < stop) {
      const Block block = BlockAt(p, &image);
      if (block.kind != Block::kChain) return;
      std::int64_t k = block.at;
      std::uint8_t size = block.size;
      for (;;) {
        if (k >= stop) return;
        marks_.Clear(2 * k);
        marks_.Set(2 * k + 1);
        if (size == 0) break;
        k += 1 + size;
        if (k >= length_) return;
        size = bytes_.Byte(k);
      }
      p = k + 1;
    }
  }

  Reader& bytes_;
  std::int64_t length_;
  // Bit 2k: "dead" at sub-block position k; bit 2k + 1: "trailer, no image".
  PositionBits marks_;
};

template <class Reader>
void ScanGifs(Reader& scan, GifWalker<Reader>& walker, const HitCallback& onHit) {
  const std::int64_t length = scan.Length();
  if (length < kMinGif) return;
  const std::int64_t last = length - kMinGif + 1;  // candidates start below this
  std::int64_t i = 0;
  while (i < last) {
    i = FindPairIn(scan, i, last, 'G', 'I');
    if (i == last) return;
    std::uint8_t header[kHeaderBytes] = {};
    scan.Copy(i, kHeaderBytes, header);
    if (IsSignature(header)) {
      const std::int64_t end = walker.Walk(i, i + kHeaderBytes + TableBytes(header[10]));
      if (end > i) {
        onHit(i, end - i);
        i = end;
        continue;
      }
    }
    ++i;
  }
}

// Marks for every kind of every position: two bits per byte.
std::size_t SpanPages(std::int64_t length) {
  return static_cast<std::size_t>((2 * length) >> PositionBits::kPageShift) + 1;
}

// Pages of the budget, with the ring of page pointers (at most two per page).
std::size_t BudgetPages(std::int64_t budget) {
  const std::int64_t pages = budget / (PositionBits::kPageBytes + 2 * static_cast<std::int64_t>(sizeof(void*)));
  return static_cast<std::size_t>(std::max<std::int64_t>(pages, 0));
}

}  // namespace

void FindGifs(const std::uint8_t* data, std::int64_t length, const HitCallback& onHit) {
  if (data == nullptr || length < kMinGif) return;
  SpanReader bytes(data, length);
  GifWalker<SpanReader> walker(bytes, SpanPages(length));
  ScanGifs(bytes, walker, onHit);
}

void FindGifsIn(ByteSource& source, const HitCallback& onHit, const ScanLimits& limits) {
  if (limits.peakBytes != nullptr) *limits.peakBytes = 0;
  if (source.Length() < kMinGif) return;
  SlotReader scan(source, 0);
  SlotReader walk(source, 1);
  GifWalker<SlotReader> walker(walk, BudgetPages(limits.memoryBudget));
  ScanGifs(scan, walker, onHit);
  if (limits.peakBytes != nullptr) *limits.peakBytes = walker.PeakBytes();
}

}  // namespace qx
