// On a terminal the line is redrawn at most ten times a second; elsewhere a plain line is
// written when a file starts and then at most every two seconds, so logs stay readable.
#include "tools/logcomp/progress.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "fileUtils/file_compress_host.h"
#include "tools/logcomp/console.h"
#include "tools/logcomp/log_files.h"

namespace logcomp {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTtyInterval = std::chrono::milliseconds(100);
constexpr auto kPlainInterval = std::chrono::seconds(2);

struct State {
    std::mutex mu;
    uint32_t filesTotal = 0;
    uint32_t filesDone = 0;
    uint64_t bytesPlanned = 0;
    uint64_t bytesFinished = 0;  // of the files done
    std::string file;            // being compressed
    uint64_t fileDone = 0;
    uint64_t fileTotal = 0;
    bool started = false;
    Clock::time_point lastShown{};
};

State& TheState() {
    static State* state = new State();  // the worker may report until the hook is removed
    return *state;
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Text(const State& s) {
    const uint64_t done = s.bytesFinished + s.fileDone;
    uint64_t total = s.bytesFinished + s.fileTotal;
    if (s.bytesPlanned > total) total = s.bytesPlanned;
    const unsigned pct = total > 0 ? static_cast<unsigned>(done * 100 / total) : 100;
    const uint32_t current = s.filesDone < s.filesTotal ? s.filesDone + 1 : s.filesTotal;
    char text[512];
    std::snprintf(text, sizeof text, "compressing file %u of %u (%s): %s of %s done (%u%%)",
                  current, s.filesTotal, BaseName(s.file).c_str(), SizeText(done).c_str(),
                  SizeText(total).c_str(), pct);
    return text;
}

void Hook(const char* file, uint64_t bytesDone, uint64_t bytesTotal, int finished) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mu);
    const bool newFile = !s.started || s.file != file;
    s.started = true;
    s.file = file;
    s.fileDone = bytesDone;
    s.fileTotal = bytesTotal;
    const std::string text = Text(s);
    if (finished == 1) {
        ++s.filesDone;
        s.bytesFinished += bytesTotal;
        s.fileDone = s.fileTotal = 0;
    }
    const Clock::time_point now = Clock::now();
    const bool inPlace = Console::Get().ProgressInPlace();
    if (newFile || now - s.lastShown >= (inPlace ? kTtyInterval : kPlainInterval)) {
        s.lastShown = now;
        Console::Get().Progress(text);
    }
}

}  // namespace

void ProgressBegin(uint32_t filesTotal, uint64_t bytesPlanned) {
    State& s = TheState();
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.filesTotal = filesTotal;
        s.bytesPlanned = bytesPlanned;
    }
    FileCompressSetProgressHook(Hook);
}

void ProgressEnd() {
    FileCompressSetProgressHook(nullptr);
    Console::Get().EndProgress();
}

bool ProgressStarted() {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.started;
}

}  // namespace logcomp
