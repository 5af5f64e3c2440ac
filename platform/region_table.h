// The table of mapped input regions that the fault handlers of both
// platforms consult (platform-internal; see posix/mapped_regions.h).
//
// A fault handler may run at any moment on any thread, so the table is a
// fixed array of lock-free slots: a slot is claimed, filled, then published
// by storing its base; the handler only reads published slots.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace qx::plat::detail {

class RegionTable {
 public:
  // Enough for every file a run can hold mapped at once: one per scanning
  // thread, plus the windows of the largest files.
  static constexpr int kSlots = 2048;

  int Register(std::uintptr_t base, std::size_t length) {
    for (int i = 0; i < kSlots; ++i) {
      Slot& slot = slots_[i];
      bool expected = false;
      if (slot.claimed.load(std::memory_order_relaxed) ||
          !slot.claimed.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
        continue;
      }
      slot.length.store(length, std::memory_order_relaxed);
      slot.damagedFrom.store(-1, std::memory_order_relaxed);
      slot.base.store(base, std::memory_order_release);
      return i;
    }
    return -1;
  }

  void Unregister(int handle) {
    if (handle < 0 || handle >= kSlots) return;
    slots_[handle].base.store(0, std::memory_order_release);
    slots_[handle].claimed.store(false, std::memory_order_release);
  }

  std::int64_t DamagedFrom(int handle) const {
    if (handle < 0 || handle >= kSlots) return -1;
    return slots_[handle].damagedFrom.load(std::memory_order_acquire);
  }

  // For the fault handler: finds the region holding `address`, marks it
  // damaged from `markOffset(base, address)` (kept at the lowest mark), and
  // calls patch(handle, base, length, address) to make the read possible
  // again.
  // False when no region holds the address or the patch failed.
  template <class MarkOffset, class Patch>
  bool HandleFault(std::uintptr_t address, MarkOffset markOffset, Patch patch) {
    for (int handle = 0; handle < kSlots; ++handle) {
      Slot& slot = slots_[handle];
      const std::uintptr_t base = slot.base.load(std::memory_order_acquire);
      if (base == 0 || address < base) continue;
      const std::size_t length = slot.length.load(std::memory_order_relaxed);
      if (address - base >= length) continue;
      // Marked before the bytes change, so that anyone who reads the
      // replaced bytes and looks afterwards sees the mark.
      const std::int64_t offset = markOffset(base, address);
      std::int64_t current = slot.damagedFrom.load(std::memory_order_relaxed);
      while ((current < 0 || offset < current) &&
             !slot.damagedFrom.compare_exchange_weak(current, offset, std::memory_order_acq_rel)) {
      }
      return patch(handle, base, length, address);
    }
    return false;
  }

 private:
  struct Slot {
    std::atomic<bool> claimed{false};
    std::atomic<std::uintptr_t> base{0};  // 0: not published
    std::atomic<std::size_t> length{0};
    std::atomic<std::int64_t> damagedFrom{-1};
  };
  static_assert(std::atomic<std::uintptr_t>::is_always_lock_free &&
                    std::atomic<std::int64_t>::is_always_lock_free,
                "fault handlers read the table without locks");

  Slot slots_[kSlots];
};

}  // namespace qx::plat::detail
