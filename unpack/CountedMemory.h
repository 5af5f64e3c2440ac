// The unpacking layer's memory: every block it holds is taken here, without
// exceptions, and counted, so that a call can report the most it held at once
// and tests can hold it to its bound.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx::unpack {

class CountedMemory {
 public:
  // Refuses what would take the blocks held past `bound` bytes (0: no bound).
  explicit CountedMemory(std::int64_t bound = 0) : bound_(bound) {}

  // nullptr when the memory cannot be had.
  void* Allocate(std::size_t size);
  void* Reallocate(void* block, std::size_t oldSize, std::size_t newSize);
  void Free(void* block, std::size_t size);

  // zlib's allocator hooks; `opaque` is the CountedMemory. zlib does not say
  // how large a block it frees was, so these keep the size in front of it.
  static void* ZlibAlloc(void* opaque, unsigned items, unsigned size);
  static void ZlibFree(void* opaque, void* block);

  std::int64_t Peak() const { return peak_; }

 private:
  void Count(std::int64_t delta);

  bool Refused(std::size_t more) const {
    return bound_ > 0 && static_cast<std::int64_t>(more) > bound_ - current_;
  }

  std::int64_t bound_;
  std::int64_t current_ = 0;
  std::int64_t peak_ = 0;
};

// A decoded stream under construction: grows by doubling up to a cap, so
// that a stream that claims much but holds little costs little.
class StreamBuffer {
 public:
  explicit StreamBuffer(CountedMemory& memory) : memory_(memory) {}
  ~StreamBuffer() { memory_.Free(data_, static_cast<std::size_t>(capacity_)); }
  StreamBuffer(const StreamBuffer&) = delete;
  StreamBuffer& operator=(const StreamBuffer&) = delete;

  std::uint8_t* data() { return data_; }
  std::int64_t size() const { return size_; }
  std::int64_t capacity() const { return capacity_; }
  void SetSize(std::int64_t size) { size_ = size; }

  // Room for at least one more byte, never past `cap` bytes in all; false
  // when the buffer already holds cap bytes or the memory is refused.
  bool Grow(std::int64_t cap);
  // Exactly `size` bytes of room; false when refused.
  bool Reserve(std::int64_t size);
  // Gives back the room past size(), so that a stream held while deeper
  // ones are decoded costs no more than its bytes.
  void Fit();

 private:
  CountedMemory& memory_;
  std::uint8_t* data_ = nullptr;
  std::int64_t size_ = 0;
  std::int64_t capacity_ = 0;
};

}  // namespace qx::unpack
