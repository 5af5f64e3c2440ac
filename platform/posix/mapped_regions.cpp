#include "platform/posix/mapped_regions.h"

#include <sys/mman.h>
#include <unistd.h>

#include "platform/region_table.h"

namespace qx::plat::posix {
namespace {

detail::RegionTable gRegions;

std::uintptr_t PageSize() {
  static const std::uintptr_t size = [] {
    const long page = sysconf(_SC_PAGESIZE);
    return static_cast<std::uintptr_t>(page > 0 ? page : 4096);
  }();
  return size;
}

}  // namespace

int RegisterMappedRegion(void* base, std::size_t length) {
  PageSize();  // computed now, never first in the handler
  EnsureFaultHandlers();
  return gRegions.Register(reinterpret_cast<std::uintptr_t>(base), length);
}

void UnregisterMappedRegion(int handle) { gRegions.Unregister(handle); }

std::int64_t MappedRegionDamagedFrom(int handle) { return gRegions.DamagedFrom(handle); }

bool PatchMappedFault(void* address) {
  const std::uintptr_t mask = ~(PageSize() - 1);
  return gRegions.HandleFault(
      reinterpret_cast<std::uintptr_t>(address),
      [mask](std::uintptr_t base, std::uintptr_t at) {
        return static_cast<std::int64_t>((at & mask) - base);
      },
      [mask](int, std::uintptr_t base, std::size_t length, std::uintptr_t at) {
        // Zero pages from the faulting page to the region's end: every read
        // there now finds zeros instead of faulting again.
        const std::uintptr_t page = at & mask;
        void* patched = mmap(reinterpret_cast<void*>(page), base + length - page, PROT_READ,
                             MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return patched != MAP_FAILED;
      });
}

}  // namespace qx::plat::posix
