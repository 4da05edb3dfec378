// Deadlock watchdog: a thread that asks a probe once a second whether the scenario still
// makes progress. When the probe names a stall, it prints the reason and the stack of every
// thread of the process (through gdb where it can, else by signalling each thread to print
// its own backtrace) and aborts, so a hang fails the test with a picture of who waits on what.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace rel {

class Watchdog {
  public:
    // probe returns "" while all is well, else what is stuck.
    explicit Watchdog(std::function<std::string()> probe);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

  private:
    void Run();
    std::function<std::string()> probe_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;
};

// Prints every thread's stack to stderr.
void DumpAllThreads();

}  // namespace rel
