// A shell runner that records every command line and answers as the test scripts; a hook
// can hand the line to the real shell with ShellRunReal.
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "fake_internal.h"
#include "tests/fakes/fakes.h"

namespace fakes {
namespace {
ShellHook gHook;
std::vector<ShellCall> gCalls;
}  // namespace

namespace detail {
void ResetShell() {
    std::lock_guard<std::mutex> lock(Mu());
    gHook = nullptr;
    gCalls.clear();
}
}  // namespace detail

void ShellSetHook(ShellHook hook) {
    std::lock_guard<std::mutex> lock(detail::Mu());
    gHook = std::move(hook);
}

std::vector<ShellCall> ShellCalls() {
    std::lock_guard<std::mutex> lock(detail::Mu());
    return gCalls;
}

int ShellRunReal(const std::string& cmd, std::string& output) {
    output.clear();
    const std::string line = "{ " + cmd + "\n} 2>&1";
    FILE* pipe = popen(line.c_str(), "r");
    if (!pipe) return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) output.append(buf, n);
    const int status = pclose(pipe);
    return (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) ? 0 : -1;
}

}  // namespace fakes

extern "C" int FILE_system(const char* cmd, char* output, int outputLen) {
    fakes::ShellHook hook;
    {
        std::lock_guard<std::mutex> lock(fakes::detail::Mu());
        fakes::gCalls.push_back({cmd ? cmd : "", outputLen});
        fakes::detail::SignalLocked();
        hook = fakes::gHook;
    }
    if (!cmd) return -1;
    std::string out;
    const int result = hook ? hook(cmd, out) : 0;
    if (output && outputLen > 0) {
        const size_t n = std::min(out.size(), static_cast<size_t>(outputLen - 1));
        memcpy(output, out.data(), n);
        output[n] = '\0';
    }
    return result;
}
