// The station's side of the library for one run of the tool: the library's log taken by the
// tap, and the event loop the library works on, run by a thread of its own.
#pragma once

#include <string>

#include "event/ev_loop.h"
#include "tools/logcomp/log_tap.h"

namespace logcomp {

class HostRuntime {
  public:
    HostRuntime() = default;
    HostRuntime(const HostRuntime&) = delete;
    HostRuntime& operator=(const HostRuntime&) = delete;
    ~HostRuntime() { Stop(); }

    bool Start(int logLevel, LogTap::Observer observer, std::string* error);
    struct EvLoop* Loop() const {
        return loop_;
    }

    // Returns once every task posted to the loop before the call has run (the loop runs its
    // tasks in the order they were posted). After the units' uninit this is the moment their
    // queued release is done: the executor's worker is joined and every task answered.
    void Drain();

    // Stops and joins the loop thread, releases the loop, then stops the tap. After a Drain
    // that follows the units' uninit, every message of the library has been shown and
    // observed when it returns.
    void Stop();

  private:
    LogTap tap_;
    struct EvLoop* loop_ = nullptr;
};

}  // namespace logcomp
