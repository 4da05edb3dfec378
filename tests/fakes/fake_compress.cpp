// A compressor that does what the test scripts: which starts fail, what each slice returns
// (a hook may also block on a Gate), and a record of every call.
#include <cstdio>
#include <map>

#include "fake_internal.h"
#include "tests/fakes/fakes.h"

struct FileCompressCtx {
    std::string file;
    int slices;
};

namespace fakes {
namespace {
StartHook gStartHook;
RunHook gRunHook;
bool gCreateOutput = false;
std::vector<CompressCall> gCalls;
std::map<std::string, int> gStarts;
int gOpen = 0;

void Record(CompressCall call) {
    std::lock_guard<std::mutex> lock(detail::Mu());
    gCalls.push_back(std::move(call));
    detail::SignalLocked();
}
}  // namespace

namespace detail {
void ResetCompress() {
    std::lock_guard<std::mutex> lock(Mu());
    gStartHook = nullptr;
    gRunHook = nullptr;
    gCreateOutput = false;
    gCalls.clear();
    gStarts.clear();
    gOpen = 0;
}
}  // namespace detail

void CompressSetStartHook(StartHook hook) {
    std::lock_guard<std::mutex> lock(detail::Mu());
    gStartHook = std::move(hook);
}

void CompressSetRunHook(RunHook hook) {
    std::lock_guard<std::mutex> lock(detail::Mu());
    gRunHook = std::move(hook);
}

void CompressSetCreateOutput(bool on) {
    std::lock_guard<std::mutex> lock(detail::Mu());
    gCreateOutput = on;
}

std::vector<CompressCall> CompressCalls() {
    std::lock_guard<std::mutex> lock(detail::Mu());
    return gCalls;
}

int CompressOpenHandles() {
    std::lock_guard<std::mutex> lock(detail::Mu());
    return gOpen;
}

int CompressStarts(const std::string& file) {
    std::lock_guard<std::mutex> lock(detail::Mu());
    auto it = gStarts.find(file);
    return it == gStarts.end() ? 0 : it->second;
}

}  // namespace fakes

extern "C" {

FILE_COMPRESS_HANDLE FileCompress_Start(FILE_COMPRESS_CONFIG* config, char* outFile,
                                        uint16_t outFileLen) {
    if (!config || !outFile) return nullptr;
    const std::string file = config->file;
    fakes::StartHook hook;
    int attempt;
    bool createOutput;
    {
        std::lock_guard<std::mutex> lock(fakes::detail::Mu());
        hook = fakes::gStartHook;
        attempt = fakes::gStarts[file]++;
        createOutput = fakes::gCreateOutput;
    }
    const bool ok = hook ? hook(*config, attempt) : true;
    if (ok) {
        snprintf(outFile, outFileLen, "%s.gz", config->file);
        if (createOutput) {
            if (FILE* f = fopen(outFile, "w")) fclose(f);
        }
        std::lock_guard<std::mutex> lock(fakes::detail::Mu());
        ++fakes::gOpen;
    }
    fakes::Record({fakes::CompressCall::kStart, file, 0, ok ? 1 : 0});
    return ok ? new FileCompressCtx{file, 0} : nullptr;
}

int FileCompress_Run(FILE_COMPRESS_HANDLE handle, uint32_t delayMs) {
    if (!handle) return FILE_COMPRESS_STATUS_FAILED;
    fakes::RunHook hook;
    {
        std::lock_guard<std::mutex> lock(fakes::detail::Mu());
        hook = fakes::gRunHook;
    }
    const int slice = handle->slices++;
    const int result = hook ? hook(handle->file, slice, delayMs) : FILE_COMPRESS_STATUS_FINISHED;
    fakes::Record({fakes::CompressCall::kRun, handle->file, delayMs, result});
    return result;
}

int FileCompress_Stop(FILE_COMPRESS_HANDLE handle) {
    if (!handle) return -1;
    const std::string file = handle->file;
    delete handle;
    {
        std::lock_guard<std::mutex> lock(fakes::detail::Mu());
        --fakes::gOpen;
    }
    fakes::Record({fakes::CompressCall::kStop, file, 0, 0});
    return 0;
}

}  // extern "C"
