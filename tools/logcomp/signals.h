// The stop signals (SIGINT, SIGTERM, SIGHUP, SIGQUIT), taken by one thread with sigwait: no
// work ever runs in a signal handler. A dropped terminal session (SIGHUP) or Ctrl-\ stops the
// work like Ctrl-C, so that the library can put a package's files back.
// BlockStopSignals must run in main before any other thread exists, so that every thread
// (the loop's, the library's worker) inherits the mask and none of them is interrupted.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace logcomp {

void BlockStopSignals();

// "SIGINT", "SIGTERM", "SIGHUP" or "SIGQUIT".
const char* StopSignalName(int signo);

// The exit status after a stop signal, as shells report it: 128 plus the signal's number.
constexpr int ExitStatusAfter(int signo) {
    return 128 + signo;
}

class SignalThread {
  public:
    SignalThread() = default;
    SignalThread(const SignalThread&) = delete;
    SignalThread& operator=(const SignalThread&) = delete;
    ~SignalThread() { Stop(); }

    // onSignal(signo) runs on the signal thread for every stop signal.
    bool Start(std::function<void(int)> onSignal);
    void Stop();

  private:
    void Loop();

    std::function<void(int)> onSignal_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace logcomp
