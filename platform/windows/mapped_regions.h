// Mapped input files whose pages may fail under the scan (an in-page error:
// a network file gone, a failing disk; a local file cannot be cut short while
// it is mapped). The vectored exception handler asks PatchMappedFault first:
// when the address lies in a registered view, the view is marked damaged
// from its start (Windows cannot replace part of a view) and replaced by
// zeroed memory at the same address, so the read that failed reads zeros
// when it runs again. Whoever writes images out of the view must ask
// MappedRegionDamagedFrom and drop what lies at or beyond it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx::plat::windows {

int RegisterMappedRegion(void* base, std::size_t length);
void UnregisterMappedRegion(int handle);
std::int64_t MappedRegionDamagedFrom(int handle);
// True when the view at `base` was replaced by zeroed memory, which the
// caller then releases with VirtualFree instead of unmapping it.
bool MappedRegionReplaced(int handle);

// Called by the exception handler. True when the fault at `address` lay in a
// registered view and has been patched.
bool PatchMappedFault(void* address);

// Installs the vectored exception handler if it is not in place.
void EnsureFaultHandler();

}  // namespace qx::plat::windows
