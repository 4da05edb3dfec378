// Allocation failure on demand, for a test binary linked with
//   -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc,--wrap=strdup,--wrap=free
//   -Wl,--wrap=_ZnwmRKSt9nothrow_t,--wrap=_ZdlPv,--wrap=_ZdlPvm
// The wrap applies to calls from the objects linked into that binary only (the library's
// static objects and the host's list container among them), and the wrappers reach the real
// allocator, or a sanitizer's, through __real_*: it works alike in the plain, ASan and TSan
// builds. Blocks from these calls are tracked while tracking is on, which finds leaks without
// a leak checker. Only calloc, realloc, strdup and the nothrow new are ever made to fail: they
// are what the library and its list use. uthash allocates with malloc (which the compiler may
// merge with the clearing that follows into a calloc) and ends the process when that fails, by
// design: its blocks are recorded for leaks but never failed.
#pragma once

#include <cstddef>

namespace rel::alloc {

// Clears the record of live blocks and starts recording.
void StartTracking();
// Blocks recorded since StartTracking and not freed yet.
size_t Live();
// From now on, the failable allocation with this index (0 for the next one) fails; -1 only
// counts. Allocations on every thread count.
void Arm(long failAt);
// Stops failing; returns how many failable allocations there were since Arm.
long Disarm();
// Whether the armed failure has happened.
bool Fired();

}  // namespace rel::alloc
