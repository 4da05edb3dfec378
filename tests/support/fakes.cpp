// The fakes of fakes.h. One lock guards the state of them all, and every fake event bumps an
// epoch and wakes the waiters, so that WaitUntil wakes on anything that may have changed.
#include "tests/support/fakes.h"

#include <condition_variable>
#include <cstdarg>
#include <deque>
#include <memory>

struct EvLoop {};
struct UvTimer {
    fakes::TimerInfo info;
    bool released;
};
struct FileCompressCtx {
    std::string file;
    int slices;
};

namespace fakes {
namespace {

struct State {  // what ResetAll clears
    std::vector<LogLine> lines;
    std::deque<EV_TASK_T> queue;
    bool timerInitFails = false, createOutput = false;
    int timersReleased = 0, openHandles = 0, sdStatus = SD_STATUS_OK, usageResult = 0;
    StartHook startHook;
    RunHook runHook;
    std::vector<CompressCall> compressCalls;
    std::map<std::string, int> starts;
    ShellHook shellHook;
    std::vector<std::string> shellCalls, usagePaths;
    Dev_Filesystem_Usage usage{};
};

std::condition_variable gCv;
uint64_t gEpoch = 0;
State gS;
EvLoop gLoop{};
// Released timers stay allocated until exit, so a stale handle is harmless.
std::vector<std::unique_ptr<UvTimer>> gTimers;
std::atomic<time_t> gNow{-1};  // -1: the real clock

#define FAKE_GET(type, name, expr)          \
    type name() {                           \
        return Locked([] { return expr; }); \
    }
#define FAKE_SET(name, type, field)                   \
    void name(type value) {                           \
        Locked([&] { gS.field = std::move(value); }); \
    }

}  // namespace

std::mutex gMu;
void WakeLocked() {
    ++gEpoch, gCv.notify_all();
}

void ResetAll() {
    Locked(
        [] {
            gS = State{};
            // A unit may still hold a timer from an earlier test: keep it valid, but inert.
            for (auto& t : gTimers) t->released = true, t->info.started = false;
        },
        true);
    ClearNow();
}

void NotifyAll() {
    Locked([] {}, true);
}

bool WaitUntil(const std::function<bool()>& pred, milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const uint64_t seen = Locked([] { return gEpoch; });
        if (pred()) return true;  // unlocked: pred may call back into the fakes
        std::unique_lock<std::mutex> lock(gMu);
        if (!gCv.wait_until(lock, deadline, [&] { return gEpoch != seen; })) {
            lock.unlock();
            return pred();
        }
    }
}

FAKE_GET(std::vector<LogLine>, LogLines, gS.lines)
int LogCount(const std::string& text, bool whole) {
    int n = 0;
    for (const auto& l : LogLines()) n += whole ? l.text == text : l.text.find(text) != l.text.npos;
    return n;
}

EvLoop* Loop() {
    return &gLoop;
}

size_t PumpLoop() {
    size_t ran = 0;
    for (EV_TASK_T task; Locked([&] {
             if (gS.queue.empty()) return false;
             task = gS.queue.front();
             gS.queue.pop_front();
             return true;
         });
         ++ran) {
        if (task.task) task.task(task.pUser);
        NotifyAll();
    }
    return ran;
}

bool PumpUntil(const std::function<bool()>& pred, milliseconds timeout) {
    return WaitUntil([&] { return PumpLoop(), pred(); }, timeout);
}

FAKE_GET(size_t, PendingTasks, gS.queue.size())
FAKE_SET(SetTimerInitFails, bool, timerInitFails)
FAKE_GET(int, TimersReleased, gS.timersReleased)

std::vector<UvTimer*> ActiveTimers() {
    std::vector<UvTimer*> out;
    Locked([&] {
        for (auto& t : gTimers)
            if (!t->released) out.push_back(t.get());
    });
    return out;
}

TimerInfo GetTimer(UvTimer* timer) {
    return Locked([&] { return timer->info; });
}

void FireTimer(UvTimer* timer) {
    const TimerInfo info = Locked([&] {
        TimerInfo now = timer->info;
        now.started = now.started && !timer->released;
        if (!now.repeat) timer->info.started = false;
        return now;
    });
    if (info.started && info.cb) info.cb(timer, info.ptr);
    NotifyAll();
}

void FireAllTimers() {
    for (UvTimer* t : ActiveTimers()) FireTimer(t);
}

void SetNow(time_t now) {
    gNow.store(now);
}

time_t MakeUtc(int year, int month, int day, int hour, int minute) {
    struct tm tm = {0, minute, hour, day, month - 1, year - 1900, 0, 0, 0, 0, nullptr};
    return timegm(&tm);
}

FAKE_SET(CompressSetStartHook, StartHook, startHook)
FAKE_SET(CompressSetRunHook, RunHook, runHook)
FAKE_SET(CompressSetCreateOutput, bool, createOutput)
FAKE_GET(std::vector<CompressCall>, CompressCalls, gS.compressCalls)
FAKE_GET(int, CompressOpenHandles, gS.openHandles)
int CompressStarts(const std::string& file) {
    return Locked([&] { return gS.starts.count(file) ? gS.starts[file] : 0; });
}

FAKE_SET(ShellSetHook, ShellHook, shellHook)
FAKE_GET(std::vector<std::string>, ShellCalls, gS.shellCalls)
int ShellRunReal(const std::string& cmd, std::string& output) {
    return rel::Shell(cmd, &output) ? 0 : -1;
}

FAKE_SET(DeviceSetSdStatus, int, sdStatus)
void DeviceSetUsage(const Dev_Filesystem_Usage& usage, int result) {
    Locked([&] { gS.usage = usage, gS.usageResult = result; });
}
FAKE_GET(std::vector<std::string>, DeviceUsagePaths, gS.usagePaths)

}  // namespace fakes

using fakes::gS;
using fakes::Locked;

extern "C" {

time_t time(time_t* out) {
    struct timespec ts {};
    if (fakes::gNow.load() == -1) clock_gettime(CLOCK_REALTIME, &ts);
    const time_t now = fakes::gNow.load() == -1 ? ts.tv_sec : fakes::gNow.load();
    if (out) *out = now;
    return now;
}

void log_sendByLevelFile(int, ZLOG_LEVEL level, const char*, int, const char* fmt, ...) {
    char text[4096] = "";
    va_list args;
    va_start(args, fmt);
    if (fmt != nullptr) vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    Locked([&] { gS.lines.push_back({int(level), text}); }, true);
}

void EvQueueInLoop(EvLoop*, EV_TASK_T task) {
    Locked([&] { gS.queue.push_back(task); }, true);
}
void EvRunInLoop(EvLoop* loop, EV_TASK_T task) {
    EvQueueInLoop(loop, task);
}

UvTimer* UvTimerInit(EvLoop*) {
    return Locked([] {
        return gS.timerInitFails ? nullptr
                                 : fakes::gTimers.emplace_back(std::make_unique<UvTimer>()).get();
    });
}

void UvTimerStart(UvTimer* timer, UvTimerCallback cb, void* ptr, uint64_t periodMs, bool repeat) {
    if (timer) Locked([&] { timer->info = {cb, ptr, periodMs, repeat, true}; });
}

void UvTimerUninit(UvTimer* timer) {
    if (timer)
        Locked([&] { timer->released = true, timer->info.started = false, ++gS.timersReleased; });
}

// The compressor records each call after its hook ran (outside the lock: a hook may block),
// with the change it made to the number of open handles.
static void Record(fakes::CompressCall::Kind kind, const std::string& file, uint32_t delayMs,
                   int opened) {
    Locked(
        [&] {
            gS.openHandles += opened, gS.compressCalls.push_back({kind, file, delayMs});
        },
        true);
}

FILE_COMPRESS_HANDLE FileCompress_Start(FILE_COMPRESS_CONFIG* config, char* outFile,
                                        uint16_t outFileLen) {
    if (!config || !outFile) return nullptr;
    const std::string file = config->file;
    const auto [hook, attempt, create] =
        Locked([&] { return std::make_tuple(gS.startHook, gS.starts[file]++, gS.createOutput); });
    const bool ok = hook ? hook(*config, attempt) : true;
    if (ok) snprintf(outFile, outFileLen, "%s.gz", config->file);
    if (FILE* f = ok && create ? fopen(outFile, "w") : nullptr) fclose(f);
    Record(fakes::CompressCall::kStart, file, 0, ok);
    return ok ? new FileCompressCtx{file, 0} : nullptr;
}

int FileCompress_Run(FILE_COMPRESS_HANDLE handle, uint32_t delayMs) {
    if (!handle) return FILE_COMPRESS_STATUS_FAILED;
    const fakes::RunHook hook = Locked([] { return gS.runHook; });
    const int slice = handle->slices++;
    const int result = hook ? hook(handle->file, slice, delayMs) : FILE_COMPRESS_STATUS_FINISHED;
    Record(fakes::CompressCall::kRun, handle->file, delayMs, 0);
    return result;
}

int FileCompress_Stop(FILE_COMPRESS_HANDLE handle) {
    if (!handle) return -1;
    Record(fakes::CompressCall::kStop, handle->file, 0, -1);
    delete handle;
    return 0;
}

int FILE_system(const char* cmd, char* output, int outputLen) {
    const fakes::ShellHook hook =
        Locked([&] { return gS.shellCalls.push_back(cmd ? cmd : ""), gS.shellHook; }, true);
    std::string out;
    const int result = !cmd ? -1 : hook ? hook(cmd, out) : 0;
    if (output && outputLen > 0) snprintf(output, size_t(outputLen), "%s", out.c_str());
    return result;
}

int DEV_getSdStatus(void) {
    return Locked([] { return gS.sdStatus; });
}

int DEV_getFilesystemUsage(const char* path, Dev_Filesystem_Usage* usage) {
    return Locked([&] {
        gS.usagePaths.push_back(path ? path : "");
        if (gS.usageResult == 0 && usage) *usage = gS.usage;
        return gS.usageResult;
    });
}

}  // extern "C"
