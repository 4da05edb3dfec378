// Test fakes of the host services. A test binary links these instead of the reference
// host: the test itself is the event loop (it pumps tasks and fires timers by hand), the
// compressor and the shell do what the test scripts, the device reports what the test
// sets, the clock shows what the test sets, and every log line is captured.
#pragma once

#include <chrono>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "device/devStatus.h"
#include "event/ev_loop.h"
#include "event/uv_timer.h"
#include "fileUtils/file_compress.h"
#include "fileUtils/file_utils.h"
#include "logsys/log_sys.h"

namespace fakes {

using std::chrono::milliseconds;
constexpr milliseconds kDeadline{10000};

// Resets every fake below to its default (loop emptied without running its tasks).
void ResetAll();

// ---- waiting: every fake event (log line, loop post, compressor or shell call) wakes
// the waiters, so a test waits on a condition with a deadline instead of sleeping.
bool WaitUntil(const std::function<bool()>& pred, milliseconds timeout = kDeadline);
void NotifyAll();  // for test code that changes state a waiter looks at

// A latch a scripted fake can block on until the test opens it.
class Gate {
  public:
    void Open();
    bool Wait(milliseconds timeout = kDeadline);  // false when the deadline passed first
    bool IsOpen() const;

  private:
    bool open_ = false;
};

// ---- log sink
struct LogLine {
    int logClass;
    int level;
    std::string func;
    int line;
    std::string text;
};
void LogClear();
std::vector<LogLine> LogLines();
int LogCount(const std::string& text);             // lines whose text is exactly `text`
int LogCount(int level, const std::string& text);  // ... and at that level
int LogCountContaining(const std::string& fragment);
std::optional<LogLine> LogFind(const std::string& text);  // first exact match
bool LogWaitFor(const std::string& text, int count = 1, milliseconds timeout = kDeadline);

// ---- event loop: one fake loop; tasks queue until the test pumps them on its own thread,
// so a task never runs inside its post.
struct EvLoop* Loop();
size_t PumpLoop();  // runs queued tasks (and those queued meanwhile) until none is left
// Pumps, waiting for posts from other threads, until pred() holds or the deadline passes.
bool PumpUntil(const std::function<bool()>& pred, milliseconds timeout = kDeadline);
size_t PendingTasks();

// ---- timers on the fake loop
struct TimerInfo {
    struct EvLoop* loop;
    UvTimerCallback cb;
    void* ptr;
    uint64_t periodMs;
    bool repeat;
    bool started;
};
void SetTimerInitFails(bool fail);
std::vector<struct UvTimer*> ActiveTimers();  // initialised and not yet released
TimerInfo GetTimer(struct UvTimer* timer);
int TimersReleased();                   // UvTimerUninit calls since the last reset
void FireTimer(struct UvTimer* timer);  // one tick, on the calling thread as loop thread
void FireAllTimers();                   // one tick of every started active timer

// ---- clock: time() of the test binary returns this while set.
void SetNow(time_t now);
void ClearNow();
time_t MakeUtc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

// ---- file compressor
struct CompressCall {
    enum Kind { kStart, kRun, kStop } kind;
    std::string file;  // the config's file
    uint32_t delayMs;  // kRun only
    int result;        // kStart: 1 handle returned / 0 NULL; kRun: the status; kStop: 0
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
int DeviceUsageCalls();
std::string DeviceLastPath();

}  // namespace fakes
