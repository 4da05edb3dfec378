// A loop the test pumps by hand, and timers it fires by hand. The pumping thread plays the
// loop thread; posts from any thread only queue, so a task never runs inside its post.
#include <algorithm>
#include <deque>
#include <memory>

#include "fake_internal.h"
#include "tests/fakes/fakes.h"

struct EvLoop {
    int unused;
};

struct UvTimer {
    fakes::TimerInfo info;
    bool released;
};

namespace fakes {
namespace {
EvLoop gLoop{};
std::deque<EV_TASK_T> gQueue;
std::vector<EvLoop*> gPostedLoops;
size_t gRunCalls = 0;
size_t gQueueCalls = 0;
thread_local int tLoopDepth = 0;

bool gTimerInitFails = false;
int gTimersReleased = 0;
// Released timers stay allocated until exit, so a stale handle is harmless.
std::vector<std::unique_ptr<UvTimer>> gTimers;

void Post(EvLoop* loop, EV_TASK_T task, size_t& counter) {
    std::lock_guard<std::mutex> lock(detail::Mu());
    gPostedLoops.push_back(loop);
    gQueue.push_back(task);
    ++counter;
    detail::SignalLocked();
}

struct LoopScope {
    LoopScope() { ++tLoopDepth; }
    ~LoopScope() { --tLoopDepth; }
};
}  // namespace

namespace detail {
void ResetLoop() {
    std::lock_guard<std::mutex> lock(Mu());
    gQueue.clear();
    gPostedLoops.clear();
    gRunCalls = gQueueCalls = 0;
    gTimerInitFails = false;
    gTimersReleased = 0;
    // A unit may still hold a timer from an earlier test: keep it valid, but inert.
    for (auto& t : gTimers) {
        t->released = true;
        t->info.started = false;
    }
}
}  // namespace detail

EvLoop* Loop() {
    return &gLoop;
}

size_t PumpLoop() {
    size_t ran = 0;
    for (;;) {
        EV_TASK_T task;
        {
            std::lock_guard<std::mutex> lock(detail::Mu());
            if (gQueue.empty()) break;
            task = gQueue.front();
            gQueue.pop_front();
        }
        LoopScope scope;
        if (task.task) task.task(task.pUser);
        ++ran;
        NotifyAll();
    }
    return ran;
}

bool PumpUntil(const std::function<bool()>& pred, milliseconds timeout) {
    return WaitUntil(
        [&] {
            PumpLoop();
            return pred();
        },
        timeout);
}

size_t PendingTasks() {
    std::lock_guard<std::mutex> lock(detail::Mu());
    return gQueue.size();
}

size_t RunInLoopCalls() {
    std::lock_guard<std::mutex> lock(detail::Mu());
    return gRunCalls;
}

size_t QueueInLoopCalls() {
    std::lock_guard<std::mutex> lock(detail::Mu());
    return gQueueCalls;
}

bool OnLoopThread() {
    return tLoopDepth > 0;
}

std::vector<EvLoop*> PostedLoops() {
    std::lock_guard<std::mutex> lock(detail::Mu());
    return gPostedLoops;
}

void SetTimerInitFails(bool fail) {
    std::lock_guard<std::mutex> lock(detail::Mu());
    gTimerInitFails = fail;
}

std::vector<UvTimer*> ActiveTimers() {
    std::lock_guard<std::mutex> lock(detail::Mu());
    std::vector<UvTimer*> out;
    for (auto& t : gTimers) {
        if (!t->released) out.push_back(t.get());
    }
    return out;
}

TimerInfo GetTimer(UvTimer* timer) {
    std::lock_guard<std::mutex> lock(detail::Mu());
    return timer->info;
}

int TimersReleased() {
    std::lock_guard<std::mutex> lock(detail::Mu());
    return gTimersReleased;
}

void FireTimer(UvTimer* timer) {
    TimerInfo info;
    {
        std::lock_guard<std::mutex> lock(detail::Mu());
        if (timer->released || !timer->info.started || !timer->info.cb) return;
        info = timer->info;
        if (!info.repeat) timer->info.started = false;
    }
    LoopScope scope;
    info.cb(timer, info.ptr);
    NotifyAll();
}

void FireAllTimers() {
    for (UvTimer* t : ActiveTimers()) FireTimer(t);
}

}  // namespace fakes

extern "C" {

void EvRunInLoop(EvLoop* loop, EV_TASK_T task) {
    fakes::Post(loop, task, fakes::gRunCalls);
}

void EvQueueInLoop(EvLoop* loop, EV_TASK_T task) {
    fakes::Post(loop, task, fakes::gQueueCalls);
}

UvTimer* UvTimerInit(EvLoop* loop) {
    std::lock_guard<std::mutex> lock(fakes::detail::Mu());
    if (fakes::gTimerInitFails) return nullptr;
    auto timer = std::make_unique<UvTimer>();
    timer->info = {loop, nullptr, nullptr, 0, false, false};
    timer->released = false;
    fakes::gTimers.push_back(std::move(timer));
    return fakes::gTimers.back().get();
}

void UvTimerStart(UvTimer* timer, UvTimerCallback cb, void* ptr, uint64_t periodMs, bool repeat) {
    if (!timer) return;
    std::lock_guard<std::mutex> lock(fakes::detail::Mu());
    timer->info.cb = cb;
    timer->info.ptr = ptr;
    timer->info.periodMs = periodMs;
    timer->info.repeat = repeat;
    timer->info.started = true;
}

void UvTimerUninit(UvTimer* timer) {
    if (!timer) return;
    std::lock_guard<std::mutex> lock(fakes::detail::Mu());
    timer->released = true;
    timer->info.started = false;
    ++fakes::gTimersReleased;
}

}  // extern "C"
