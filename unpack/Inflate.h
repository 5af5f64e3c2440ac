// The deflate containers: zip local headers, gzip member headers and their
// trailers, and inflating a raw deflate stream from a windowed source.
//
// Every read of a header is bounded and checked before use; nothing here
// trusts a size field to say how much to read or allocate. The inflater runs
// until the stream ends itself, breaks, or fills the cap.
#pragma once

#include <cstdint>

#include "support/SlotReader.h"
#include "unpack/CountedMemory.h"

namespace qx::unpack {

// The longest gzip file name or comment accepted, NUL included.
inline constexpr std::int64_t kMaxGzipTextBytes = 65536;

// A deflate stream that has produced nothing after this much input is not
// taken for one. A real stream's first block header (the largest, a dynamic
// one, is under 300 bytes) is followed at once by its first byte; only empty
// blocks could delay it, and a run of them would let every candidate header
// of a hostile file send the inflater through the same stretch again.
inline constexpr std::int64_t kMaxQuietInput = 512;

enum class TrailerKind { kZipHeaderCrc, kZipDescriptor, kGzip };

struct DeflateContainer {
  std::int64_t dataStart = 0;  // first byte of the raw deflate stream
  TrailerKind trailer = TrailerKind::kZipHeaderCrc;
  std::uint32_t headerCrc = 0;  // kZipHeaderCrc only
  // A zip entry's name, as the local header holds it.
  std::int64_t nameStart = 0;
  std::int64_t nameLength = 0;
};

// A local header at pos of an unencrypted entry compressed with deflate.
bool ReadZipHeader(SlotReader& in, std::int64_t pos, DeflateContainer* entry);

// Gzip headers: remembers, between calls, a stretch known to hold no NUL, so
// that names and comments of candidates packed close together are not
// searched again for each candidate.
class GzipHeaderReader {
 public:
  // `examined` grows by the bytes searched for a NUL.
  bool Read(SlotReader& in, std::int64_t pos, DeflateContainer* member, std::int64_t* examined);

 private:
  // The position after the NUL that ends the text at pos, or -1.
  std::int64_t EndOfText(SlotReader& in, std::int64_t pos, std::int64_t* examined);

  std::int64_t clearFrom_ = 0;  // [clearFrom_, clearTo_) holds no NUL
  std::int64_t clearTo_ = 0;
};

struct InflateOutcome {
  std::int64_t end = 0;    // after the last input byte the inflater consumed
  bool ended = false;      // the stream's own final block was read
  bool cut = false;        // the cap was reached, or memory refused
  std::uint32_t crc = 0;   // CRC-32 of the output
};

// Inflates the raw deflate stream at `start` into `out` (empty on entry), at
// most `cap` bytes of output. `examined` grows by the input consumed.
InflateOutcome Inflate(SlotReader& in, std::int64_t start, std::int64_t cap, StreamBuffer& out,
                       CountedMemory& memory, std::int64_t* examined);

// After a stream that ended: whether the container's CRC (and, for gzip,
// length) matches the output, and where the container ends (*after: past a
// gzip trailer, else the stream's end).
bool CheckTrailer(SlotReader& in, const DeflateContainer& container, const InflateOutcome& outcome,
                  std::int64_t outputLength, std::int64_t* after);

}  // namespace qx::unpack
