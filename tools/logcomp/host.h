// The station's side of the library for one run of the tool: the event loop on a thread of its
// own, the library's log messages from the sink's line hook, and the stop signals (SIGINT,
// SIGTERM, SIGHUP, SIGQUIT) taken by one thread with sigwait, so that no work ever runs in a
// signal handler. A dropped terminal session (SIGHUP) or Ctrl-\ stops the work like Ctrl-C, so
// that the library can put a package's files back.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "event/ev_loop.h"
#include "tools/logcomp/console.h"

namespace logcomp {

// In main, before any other thread exists: every thread (the loop's, the library's worker)
// inherits the mask, and none of them is interrupted.
void BlockStopSignals();

// "SIGINT", "SIGTERM", "SIGHUP" or "SIGQUIT".
const char* StopSignalName(int signo);

// As shells report it.
constexpr int ExitStatusAfter(int signo) {
    return 128 + signo;
}

class Host {
  public:
    // level: the message's ZLOG_LEVEL; text: the message as the library formatted it.
    using Observer = std::function<void(int level, const std::string& text)>;

    // Messages from showLevel on go to the console; the observer sees every one from
    // LEVEL_INFO on. The library reports some outcomes only in its log (a request dropped on
    // the loop, the daily run, the storage guard's deletions).
    Host(Console& console, int showLevel, Observer observer);
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;
    ~Host() { Stop(); }

    // Takes the library's log and starts the loop; false (told on the console) on failure.
    bool Start();
    struct EvLoop* Loop() const {
        return loop_;
    }
    // onSignal(signo) runs on the signal thread for every stop signal.
    bool StartSignals(std::function<void(int)> onSignal);

    // Returns once every task posted to the loop before the call has run. After the units'
    // uninit, their queued release is then done: the worker is joined, every task answered.
    void Drain();
    // Stops and joins the loop, gives the sink back its stderr, then stops the signal thread.
    void Stop();

  private:
    static void Hook(int level, const char* func, const char* text);
    void TakeSignals();

    Console& console_;
    const int showLevel_;
    const Observer observer_;
    bool hooked_ = false;
    struct EvLoop* loop_ = nullptr;
    std::function<void(int)> onSignal_;
    std::atomic<bool> stopping_{false};
    std::thread signals_;
};

}  // namespace logcomp
