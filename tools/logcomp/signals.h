// SIGINT and SIGTERM, taken by one thread with sigwait: no work ever runs in a signal handler.
// BlockStopSignals must run in main before any other thread exists, so that every thread
// (the loop's, the library's worker) inherits the mask and none of them is interrupted.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace logcomp {

void BlockStopSignals();

class SignalThread {
  public:
    SignalThread() = default;
    SignalThread(const SignalThread&) = delete;
    SignalThread& operator=(const SignalThread&) = delete;
    ~SignalThread() { Stop(); }

    // onSignal(signo) runs on the signal thread for every SIGINT or SIGTERM.
    bool Start(std::function<void(int)> onSignal);
    void Stop();

  private:
    void Loop();

    std::function<void(int)> onSignal_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace logcomp
