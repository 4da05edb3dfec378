// Progress of a request's compression, from the host compressor's hook (called on the
// library's worker thread after every slice): files and bytes done, shown on the console.
#pragma once

#include <cstdint>

namespace logcomp {

// Installs the hook. filesTotal: files the executor will compress; bytesPlanned: their size
// when known in advance (0: taken from the hook as the files come).
void ProgressBegin(uint32_t filesTotal, uint64_t bytesPlanned);
// Removes the hook and clears a progress line shown in place.
void ProgressEnd();
// True once the first slice has been reported.
bool ProgressStarted();

}  // namespace logcomp
