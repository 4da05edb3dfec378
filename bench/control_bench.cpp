// How fast the running executor obeys its controls, in normal mode, on one large file:
//   - pause: from LogCompExecSetPause(true) to the end of the last slice before the worker
//     parks (and to the moment it parks);
//   - cancel: from LogCompExecDelTask of the running task to its callback.
// Each trial starts a task, lets 1-3 slices pass, pauses, resumes, lets one more slice pass
// and deletes the task; each request lands 0-12 ms after the end of a slice. Besides wall
// time it gives the worker's CPU time in the same window: on a loaded machine the wall time
// holds other programs' turns, the CPU time is the work the worker still had to do.
// The worker's 5 s pause sleep is replaced by a 2 ms one (test hook) so that trials are
// short; that changes how long a pause lasts, not how fast it takes hold.
// Usage: control_bench --file PATH [--trials N]
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "bench/bench_common.h"
#include "bench/bench_exec.h"
#include "fileUtils/file_compress_host.h"
#include "logCompress/LogCompExecInternal.h"
#include "logsys/log_sys.h"
#include "logsys/log_sys_host.h"

namespace {

using namespace bench;

// What the worker reports, written on its thread.
struct WorkerSide {
    std::mutex mu;
    std::condition_variable cv;
    int slices = 0;
    Clock::time_point lastSliceEnd;
    bool parked = false;
    Clock::time_point parkedAt;
    double parkedCpu = 0;
    std::atomic<clockid_t> cpuClock{0};
    std::atomic<bool> known{false};
};
WorkerSide gW;

void OnSlice(const char*, uint64_t, uint64_t, int) {
    if (!gW.known.load()) {
        clockid_t clk{};
        pthread_getcpuclockid(pthread_self(), &clk);
        gW.cpuClock.store(clk);
        gW.known.store(true);
    }
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(gW.mu);
    ++gW.slices;
    gW.lastSliceEnd = now;
    gW.cv.notify_all();
}

unsigned ShortPause(unsigned) {
    const auto now = Clock::now();
    const double cpu = ThreadCpu();
    {
        std::lock_guard<std::mutex> lock(gW.mu);
        if (!gW.parked) {
            gW.parked = true;
            gW.parkedAt = now;
            gW.parkedCpu = cpu;
            gW.cv.notify_all();
        }
    }
    timespec ts{0, 2000000};
    nanosleep(&ts, nullptr);
    return 0;
}

// Lands a request at a spread of points inside a slice (~12 ms): 0-12 ms after a slice ended.
void Offset(uint64_t id, int salt) {
    const long ms = static_cast<long>((id * 7 + static_cast<uint64_t>(salt) * 5) % 13);
    timespec ts{0, ms * 1000000L};
    nanosleep(&ts, nullptr);
}

// Waits for the worker with a deadline, so that a lost request fails the run instead of
// hanging it.
template <typename Pred>
void WaitFor(const char* what, Pred pred) {
    std::unique_lock<std::mutex> lock(gW.mu);
    if (!gW.cv.wait_for(lock, std::chrono::seconds(20), pred)) {
        std::fprintf(stderr, "control_bench: no %s within 20 s (slices %d, parked %d)\n", what,
                     gW.slices, gW.parked ? 1 : 0);
        std::exit(1);
    }
}

// The worker's CPU seconds so far, read from this thread.
double WorkerCpu() {
    timespec ts{};
    clock_gettime(gW.cpuClock.load(), &ts);
    return SecondsOf(ts);
}

struct Window {
    std::vector<double> wallMs, cpuMs, toParkMs;
    void Add(double wall, double cpu) {
        wallMs.push_back(wall * 1e3);
        cpuMs.push_back(cpu * 1e3);
    }
};

void PauseOnce(Window* w) {
    int before;
    {
        std::lock_guard<std::mutex> lock(gW.mu);
        gW.parked = false;
        before = gW.slices;
    }
    const double cpu0 = WorkerCpu();
    const auto t0 = Clock::now();
    LogCompExecSetPause(true);
    WaitFor("park after SetPause(true)", [] { return gW.parked; });
    std::lock_guard<std::mutex> lock(gW.mu);
    const bool sliceAfter = gW.slices > before && gW.lastSliceEnd > t0;
    const double toLast = sliceAfter ? Seconds(gW.lastSliceEnd - t0) : 0.0;
    w->Add(toLast, gW.parkedCpu - cpu0);
    w->toParkMs.push_back(Seconds(gW.parkedAt - t0) * 1e3);
}

void Trial(uint64_t id, Files& files, Window* pause, Window* cancel) {
    Completion done;
    {
        std::lock_guard<std::mutex> lock(gW.mu);
        gW.slices = 0;
    }
    if (!Submit(id, files, &done)) return;
    const int lead = 1 + static_cast<int>(id % 3);
    WaitFor("first slices", [&] { return gW.slices >= lead; });
    Offset(id, 0);
    PauseOnce(pause);
    LogCompExecSetPause(false);
    int seen;
    {
        std::lock_guard<std::mutex> lock(gW.mu);
        seen = gW.slices;
    }
    WaitFor("slice after SetPause(false)", [&] { return gW.slices > seen; });
    Offset(id, 1);
    const double cpu0 = WorkerCpu();
    const auto t1 = Clock::now();
    LogCompExecDelTask(id);
    if (!done.WaitFor(std::chrono::seconds(20))) {
        std::fprintf(stderr, "control_bench: no callback within 20 s of DelTask\n");
        std::exit(1);
    }
    cancel->Add(Seconds(done.at - t1), done.workerCpu - cpu0);
}

void Report(const char* item, const char* what, const Window& w, double limitMs) {
    const double mx = Max(w.wallMs), mxCpu = Max(w.cpuMs);
    char target[32];
    std::snprintf(target, sizeof target, "max <= %.0f ms", limitMs);
    Row(item, (std::string(what) + ", wall: median / max").c_str(), target, Verdict(mx <= limitMs),
        "%.1f / %.1f ms", Median(w.wallMs), mx);
    Row(item, (std::string(what) + ", worker CPU: median / max").c_str(), target,
        Verdict(mxCpu <= limitMs), "%.1f / %.1f ms", Median(w.cpuMs), mxCpu);
}

}  // namespace

int main(int argc, char** argv) {
    std::string file;
    int trials = 50;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--file") == 0) file = argv[i + 1];
        if (std::strcmp(argv[i], "--trials") == 0) trials = std::max(1, std::atoi(argv[i + 1]));
    }
    if (file.empty()) {
        std::fprintf(stderr, "usage: %s --file PATH [--trials N]\n", argv[0]);
        return 2;
    }
    if (FileSize(file) < 16ull * FileCompressDefaultSliceBytes()) {
        std::fprintf(stderr, "control_bench: %s is too small: a trial needs 16 slices\n",
                     file.c_str());
        return 2;
    }
    LogSysSetMinLevel(LEVEL_WARN);
    FileCompressSetProgressHook(&OnSlice);
    LogCompExecSetPauseSleepHook(&ShortPause);
    LogCompExecInit();
    Files files({file});
    Window pause, cancel;
    for (int t = 0; t < trials; ++t) Trial(static_cast<uint64_t>(t), files, &pause, &cancel);
    LogCompExecUninit();
    LogCompExecSetPauseSleepHook(nullptr);
    FileCompressSetProgressHook(nullptr);
    std::printf("%d trials on %s (%llu bytes), normal mode, slice %u bytes\n", trials, file.c_str(),
                static_cast<unsigned long long>(FileSize(file)), FileCompressDefaultSliceBytes());
    Report("3 pause", "SetPause(true) -> end of last slice", pause, 20);
    Row("3 pause", "SetPause(true) -> worker parked, wall: median / max", "-", "-",
        "%.1f / %.1f ms", Median(pause.toParkMs), Max(pause.toParkMs));
    Report("3 cancel", "DelTask -> callback", cancel, 20);
    return cancel.wallMs.size() == static_cast<size_t>(trials) ? 0 : 1;
}
