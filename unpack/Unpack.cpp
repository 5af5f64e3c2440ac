#include "unpack/Unpack.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "support/SlotReader.h"
#include "unpack/Base64.h"
#include "unpack/CountedMemory.h"
#include "unpack/Inflate.h"

namespace qx {

namespace {

using unpack::Base64Block;
using unpack::CountedMemory;
using unpack::DeflateContainer;
using unpack::StreamBuffer;

// Each walk over one sequence keeps a slot of its own, so that none of them
// loses its place when another reads ahead.
constexpr int kZipSlot = 0;
constexpr int kGzipSlot = 1;
constexpr int kBase64Slot = 2;
constexpr int kWorkSlot = 3;  // headers, the inflater's input, base64 text
static_assert(kWorkSlot < kByteSourceSlots);

std::int64_t Smallest(std::int64_t a, std::int64_t b) { return a < b ? a : b; }

// The next position at or after `from` where a signature starts. The answer
// is kept: it stands for every later `from` up to it, so the walk reads each
// byte once however often it is asked.
class SignatureFinder {
 public:
  SignatureFinder(ByteSource& source, int slot, const std::uint8_t* signature, int size)
      : in_(source, slot), signature_(signature), size_(size) {}

  std::int64_t Next(std::int64_t from) {
    if (known_ && from >= askedFrom_ && from <= found_) return found_;
    known_ = true;
    askedFrom_ = from;
    found_ = Search(from);
    return found_;
  }

 private:
  std::int64_t Search(std::int64_t pos) {
    const std::int64_t length = in_.Length();
    while (length - pos >= size_) {
      std::int64_t viewEnd = 0;
      const std::uint8_t* p = in_.View(pos, &viewEnd);
      const void* hit = std::memchr(p, signature_[0], static_cast<std::size_t>(viewEnd - pos));
      if (hit == nullptr) {
        pos = viewEnd;
        continue;
      }
      const std::int64_t at = pos + (static_cast<const std::uint8_t*>(hit) - p);
      if (length - at < size_) break;
      if (viewEnd - at >= size_) {
        if (std::memcmp(hit, signature_, static_cast<std::size_t>(size_)) == 0) return at;
      } else if (Straddles(at)) {
        return at;
      }
      pos = at + 1;
    }
    return length;
  }

  // A signature that runs past the current view, compared through a new one.
  bool Straddles(std::int64_t at) {
    std::uint8_t bytes[8];
    const bool whole = in_.Copy(at, size_, bytes);
    return whole && std::memcmp(bytes, signature_, static_cast<std::size_t>(size_)) == 0;
  }

  SlotReader in_;
  const std::uint8_t* signature_;
  int size_;
  bool known_ = false;
  std::int64_t askedFrom_ = 0;
  std::int64_t found_ = 0;
};

constexpr std::uint8_t kZipSignature[] = {'P', 'K', 3, 4};
constexpr std::uint8_t kGzipSignature[] = {0x1F, 0x8B, 8};

class Unpacker {
 public:
  Unpacker(const UnpackLimits& limits, std::int64_t totalBytes, const StreamCallback& onStream)
      : limits_(limits), totalLeft_(totalBytes), onStream_(onStream), memory_(limits.memoryBytes) {}

  // Reports the containers of `source` as streams of depth `depth`.
  void Search(ByteSource& source, int depth);

  UnpackSummary Summary() {
    summary_.peakMemory = memory_.Peak();
    return summary_;
  }

 private:
  // Each returns where the search goes on.
  std::int64_t DecodeDeflate(SlotReader& work, const DeflateContainer& container, std::int64_t at,
                             ContainerKind kind, int depth);
  std::int64_t DecodeBase64(SlotReader& work, const Base64Block& block, int depth);
  void Deliver(StreamBuffer& stream, int depth, ContainerKind kind, std::int64_t at,
               std::int64_t end, bool complete, bool cut, std::string_view name = {});
  std::int64_t Cap() const { return Smallest(limits_.streamBytes, totalLeft_); }

  const UnpackLimits& limits_;
  std::int64_t totalLeft_;
  const StreamCallback& onStream_;
  CountedMemory memory_;
  UnpackSummary summary_;
};

void Unpacker::Search(ByteSource& source, int depth) {
  const std::int64_t length = source.Length();
  SignatureFinder zips(source, kZipSlot, kZipSignature, sizeof kZipSignature);
  SignatureFinder gzips(source, kGzipSlot, kGzipSignature, sizeof kGzipSignature);
  unpack::Base64Finder base64(source, kBase64Slot, &summary_.examinedBytes);
  unpack::GzipHeaderReader gzipHeaders;
  SlotReader work(source, kWorkSlot);
  std::int64_t pos = 0;
  while (pos < length && totalLeft_ > 0) {
    const std::int64_t zip = zips.Next(pos);
    const std::int64_t gzip = gzips.Next(pos);
    Base64Block block;
    const std::int64_t text = base64.Next(pos, &block) ? block.start : length;
    const std::int64_t at = Smallest(Smallest(zip, gzip), text);
    if (at >= length) break;
    DeflateContainer container;
    if (at == text) {
      pos = DecodeBase64(work, block, depth);
    } else if (at == zip && unpack::ReadZipHeader(work, at, &container)) {
      pos = DecodeDeflate(work, container, at, ContainerKind::kZipEntry, depth);
    } else if (at == gzip && gzipHeaders.Read(work, at, &container, &summary_.examinedBytes)) {
      pos = DecodeDeflate(work, container, at, ContainerKind::kGzipMember, depth);
    } else {
      pos = at + 1;
    }
  }
}

std::int64_t Unpacker::DecodeDeflate(SlotReader& work, const DeflateContainer& container,
                                     std::int64_t at, ContainerKind kind, int depth) {
  StreamBuffer stream(memory_);
  const unpack::InflateOutcome outcome =
      unpack::Inflate(work, container.dataStart, Cap(), stream, memory_, &summary_.examinedBytes);
  if (stream.size() == 0) return at + 1;
  std::int64_t after = outcome.end;
  const bool complete =
      outcome.ended && unpack::CheckTrailer(work, container, outcome, stream.size(), &after);
  // The name is read after the data, through the same slot; at most 64 KiB.
  std::string name(static_cast<std::size_t>(container.nameLength), '\0');
  if (!work.Copy(container.nameStart, container.nameLength, reinterpret_cast<std::uint8_t*>(name.data()))) name.clear();
  Deliver(stream, depth, kind, at, after, complete, outcome.cut, name);
  return after;
}

std::int64_t Unpacker::DecodeBase64(SlotReader& work, const Base64Block& block, int depth) {
  const std::int64_t whole = unpack::DecodedLength(block.symbols);
  const std::int64_t size = Smallest(whole, Cap());
  StreamBuffer stream(memory_);
  // Memory refused for the whole block: the block is passed over, since a
  // shorter decode would be cut anyway and the same refusal is likely.
  if (size == 0 || !stream.Reserve(size)) return block.end;
  stream.SetSize(unpack::DecodeBase64(work, block, stream.data(), size));
  Deliver(stream, depth, ContainerKind::kBase64, block.start, block.end, size == whole,
          size < whole);
  return block.end;
}

void Unpacker::Deliver(StreamBuffer& stream, int depth, ContainerKind kind, std::int64_t at,
                       std::int64_t end, bool complete, bool cut, std::string_view name) {
  const std::int64_t size = stream.size();
  totalLeft_ -= size;
  if (totalLeft_ <= 0) summary_.totalSpent = true;
  ++summary_.streams;
  summary_.decodedBytes += size;
  stream.Fit();
  onStream_(DecodedStream{stream.data(), size, depth, kind, at, end, complete, cut, name});
  if (depth < limits_.maxDepth && totalLeft_ > 0) {
    SpanSource inner(stream.data(), size);
    Search(inner, depth + 1);
  }
}

}  // namespace

std::int64_t DefaultTotalBytes(std::int64_t inputLength) {
  constexpr std::int64_t kFloor = 1'000'000'000;
  // 20 times the length, without overflow for any length a file can have.
  if (inputLength > INT64_MAX / 20) return INT64_MAX;
  return inputLength * 20 > kFloor ? inputLength * 20 : kFloor;
}

UnpackSummary Unpack(ByteSource& input, const UnpackLimits& limits, const StreamCallback& onStream) {
  const std::int64_t total = limits.totalBytes > 0 ? limits.totalBytes : DefaultTotalBytes(input.Length());
  Unpacker unpacker(limits, total, onStream);
  if (limits.streamBytes > 0 && limits.maxDepth > 0) unpacker.Search(input, 1);
  return unpacker.Summary();
}

}  // namespace qx
