#include "unpack/CountedMemory.h"

#include <cstdint>
#include <cstdlib>

namespace qx::unpack {

namespace {

// Keeps zlib's blocks aligned for anything it stores in them.
constexpr std::size_t kSizePrefix = alignof(std::max_align_t);

// The first block of a stream: small enough for the many short streams,
// large enough that doubling soon catches up with long ones.
constexpr std::int64_t kFirstBlock = 64 * 1024;

}  // namespace

void CountedMemory::Count(std::int64_t delta) {
  current_ += delta;
  if (current_ > peak_) peak_ = current_;
}

void* CountedMemory::Allocate(std::size_t size) {
  if (Refused(size)) return nullptr;
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block != nullptr) Count(static_cast<std::int64_t>(size));
  return block;
}

void* CountedMemory::Reallocate(void* block, std::size_t oldSize, std::size_t newSize) {
  if (newSize > oldSize && Refused(newSize)) return nullptr;
  // While the block moves, the old one and the new one may both be held.
  if (newSize > oldSize && current_ + static_cast<std::int64_t>(newSize) > peak_) {
    peak_ = current_ + static_cast<std::int64_t>(newSize);
  }
  void* moved = std::realloc(block, newSize == 0 ? 1 : newSize);
  if (moved == nullptr) return nullptr;
  Count(static_cast<std::int64_t>(newSize) - static_cast<std::int64_t>(oldSize));
  return moved;
}

void CountedMemory::Free(void* block, std::size_t size) {
  if (block == nullptr) return;
  std::free(block);
  Count(-static_cast<std::int64_t>(size));
}

void* CountedMemory::ZlibAlloc(void* opaque, unsigned items, unsigned size) {
  const std::size_t bytes = static_cast<std::size_t>(items) * size;
  auto* memory = static_cast<CountedMemory*>(opaque);
  auto* block = static_cast<unsigned char*>(memory->Allocate(bytes + kSizePrefix));
  if (block == nullptr) return nullptr;
  *reinterpret_cast<std::size_t*>(block) = bytes + kSizePrefix;
  return block + kSizePrefix;
}

void CountedMemory::ZlibFree(void* opaque, void* block) {
  if (block == nullptr) return;
  auto* start = static_cast<unsigned char*>(block) - kSizePrefix;
  static_cast<CountedMemory*>(opaque)->Free(start, *reinterpret_cast<std::size_t*>(start));
}

bool StreamBuffer::Grow(std::int64_t cap) {
  if (capacity_ >= cap) return false;
  std::int64_t next = capacity_ == 0 ? kFirstBlock : capacity_ * 2;
  if (next > cap) next = cap;
  return Reserve(next);
}

bool StreamBuffer::Reserve(std::int64_t size) {
  if (size <= capacity_) return true;
  if (static_cast<std::uint64_t>(size) > SIZE_MAX / 2) return false;
  void* moved = memory_.Reallocate(data_, static_cast<std::size_t>(capacity_),
                                   static_cast<std::size_t>(size));
  if (moved == nullptr) return false;
  data_ = static_cast<std::uint8_t*>(moved);
  capacity_ = size;
  return true;
}

void StreamBuffer::Fit() {
  if (size_ == capacity_ || size_ == 0) return;
  void* moved = memory_.Reallocate(data_, static_cast<std::size_t>(capacity_),
                                   static_cast<std::size_t>(size_));
  // A refused shrink leaves the larger block in place, which is still valid.
  if (moved == nullptr) return;
  data_ = static_cast<std::uint8_t*>(moved);
  capacity_ = size_;
}

}  // namespace qx::unpack
