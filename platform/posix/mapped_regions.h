// Mapped input files whose pages may vanish under the scan.
//
// Reading a page of a mapped file that another process has cut short raises
// SIGBUS. The fault handler asks PatchMappedFault first: when the address
// lies in a registered region, the region is marked damaged from that page
// on and the pages from there to its end are replaced by zero pages, so the
// read that faulted reads zeros when it runs again. The scan then finishes
// normally over zeros; whoever writes images out of the region must ask
// DamagedFrom and drop what lies at or beyond it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx::plat::posix {

// Registers [base, base + length) (page aligned). Returns a handle, or -1
// when the table of regions is full (the caller should not map then).
int RegisterMappedRegion(void* base, std::size_t length);
void UnregisterMappedRegion(int handle);

// Offset from the region's start where its bytes stopped being the file's,
// or -1 while intact.
std::int64_t MappedRegionDamagedFrom(int handle);

// Called by the SIGBUS handler (async-signal-safe). True when the fault at
// `address` lay in a registered region and has been patched.
bool PatchMappedFault(void* address);

// Installs the SIGSEGV/SIGBUS handlers if they are not in place.
void EnsureFaultHandlers();

}  // namespace qx::plat::posix
