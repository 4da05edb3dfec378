// In run mode the library reports to nobody: the daily run and the storage guard only log.
// RunEvents turns those log lines into a short account on stdout and counts the daily
// tasks, so that a stop can tell whether every task handed to the executor was answered.
#pragma once

#include <mutex>
#include <string>

namespace logcomp {

class RunEvents {
  public:
    explicit RunEvents(std::string cardMount) : cardMount_(std::move(cardMount)) {}

    // A library log message (any thread: the one that logs it).
    void Observe(int level, const std::string& text);

    struct Counts {
        int dailyStarted = 0;   // daily tasks the executor took
        int dailyAnswered = 0;  // their completion callbacks
        int deleted = 0;        // entries removed by the guard
    };
    Counts Get();

  private:
    void Daily(const std::string& text);
    void Guard(const std::string& text);

    std::mutex mu_;
    std::string cardMount_;
    bool cardWarned_ = false;
    std::string lastUsage_;  // shown once until it changes
    Counts counts_;
};

}  // namespace logcomp
