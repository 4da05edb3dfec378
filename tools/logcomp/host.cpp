// While the hook runs the sink itself writes nowhere: the console shows the messages, so that
// a progress line drawn in place is cleared and redrawn around them.
#include "tools/logcomp/logcomp.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <system_error>

#include "event/ev_host.h"
#include "logsys/log_sys.h"
#include "logsys/log_sys_host.h"

namespace logcomp {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The stop signals, and SIGUSR1, which only Stop sends to the signal thread so that it can be
// joined without polling.
sigset_t WaitedSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signo : kStopSignals) sigaddset(&set, signo);
    sigaddset(&set, SIGUSR1);
    return set;
}

// The sink's line hook takes no user pointer: it reaches the host through this one.
std::atomic<Host*> gHooked{nullptr};

// The drain's marker: the loop task owns the promise, the waiter its future.
void MarkDrained(void* promise) {
    auto* drained = static_cast<std::promise<void>*>(promise);
    drained->set_value();
    delete drained;
}

}  // namespace

void BlockStopSignals() {
    const sigset_t set = WaitedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a closed stdout or stderr must not end a running request
}

std::string StopSignalName(int signo) {
    return std::string("SIG") + sigabbrev_np(signo);
}

Host::Host(Console& console, int showLevel, Observer observer)
    : console_(console), showLevel_(showLevel), observer_(std::move(observer)) {}

bool Host::Start() {
    gHooked = this;
    LogSysSetMinLevel(std::min(showLevel_, static_cast<int>(LEVEL_INFO)));
    LogSysSetStderr(false);
    LogSysSetLineHook(&Host::Hook);
    loop_ = EvLoopCreate();
    if (loop_ != nullptr && EvLoopStartThread(loop_) == 0) return true;
    if (loop_ != nullptr) EvLoopDestroy(loop_);
    loop_ = nullptr;  // nothing to drain
    console_.Error("cannot start the event loop");
    return false;
}

void Host::Hook(int level, const char* func, const char* text) {
    Host* host = gHooked.load();
    if (host == nullptr) return;
    if (level >= host->showLevel_) {
        std::string line = std::string(LogSysLevelName(level)) + " " + func + ": " + text;
        std::replace_if(
            line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
        host->console_.Line(level, line);
    }
    if (host->observer_) host->observer_(level, text);
}

bool Host::StartSignals(std::function<void(int)> onSignal) {
    onSignal_ = std::move(onSignal);
    try {
        signals_ = std::thread(&Host::TakeSignals, this);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void Host::TakeSignals() {
    const sigset_t set = WaitedSignals();
    for (int signo = 0;;) {
        if (sigwait(&set, &signo) != 0) continue;
        if (signo != SIGUSR1) {
            onSignal_(signo);
        } else if (stopping_) {  // a SIGUSR1 from elsewhere does not end the thread
            return;
        }
    }
}

void Host::Drain() {
    if (loop_ == nullptr) return;
    auto* drained = new std::promise<void>();
    const std::future<void> done = drained->get_future();
    EV_TASK_T task{};
    task.task = MarkDrained;
    task.pUser = drained;
    EvRunInLoop(loop_, task);
    while (done.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        console_.Note("still waiting for the library to finish its work on the loop...");
    }
}

// The hook may run until every thread that logs through the library has ended.
void Host::Stop() {
    if (loop_ != nullptr) {
        EvLoopStopAndJoin(loop_);
        EvLoopDestroy(loop_);
        loop_ = nullptr;
    }
    if (gHooked == this) {
        LogSysSetLineHook(nullptr);
        LogSysSetStderr(true);
        LogSysSetMinLevel(showLevel_);
        gHooked = nullptr;
    }
    if (!signals_.joinable()) return;
    stopping_ = true;
    pthread_kill(signals_.native_handle(), SIGUSR1);
    signals_.join();
}

}  // namespace logcomp
