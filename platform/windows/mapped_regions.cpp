#include "platform/windows/mapped_regions.h"

#include <windows.h>

#include <atomic>

#include "platform/region_table.h"

namespace qx::plat::windows {
namespace {

detail::RegionTable gRegions;
// Which registered views now hold zeroed memory instead of the file.
std::atomic<bool> gReplaced[detail::RegionTable::kSlots];

}  // namespace

int RegisterMappedRegion(void* base, std::size_t length) {
  EnsureFaultHandler();
  const int handle = gRegions.Register(reinterpret_cast<std::uintptr_t>(base), length);
  if (handle >= 0) gReplaced[handle].store(false);
  return handle;
}

void UnregisterMappedRegion(int handle) { gRegions.Unregister(handle); }

std::int64_t MappedRegionDamagedFrom(int handle) { return gRegions.DamagedFrom(handle); }

bool MappedRegionReplaced(int handle) {
  return handle >= 0 && handle < detail::RegionTable::kSlots && gReplaced[handle].load();
}

bool PatchMappedFault(void* address) {
  return gRegions.HandleFault(
      reinterpret_cast<std::uintptr_t>(address),
      [](std::uintptr_t, std::uintptr_t) { return std::int64_t{0}; },
      [](int handle, std::uintptr_t base, std::size_t length, std::uintptr_t) {
        void* view = reinterpret_cast<void*>(base);
        if (!UnmapViewOfFile(view)) return false;
        // The address range is free for a moment; it is taken back at once
        // for zeroed memory of the same size.
        if (VirtualAlloc(view, length, MEM_RESERVE | MEM_COMMIT, PAGE_READONLY) != view) {
          return false;
        }
        gReplaced[handle].store(true);
        return true;
      });
}

}  // namespace qx::plat::windows
