// Containers for what a search remembers of earlier walks: bounded in size,
// taken without exceptions, and optional. Whatever they cannot hold (memory
// refused, or beyond their bounds) they simply do not remember; a search
// built on them gives the same results without them, only slower.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <new>

namespace qx {

// After a failed allocation, how many further requests to let pass before
// asking the allocator again: a failure costs a system call or more, and a
// scan under memory pressure must not pay it per position.
class RetryGate {
 public:
  bool MayTry() {
    if (waiting_ == 0) return true;
    --waiting_;
    return false;
  }
  void Failed() { waiting_ = kInterval; }

 private:
  static constexpr std::uint32_t kInterval = 1u << 16;
  std::uint32_t waiting_ = 0;
};

// One bit per position of a sequence, in pages taken as they are first
// written and released once the scan has passed them. Only positions less
// than `aheadPages` pages past the lowest page still in use can be held, and
// at most `maxPages` pages at once; a bit outside reads as clear.
class PositionBits {
 public:
  static constexpr unsigned kPageShift = 19;  // 64 KiB of bits per page
  static constexpr std::int64_t kPageBytes = (std::int64_t{1} << kPageShift) / 8;

  PositionBits(std::size_t aheadPages, std::size_t maxPages)
      : ring_(aheadPages == 0 ? 0 : std::bit_ceil(aheadPages)),
        limit_(aheadPages),
        maxPages_(maxPages) {}
  ~PositionBits() {
    if (pages_ == nullptr) return;
    for (std::size_t k = 0; k < ring_; ++k) delete[] pages_[k];
    delete[] pages_;
  }
  PositionBits(const PositionBits&) = delete;
  PositionBits& operator=(const PositionBits&) = delete;

  bool Test(std::int64_t position) const {
    const std::uint64_t* page = Page(position);
    if (page == nullptr) return false;
    const auto bit = static_cast<std::size_t>(position) & kPageMask;
    return ((page[bit >> 6] >> (bit & 63)) & 1u) != 0;
  }

  // False when the position's page is not there and cannot be had now.
  bool Set(std::int64_t position) {
    std::uint64_t* page = PageFor(position);
    if (page == nullptr) return false;
    const auto bit = static_cast<std::size_t>(position) & kPageMask;
    page[bit >> 6] |= std::uint64_t{1} << (bit & 63);
    return true;
  }

  void Clear(std::int64_t position) {
    std::uint64_t* page = Page(position);
    if (page == nullptr) return;
    const auto bit = static_cast<std::size_t>(position) & kPageMask;
    page[bit >> 6] &= ~(std::uint64_t{1} << (bit & 63));
  }

  // Positions below `floor` are never asked about again.
  void ReleaseBelow(std::int64_t floor) {
    const std::int64_t below = floor >> kPageShift;
    if (below <= released_) return;
    if (pages_ != nullptr) {
      const std::int64_t stop = std::min<std::int64_t>(below, released_ + static_cast<std::int64_t>(ring_));
      for (std::int64_t index = released_; index < stop; ++index) {
        std::uint64_t*& page = pages_[static_cast<std::size_t>(index) & (ring_ - 1)];
        if (page != nullptr) --held_;
        delete[] page;
        page = nullptr;
      }
    }
    released_ = below;
  }

  std::int64_t PeakBytes() const {
    return static_cast<std::int64_t>(peakHeld_) * kPageBytes +
           static_cast<std::int64_t>(pages_ != nullptr ? ring_ * sizeof(void*) : 0);
  }

 private:
  static constexpr std::size_t kPageMask = (std::size_t{1} << kPageShift) - 1;
  static constexpr std::size_t kWordsPerPage = (std::size_t{1} << kPageShift) / 64;

  // The slot of the position's page, or null when it is out of reach.
  std::uint64_t** Slot(std::int64_t position) const {
    if (pages_ == nullptr) return nullptr;
    const std::int64_t index = position >> kPageShift;
    // Below released_ wraps to a huge distance: one comparison for both ends.
    if (static_cast<std::uint64_t>(index - released_) >= limit_) return nullptr;
    return &pages_[static_cast<std::size_t>(index) & (ring_ - 1)];
  }

  std::uint64_t* Page(std::int64_t position) const {
    std::uint64_t** slot = Slot(position);
    return slot != nullptr ? *slot : nullptr;
  }

  std::uint64_t* PageFor(std::int64_t position) {
    if (pages_ == nullptr) {
      if (!gate_.MayTry()) return nullptr;
      pages_ = new (std::nothrow) std::uint64_t*[ring_]();
      if (pages_ == nullptr) {
        gate_.Failed();
        return nullptr;
      }
    }
    std::uint64_t** slot = Slot(position);
    if (slot == nullptr) return nullptr;
    if (*slot == nullptr) {
      if (held_ >= maxPages_ || !gate_.MayTry()) return nullptr;
      *slot = new (std::nothrow) std::uint64_t[kWordsPerPage]();
      if (*slot == nullptr) {
        gate_.Failed();
        return nullptr;
      }
      ++held_;
      peakHeld_ = std::max(peakHeld_, held_);
    }
    return *slot;
  }

  std::size_t ring_;   // slots, a power of two; page k lives in slot k mod ring_
  std::size_t limit_;  // pages reachable past released_
  std::size_t maxPages_;
  std::uint64_t** pages_ = nullptr;
  std::int64_t released_ = 0;  // pages below this are gone
  std::size_t held_ = 0;
  std::size_t peakHeld_ = 0;
  RetryGate gate_;
};

// Checkpoints of walks: position -> two bits of what the walk saw from there
// on, in an open-addressing table of entries (position + 1) << 2 | bits. The
// entry type bounds the positions (32 bits: below 2^30 - 1). The table grows
// up to `maxBytes`.
template <class Entry>
class CheckpointTable {
 public:
  enum class Added { kYes, kNoRoomNow, kFull };

  explicit CheckpointTable(std::int64_t maxBytes) {
    const std::int64_t slots = maxBytes / static_cast<std::int64_t>(sizeof(Entry));
    if (slots > static_cast<std::int64_t>(maxSlots_)) maxSlots_ = static_cast<std::size_t>(slots);
  }
  ~CheckpointTable() { delete[] slots_; }
  CheckpointTable(const CheckpointTable&) = delete;
  CheckpointTable& operator=(const CheckpointTable&) = delete;

  // The bits recorded at `position`, or -1 when it is no checkpoint.
  int Find(std::int64_t position) const {
    if (slots_ == nullptr) return -1;
    const auto key = static_cast<Entry>(position + 1);
    // Walks from nearby candidates tend to meet the same checkpoint.
    if ((lastFound_ >> 2) == key) return static_cast<int>(lastFound_ & 3u);
    for (std::size_t slot = Home(key);; slot = Following(slot)) {
      const Entry entry = slots_[slot];
      if (entry == 0) return -1;
      if ((entry >> 2) == key) {
        lastFound_ = entry;
        return static_cast<int>(entry & 3u);
      }
    }
  }

  // `floor`: entries below it are dropped when the table is rebuilt.
  Added Add(std::int64_t position, unsigned bits, std::int64_t floor) {
    if (count_ + 1 > size_ * 7 / 10) {
      if (size_ >= maxSlots_) return Added::kFull;
      if (gate_.MayTry()) {
        const std::size_t larger = size_ == 0 ? kInitialSlots : size_ * 2;
        if (!Rebuild(larger < maxSlots_ ? larger : maxSlots_, floor)) gate_.Failed();
      }
      // Without a larger table, a fuller one still works, only slower.
      if (count_ + 1 > size_ * 9 / 10) return Added::kNoRoomNow;
    }
    Place(static_cast<Entry>((static_cast<Entry>(position + 1) << 2) | bits));
    ++count_;
    return Added::kYes;
  }

  // Calls forget(position) for every entry, then empties the table.
  template <class Forget>
  void Clear(Forget forget) {
    for (std::size_t slot = 0; slot < size_; ++slot) {
      if (slots_[slot] != 0) forget(static_cast<std::int64_t>(slots_[slot] >> 2) - 1);
      slots_[slot] = 0;
    }
    count_ = 0;
    lastFound_ = 0;
  }

  std::int64_t PeakBytes() const { return static_cast<std::int64_t>(peakSize_ * sizeof(Entry)); }

 private:
  static constexpr std::size_t kInitialSlots = 1024;

  // The key's multiplicative hash scaled to the table's size, which need not
  // be a power of two.
  std::size_t Home(Entry key) const {
    std::uint32_t hash = 0;
    if constexpr (sizeof(Entry) <= 4) {
      hash = static_cast<std::uint32_t>(key) * 0x9E3779B1u;
    } else {
      hash = static_cast<std::uint32_t>((std::uint64_t{key} * 0x9E3779B97F4A7C15ull) >> 32);
    }
    return static_cast<std::size_t>((std::uint64_t{hash} * size_) >> 32);
  }

  std::size_t Following(std::size_t slot) const { return slot + 1 == size_ ? 0 : slot + 1; }

  void Place(Entry entry) {
    std::size_t slot = Home(static_cast<Entry>(entry >> 2));
    while (slots_[slot] != 0) slot = Following(slot);
    slots_[slot] = entry;
  }

  bool Rebuild(std::size_t size, std::int64_t floor) {
    auto* fresh = new (std::nothrow) Entry[size]();
    if (fresh == nullptr) return false;
    Entry* old = slots_;
    const std::size_t oldSize = size_;
    slots_ = fresh;
    size_ = size;
    peakSize_ = std::max(peakSize_, size_);
    count_ = 0;
    lastFound_ = 0;
    for (std::size_t slot = 0; slot < oldSize; ++slot) {
      const Entry entry = old[slot];
      if (entry != 0 && static_cast<std::int64_t>(entry >> 2) - 1 >= floor) {
        Place(entry);
        ++count_;
      }
    }
    delete[] old;
    return true;
  }

  Entry* slots_ = nullptr;
  std::size_t size_ = 0;
  std::size_t peakSize_ = 0;
  std::size_t count_ = 0;
  std::size_t maxSlots_ = kInitialSlots;
  mutable Entry lastFound_ = 0;
  RetryGate gate_;
};

}  // namespace qx
