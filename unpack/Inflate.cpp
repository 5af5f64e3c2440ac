#define ZLIB_CONST
#include "unpack/Inflate.h"

#include <zlib.h>

#include <climits>
#include <cstring>

#include "support/ByteOrder.h"

namespace qx::unpack {

namespace {

constexpr std::uint16_t kZipEncrypted = 0x0001;
constexpr std::uint16_t kZipDescriptor = 0x0008;
constexpr std::uint16_t kZipStrongEncryption = 0x0040;
constexpr std::uint16_t kZipMaskedHeader = 0x2000;
constexpr std::uint16_t kZipDeflate = 8;
constexpr std::uint32_t kDescriptorSignature = 0x08074B50;

constexpr std::uint8_t kGzipHeaderCrc = 0x02;
constexpr std::uint8_t kGzipExtra = 0x04;
constexpr std::uint8_t kGzipName = 0x08;
constexpr std::uint8_t kGzipComment = 0x10;
constexpr std::uint8_t kGzipReserved = 0xE0;

// zlib counts in unsigned int; views and buffers are fed in pieces below it.
constexpr std::int64_t kMaxPiece = UINT_MAX / 2;

std::int64_t Smaller(std::int64_t a, std::int64_t b) { return a < b ? a : b; }

}  // namespace

bool ReadZipHeader(SlotReader& in, std::int64_t pos, DeflateContainer* entry) {
  std::uint8_t h[30];
  if (!in.Copy(pos, sizeof h, h)) return false;
  if (ReadLe32(h) != 0x04034B50) return false;
  const std::uint16_t flags = ReadLe16(h + 6);
  const std::uint16_t method = ReadLe16(h + 8);
  if (method != kZipDeflate) return false;
  if ((flags & (kZipEncrypted | kZipStrongEncryption | kZipMaskedHeader)) != 0) return false;
  const std::uint16_t nameLength = ReadLe16(h + 26);
  const std::uint16_t extraLength = ReadLe16(h + 28);
  const std::int64_t dataStart = pos + 30 + nameLength + extraLength;
  if (dataStart >= in.Length()) return false;
  entry->dataStart = dataStart;
  entry->trailer = (flags & kZipDescriptor) != 0 ? TrailerKind::kZipDescriptor : TrailerKind::kZipHeaderCrc;
  entry->headerCrc = ReadLe32(h + 14);
  entry->nameStart = pos + 30;
  entry->nameLength = nameLength;
  return true;
}

std::int64_t GzipHeaderReader::EndOfText(SlotReader& in, std::int64_t pos, std::int64_t* examined) {
  if (pos < clearFrom_ || pos > clearTo_) clearFrom_ = clearTo_ = pos;
  const std::int64_t limit = Smaller(in.Length(), pos + kMaxGzipTextBytes);
  std::int64_t at = clearTo_;
  while (at < limit) {
    std::int64_t end = 0;
    const std::uint8_t* p = in.View(at, &end);
    const std::int64_t n = Smaller(end, limit) - at;
    const void* nul = std::memchr(p, 0, static_cast<std::size_t>(n));
    if (nul != nullptr) {
      clearTo_ = at + (static_cast<const std::uint8_t*>(nul) - p);
      *examined += clearTo_ + 1 - at;
      return clearTo_ + 1;
    }
    at += n;
    *examined += n;
  }
  clearTo_ = at;
  return -1;
}

bool GzipHeaderReader::Read(SlotReader& in, std::int64_t pos, DeflateContainer* member,
                            std::int64_t* examined) {
  std::uint8_t h[10];
  if (!in.Copy(pos, sizeof h, h)) return false;
  if (h[0] != 0x1F || h[1] != 0x8B || h[2] != 8) return false;
  const std::uint8_t flags = h[3];
  if ((flags & kGzipReserved) != 0) return false;
  std::int64_t at = pos + 10;
  if ((flags & kGzipExtra) != 0) {
    std::uint8_t x[2];
    if (!in.Copy(at, 2, x)) return false;
    at += 2 + ReadLe16(x);
  }
  if ((flags & kGzipName) != 0 && (at = EndOfText(in, at, examined)) < 0) return false;
  if ((flags & kGzipComment) != 0 && (at = EndOfText(in, at, examined)) < 0) return false;
  if ((flags & kGzipHeaderCrc) != 0) at += 2;
  if (at >= in.Length()) return false;
  member->dataStart = at;
  member->trailer = TrailerKind::kGzip;
  return true;
}

InflateOutcome Inflate(SlotReader& in, std::int64_t start, std::int64_t cap, StreamBuffer& out,
                       CountedMemory& memory, std::int64_t* examined) {
  InflateOutcome outcome;
  outcome.end = start;
  outcome.crc = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
  z_stream z{};
  z.zalloc = CountedMemory::ZlibAlloc;
  z.zfree = CountedMemory::ZlibFree;
  z.opaque = &memory;
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK) {
    outcome.cut = true;
    return outcome;
  }
  std::int64_t pos = start;
  // Set once the output is full: a last call into a one-byte scratch
  // tells a stream that ends exactly at the cap from one that goes on.
  bool full = false;
  std::uint8_t scratch = 0;
  while (pos < in.Length()) {
    std::int64_t size = out.size();
    if (!full && size == out.capacity() && !out.Grow(cap)) {
      if (size == 0) {  // not even a first block: memory refused
        outcome.cut = true;
        break;
      }
      full = true;
    }
    std::int64_t viewEnd = 0;
    const std::uint8_t* p = in.View(pos, &viewEnd);
    std::int64_t feed = Smaller(viewEnd - pos, kMaxPiece);
    if (size == 0) {
      const std::int64_t quietLeft = start + kMaxQuietInput - pos;
      if (quietLeft <= 0) break;
      feed = Smaller(feed, quietLeft);
    }
    z.next_in = p;
    z.avail_in = static_cast<unsigned>(feed);
    if (full) {
      z.next_out = &scratch;
      z.avail_out = 1;
    } else {
      z.next_out = out.data() + size;
      z.avail_out = static_cast<unsigned>(Smaller(out.capacity() - size, kMaxPiece));
    }
    const unsigned outBefore = z.avail_out;
    const int result = inflate(&z, Z_NO_FLUSH);
    const std::int64_t consumed = feed - z.avail_in;
    const std::int64_t produced = outBefore - z.avail_out;
    pos += consumed;
    *examined += consumed;
    if (full) {
      if (produced > 0) {
        outcome.cut = true;
        break;
      }
    } else {
      outcome.crc = static_cast<std::uint32_t>(
          crc32(outcome.crc, out.data() + size, static_cast<unsigned>(produced)));
      out.SetSize(size + produced);
    }
    if (result == Z_STREAM_END) {
      outcome.ended = true;
      break;
    }
    if (result == Z_MEM_ERROR) outcome.cut = true;
    if (result != Z_OK && result != Z_BUF_ERROR) break;
    if (consumed == 0 && produced == 0 && !full) break;  // no way forward
    if (consumed == 0 && full) {  // input held back for output that has no room
      outcome.cut = true;
      break;
    }
  }
  outcome.end = pos;
  inflateEnd(&z);
  return outcome;
}

bool CheckTrailer(SlotReader& in, const DeflateContainer& container, const InflateOutcome& outcome,
                  std::int64_t outputLength, std::int64_t* after) {
  *after = outcome.end;
  std::uint8_t t[8];
  switch (container.trailer) {
    case TrailerKind::kZipHeaderCrc:
      return outcome.crc == container.headerCrc;
    case TrailerKind::kZipDescriptor: {
      if (!in.Copy(outcome.end, 4, t)) return false;
      std::int64_t crcAt = outcome.end;
      // The descriptor's signature is optional; a CRC equal to it is read
      // as the signature, as every reader of such zips must.
      if (ReadLe32(t) == kDescriptorSignature) crcAt += 4;
      return in.Copy(crcAt, 4, t) && ReadLe32(t) == outcome.crc;
    }
    case TrailerKind::kGzip:
      if (!in.Copy(outcome.end, 8, t)) return false;
      *after = outcome.end + 8;
      return ReadLe32(t) == outcome.crc &&
             ReadLe32(t + 4) == static_cast<std::uint32_t>(outputLength);
  }
  return false;
}

}  // namespace qx::unpack
