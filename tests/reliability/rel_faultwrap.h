// Fault injection into the reference host's compressor and shell runner. The fault test links
// the library with -Wl,--wrap for FileCompress_Start, FileCompress_Run and FILE_system, so the
// library's calls land here first and reach the real host only as the plan allows.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace rel {

// What happens to one kind of shell command.
enum class ShellFault {
    kNone,        // runs as usual
    kFailBefore,  // not run; reported failed
    kFailAfter,   // run; reported failed all the same
};

// The library's three shell commands, told apart by their text.
enum class ShellKind { kPack, kDelete, kRestore, kOther };
ShellKind KindOfCommand(const std::string& cmd);

struct FaultPlan {
    uint32_t sliceBytes = 0;  // segment size forced on every compression (0: as asked)
    std::string failStartOf;  // Start of the first file whose path contains this: NULL
    std::string failSliceOf;  // a slice of the first file whose path contains this ...
    int failSliceIndex = 0;   // ... with this index (from 0) fails, without being run
    ShellFault pack = ShellFault::kNone;
    ShellFault del = ShellFault::kNone;
    ShellFault restore = ShellFault::kNone;
    std::function<void()> beforeStart;           // before every real FileCompress_Start
    std::function<void(ShellKind)> beforeShell;  // before every real shell command
};

void SetFaultPlan(FaultPlan plan);
void ClearFaultPlan();
// Faults that actually fired since the plan was set, e.g. "start:pkg.tar", "slice:...:2".
std::string FiredFaults();

}  // namespace rel
