// Fault injection into the reference host; see rel_faultwrap.h.
#include "tests/reliability/rel_faultwrap.h"

#include <map>
#include <mutex>

#include "fileUtils/file_compress.h"
#include "fileUtils/file_utils.h"

extern "C" {
FILE_COMPRESS_HANDLE __real_FileCompress_Start(FILE_COMPRESS_CONFIG* config, char* outFile,
                                               uint16_t outFileLen);
int __real_FileCompress_Run(FILE_COMPRESS_HANDLE handle, uint32_t delayMs);
int __real_FILE_system(const char* cmd, char* output, int outputLen);
}

namespace rel {
namespace {

std::mutex gMu;
FaultPlan gPlan;
std::string gFired;
bool gStartFired = false;
bool gSliceFired = false;
std::map<FILE_COMPRESS_HANDLE, std::pair<std::string, int>> gHandles;  // file, slices run

FaultPlan Plan() {
    std::lock_guard<std::mutex> lock(gMu);
    return gPlan;
}

void Fired(const std::string& what) {
    std::lock_guard<std::mutex> lock(gMu);
    gFired += (gFired.empty() ? "" : ",") + what;
}

ShellFault FaultFor(const FaultPlan& plan, ShellKind kind) {
    switch (kind) {
        case ShellKind::kPack:
            return plan.pack;
        case ShellKind::kDelete:
            return plan.del;
        case ShellKind::kRestore:
            return plan.restore;
        default:
            return ShellFault::kNone;
    }
}

// True when this start is the one the plan makes fail (once).
bool StartFails(const std::string& file) {
    std::lock_guard<std::mutex> lock(gMu);
    if (gStartFired || gPlan.failStartOf.empty() ||
        file.find(gPlan.failStartOf) == std::string::npos) {
        return false;
    }
    gStartFired = true;
    return true;
}

// Counts the slice; true when it is the one the plan makes fail (once).
bool SliceFails(FILE_COMPRESS_HANDLE handle, std::string* what) {
    std::lock_guard<std::mutex> lock(gMu);
    auto& [file, slices] = gHandles[handle];
    const int index = slices++;
    if (gSliceFired || gPlan.failSliceOf.empty() || index != gPlan.failSliceIndex ||
        file.find(gPlan.failSliceOf) == std::string::npos) {
        return false;
    }
    gSliceFired = true;
    *what = "slice:" + file + ":" + std::to_string(index);
    return true;
}

}  // namespace

ShellKind KindOfCommand(const std::string& cmd) {
    if (cmd.find("tar -xvf") != std::string::npos) return ShellKind::kRestore;
    if (cmd.find("tar -cvf") != std::string::npos) return ShellKind::kPack;
    if (cmd.find("rm -rf") != std::string::npos) return ShellKind::kDelete;
    return ShellKind::kOther;
}

void SetFaultPlan(FaultPlan plan) {
    std::lock_guard<std::mutex> lock(gMu);
    gPlan = std::move(plan);
    gFired.clear();
    gStartFired = gSliceFired = false;
    gHandles.clear();
}

void ClearFaultPlan() {
    SetFaultPlan(FaultPlan{});
}

std::string FiredFaults() {
    std::lock_guard<std::mutex> lock(gMu);
    return gFired;
}

}  // namespace rel

extern "C" {

FILE_COMPRESS_HANDLE __wrap_FileCompress_Start(FILE_COMPRESS_CONFIG* config, char* outFile,
                                               uint16_t outFileLen) {
    const rel::FaultPlan plan = rel::Plan();
    if (config != nullptr && rel::StartFails(config->file)) {
        rel::Fired(std::string("start:") + config->file);
        return nullptr;
    }
    if (plan.beforeStart) {
        plan.beforeStart();
        rel::Fired("before-start");
    }
    FILE_COMPRESS_CONFIG copy{};
    if (config != nullptr) {
        copy = *config;
        if (plan.sliceBytes != 0) copy.segmentSize = plan.sliceBytes;
    }
    FILE_COMPRESS_HANDLE h =
        __real_FileCompress_Start(config ? &copy : nullptr, outFile, outFileLen);
    if (h != nullptr) {
        std::lock_guard<std::mutex> lock(rel::gMu);
        rel::gHandles[h] = {copy.file, 0};
    }
    return h;
}

int __wrap_FileCompress_Run(FILE_COMPRESS_HANDLE handle, uint32_t delayMs) {
    std::string what;
    if (rel::SliceFails(handle, &what)) {
        rel::Fired(what);
        return FILE_COMPRESS_STATUS_FAILED;
    }
    return __real_FileCompress_Run(handle, delayMs);
}

int __wrap_FILE_system(const char* cmd, char* output, int outputLen) {
    const rel::FaultPlan plan = rel::Plan();
    const rel::ShellKind kind = rel::KindOfCommand(cmd != nullptr ? cmd : "");
    const rel::ShellFault fault = rel::FaultFor(plan, kind);
    if (fault == rel::ShellFault::kFailBefore) {
        if (output != nullptr && outputLen > 0) output[0] = '\0';
        rel::Fired("shell-before:" + std::to_string(static_cast<int>(kind)));
        return -1;
    }
    if (plan.beforeShell) {
        plan.beforeShell(kind);
        rel::Fired("before-shell:" + std::to_string(static_cast<int>(kind)));
    }
    const int rc = __real_FILE_system(cmd, output, outputLen);
    if (fault == rel::ShellFault::kFailAfter) {
        rel::Fired("shell-after:" + std::to_string(static_cast<int>(kind)));
        return -1;
    }
    return rc;
}

}  // extern "C"
