// What the unpacking tests share: running Unpack and keeping what it
// reported, and containers built on the spot with zlib.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "unpack/Unpack.h"

namespace qx::testunpack {

using Bytes = std::vector<std::uint8_t>;

struct Found {
  ContainerKind kind;
  int depth;
  std::int64_t offset;
  std::int64_t end;  // of the container's bytes
  std::int64_t length;
  std::uint32_t crc;  // of the decoded bytes
  bool complete;
  bool cut;
  Bytes bytes;  // kept when short
  bool operator==(const Found&) const = default;
};

struct Unpacked {
  std::vector<Found> found;
  UnpackSummary summary;
};

// Unpack over the bytes read through views of at most `window` bytes
// (0: one span).
Unpacked UnpackBytes(const Bytes& input, const UnpackLimits& limits = {}, std::int64_t window = 0);

// The same, checked to report the same streams through small windows
// (64 bytes, the least a source guarantees, and an odd 97) as through one span.
Unpacked UnpackAllWindows(const Bytes& input, const UnpackLimits& limits = {});

Bytes ReadData(const std::string& name);
Bytes ToBytes(const std::string& text);
std::uint32_t Crc(const Bytes& bytes);
void Append(Bytes& to, const Bytes& more);

// Raw deflate of `data`.
Bytes Deflate(const Bytes& data);
// A raw deflate stream of `prefix` and then `megabytes` MiB of zeros, built
// from one flushed MiB repeated, so that gigabytes cost only their
// compressed size (about 1 KiB a MiB).
Bytes ZeroBomb(std::int64_t megabytes, const Bytes& prefix = {});
// The CRC-32 of `count` zero bytes.
std::uint32_t ZerosCrc(std::int64_t count);
// A gzip member around a raw deflate stream (trailer for `data`, if given).
Bytes GzipAround(const Bytes& deflated, const Bytes& data);
Bytes Gzip(const Bytes& data);
// A zip local header and a deflated entry; with `descriptor`, sizes and CRC
// follow the data as a pipe-written zip has them.
Bytes ZipEntry(const std::string& name, const Bytes& data, bool descriptor = false);

}  // namespace qx::testunpack
