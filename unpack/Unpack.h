// Finding and decoding the containers that hide images from a raw scan:
// deflated zip entries, gzip members and base64 text, at any offset of any
// byte sequence, and again inside what they decode.
//
// Unpack(input, limits, onStream) reads `input` once, front to back, through
// its windows, and hands each decoded stream to onStream as one contiguous
// read-only span. It then searches that span the same way, so the order is
// depth-first pre-order: a stream, then the streams found inside it, then the
// next container of its parent. Within one sequence containers are taken by
// where they start; once one has been decoded the search goes on after the
// bytes it consumed (its compressed data, or its base64 text), so containers
// of one sequence never overlap. A candidate that decodes nothing (a header
// that is not one, a stream broken before its first byte, a zip entry that is
// stored, encrypted or compressed some other way) moves the search one byte
// on. A container nested in bytes that were not decoded here (a gzip member
// in a stored zip entry) is thus found in the same sequence; one nested in
// decoded bytes is found in the decoded stream, one level deeper.
//
// What is found:
//  - zip local headers (PK 03 04) of unencrypted entries compressed with
//    deflate; the stream is inflated until it ends itself, so entries whose
//    sizes follow in a data descriptor (zips written to a pipe) and entries
//    whose header sizes lie are read alike;
//  - gzip members (1F 8B 08, no reserved flag bits, a name and a comment of
//    at most 64 KiB each);
//  - base64 blocks: see unpack/Base64.h for what counts as one.
//
// Damage and limits never fail the call:
//  - a stream broken or cut short by the end of its input is reported with
//    what it decoded before the damage (complete = false);
//  - a stream is cut at limits.streamBytes, and at what is left of
//    limits.totalBytes (summed over every stream at every depth of one call);
//    once the total is spent no further stream is decoded;
//  - streams of depth limits.maxDepth are reported but not searched;
//  - memory that cannot be had (refused by the system or past
//    limits.memoryBytes) ends the stream being decoded as a limit does; a
//    base64 block is decoded whole or passed over.
// Empty streams are not reported. Nothing is thrown by the module itself;
// an exception thrown by onStream passes through, and the module's memory
// is released on the way.
//
// Memory: each decoded stream is held while onStream runs and while it is
// searched, so at most maxDepth streams are held at once, each at most
// streamBytes long; while the deepest one grows, the block it grows from is
// held too (half the new one, at most 64 MiB with the default limits), and
// one inflater's state (about 45 KiB). With the default limits and bombs at
// every depth that is 350 MiB as counted here (UnpackSummary::peakMemory),
// about 300 MiB resident where the C library moves large blocks without a
// copy (bench/unpack_bench --bombs).
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "support/ByteSource.h"

namespace qx {

enum class ContainerKind { kZipEntry, kGzipMember, kBase64 };

struct UnpackLimits {
  // The most bytes kept of one decoded stream.
  std::int64_t streamBytes = 100'000'000;
  // The most bytes decoded in one call, all streams and depths together;
  // 0 or less: DefaultTotalBytes(input.Length()).
  std::int64_t totalBytes = 0;
  // Streams decoded from the input are depth 1; those of depth maxDepth are
  // not searched.
  int maxDepth = 3;
  // The most memory the module may hold at once; 0 or less: whatever the
  // system grants. Memory refused for either reason ends the stream being
  // decoded as its limit does.
  std::int64_t memoryBytes = 0;
};

// The larger of 1 GB and 20 times the input's length.
std::int64_t DefaultTotalBytes(std::int64_t inputLength);

struct DecodedStream {
  const std::uint8_t* data;  // valid during the callback only
  std::int64_t length;
  int depth;  // 1 for a container of the input itself
  ContainerKind kind;
  // Where the container starts (its header's first byte, the first base64
  // character) in the sequence it was found in: the input for depth 1, the
  // parent stream otherwise.
  std::int64_t offset;
  // Where the container's bytes end in that same sequence: the compressed
  // data read (with a gzip member's trailer), or the base64 text.
  std::int64_t end;
  // Read to its proper end (and, where the container carries one, its CRC
  // matched); false when cut by a limit or ended by damage.
  bool complete;
  // Ended by a limit (stream, total or memory) rather than by its own end.
  bool cut;
  // A zip entry's name as its local header holds it (bytes, valid during
  // the callback); empty for the other kinds.
  std::string_view name;
};

struct UnpackSummary {
  std::int64_t streams = 0;       // reported
  std::int64_t decodedBytes = 0;  // their lengths added up
  bool totalSpent = false;        // limits.totalBytes stopped the decoding
  // The most memory the module held at once (decoded streams and decoder
  // states), as counted by its own allocations.
  std::int64_t peakMemory = 0;
  // The bytes read to decide and decode candidates, beyond the one pass of
  // the signature searches: the inflater's input, base64 blocks, gzip names
  // and comments. It stays a small multiple of the lengths searched, however
  // the candidates are laid: at most about 17 (512 / 30) per byte for zip
  // headers packed back to back that all lead into one stretch of empty
  // deflate blocks, about one elsewhere.
  std::int64_t examinedBytes = 0;
};

using StreamCallback = std::function<void(const DecodedStream&)>;

UnpackSummary Unpack(ByteSource& input, const UnpackLimits& limits, const StreamCallback& onStream);

}  // namespace qx
