// Test fakes of the host services. A test binary links these instead of the reference
// host: the test itself is the event loop (it pumps tasks and fires timers by hand), the
// compressor and the shell do what the test scripts, the device reports what the test
// sets, the clock shows what the test sets, and every log line is captured.
#pragma once

#include <ctime>

#include "device/devStatus.h"
#include "event/ev_loop.h"
#include "event/uv_timer.h"
#include "fileUtils/file_compress.h"
#include "fileUtils/file_utils.h"
#include "logsys/log_sys.h"
#include "tests/support/files.h"

namespace fakes {

using std::chrono::milliseconds;
constexpr milliseconds kDeadline{10000};

// Resets every fake below to its default (loop emptied without running its tasks).
void ResetAll();

// Every fake event (log line, loop post, compressor or shell call) wakes the waiters, so a
// test waits on a condition with a deadline instead of sleeping.
bool WaitUntil(const std::function<bool()>& pred, milliseconds timeout = kDeadline);
void NotifyAll();  // for test code that changes state a waiter looks at
// Runs f under the one lock of the fakes (test state may share it); with signal, wakes every
// waiter afterwards.
extern std::mutex gMu;
void WakeLocked();
template <typename F>
auto Locked(F f, bool signal = false) {
    std::lock_guard<std::mutex> lock(gMu);
    struct Wake {
        bool on;
        ~Wake() {
            if (on) WakeLocked();
        }
    } wake{signal};
    return f();
}

// ---- log sink
struct LogLine {
    int level;
    std::string text;
};
std::vector<LogLine> LogLines();
// Lines whose text is `text`, or (whole false) holds it.
int LogCount(const std::string& text, bool whole = true);
inline int LogCountContaining(const std::string& fragment) {
    return LogCount(fragment, false);
}

// ---- event loop: tasks queue until the test pumps them, so none runs inside its post.
struct EvLoop* Loop();
size_t PumpLoop();  // runs queued tasks (and those queued meanwhile) until none is left
// Pumps, waiting for posts from other threads, until pred() holds or the deadline passes.
bool PumpUntil(const std::function<bool()>& pred, milliseconds timeout = kDeadline);
size_t PendingTasks();

// ---- timers on the fake loop
struct TimerInfo {
    UvTimerCallback cb;
    void* ptr;
    uint64_t periodMs;
    bool repeat, started;
};
void SetTimerInitFails(bool fail);
std::vector<struct UvTimer*> ActiveTimers();  // initialised and not yet released
TimerInfo GetTimer(struct UvTimer* timer);
int TimersReleased();                   // UvTimerUninit calls since the last reset
void FireTimer(struct UvTimer* timer);  // one tick, on the calling thread as loop thread
void FireAllTimers();

// ---- clock: time() of the test binary returns this while set.
void SetNow(time_t now);  // -1: the real clock again
inline void ClearNow() {
    SetNow(-1);
}
time_t MakeUtc(int year, int month, int day, int hour = 0, int minute = 0);

// ---- file compressor
struct CompressCall {
    enum Kind { kStart, kRun, kStop } kind;
    std::string file;
    uint32_t delayMs;  // kRun only
};
// attempt: how many times this file was started before (0 for the first start).
using StartHook = std::function<bool(const FILE_COMPRESS_CONFIG& config, int attempt)>;
// slice: Run calls on this handle before this one (0 for the first).
using RunHook = std::function<int(const std::string& file, int slice, uint32_t delayMs)>;
void CompressSetStartHook(StartHook hook);  // default: every start succeeds
void CompressSetRunHook(RunHook hook);      // default: FINISHED at the first slice
// When on, Start creates an empty output file at file + ".gz" (to see its removal).
void CompressSetCreateOutput(bool on);
std::vector<CompressCall> CompressCalls();
int CompressOpenHandles();  // started and not yet stopped
int CompressStarts(const std::string& file);

// ---- shell runner
using ShellHook = std::function<int(const std::string& cmd, std::string& output)>;
void ShellSetHook(ShellHook hook);  // default: returns 0 with no output
std::vector<std::string> ShellCalls();
// Runs cmd with /bin/sh -c, collecting stdout and stderr; negative unless it exits 0.
int ShellRunReal(const std::string& cmd, std::string& output);

// ---- device status
void DeviceSetSdStatus(int status);
void DeviceSetUsage(const Dev_Filesystem_Usage& usage, int result = 0);
std::vector<std::string> DeviceUsagePaths();  // the path of each usage query

}  // namespace fakes
