// What happened to the one request a run of the tool posts: its result (through the
// requester callback), a refusal after the hand-over (the dispatcher's failure line in the
// library's log, with the error lines that led to it), and stop signals. The main thread
// waits on it; the callback, the log tap and the signal thread feed it.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "logCompress/LogCompTrigger.h"

namespace logcomp {

struct RequestOutcome {
    bool answered = false;             // the requester callback ran
    int result = -1;                   // LOG_COMP_TRIGGER_RESULT_*
    std::string message;               // errMsg
    bool refused = false;              // dropped by the library after the post, never answered
    std::vector<std::string> reasons;  // the library's error lines since the post
    int signal = 0;                    // the first stop signal, 0 when none
};

class RequestWatch {
  public:
    static RequestWatch& Get();

    void Reset(const std::string& id, int option);
    // The requester callback: any thread (the worker, or the loop for a waiting task).
    static void OnResult(const LOG_COMP_TRIGGER_RES* res);
    void OnLog(int level, const std::string& text);
    // True for the first signal.
    bool OnSignal(int signo);
    // The outcome of a request refused by the post itself, with the error lines logged.
    RequestOutcome Refused();

    // Waits for the end: answered or refused. On the first signal it calls stop() once, on
    // the calling thread and without the lock, and goes on waiting for the answer.
    template <class StopFn>
    RequestOutcome Wait(StopFn stop) {
        std::unique_lock<std::mutex> lock(mu_);
        bool stopSent = false;
        for (;;) {
            cv_.wait(lock, [&] { return Ended() || (outcome_.signal != 0 && !stopSent); });
            if (Ended()) return outcome_;
            stopSent = true;
            const int signo = outcome_.signal;
            lock.unlock();
            stop(signo);
            lock.lock();
        }
    }

  private:
    bool Ended() const { return outcome_.answered || outcome_.refused; }

    std::mutex mu_;
    std::condition_variable cv_;
    std::string id_;
    std::string failedLine_;  // the dispatcher's failure line for this request
    RequestOutcome outcome_;
};

}  // namespace logcomp
