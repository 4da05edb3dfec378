// The signal thread also waits for SIGUSR1, which only Stop sends to it (pthread_kill), so
// it can be joined without polling.
#include "tools/logcomp/signals.h"

#include <pthread.h>
#include <signal.h>

#include <system_error>

namespace logcomp {
namespace {

constexpr struct {
    int signo;
    const char* name;
} kStopSignals[] = {
    {SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}, {SIGQUIT, "SIGQUIT"}};

sigset_t WaitedSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const auto& s : kStopSignals) sigaddset(&set, s.signo);
    sigaddset(&set, SIGUSR1);
    return set;
}

}  // namespace

void BlockStopSignals() {
    const sigset_t set = WaitedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a closed stdout or stderr must not end a running request
}

const char* StopSignalName(int signo) {
    for (const auto& s : kStopSignals) {
        if (s.signo == signo) return s.name;
    }
    return "signal";
}

bool SignalThread::Start(std::function<void(int)> onSignal) {
    onSignal_ = std::move(onSignal);
    try {
        thread_ = std::thread(&SignalThread::Loop, this);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void SignalThread::Stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
}

void SignalThread::Loop() {
    const sigset_t set = WaitedSignals();
    for (;;) {
        int signo = 0;
        if (sigwait(&set, &signo) != 0) continue;
        if (signo == SIGUSR1) {
            if (stopping_) return;
            continue;  // not ours: only Stop ends the thread
        }
        onSignal_(signo);
    }
}

}  // namespace logcomp
