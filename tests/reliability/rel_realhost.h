// The reference host as the station runs it, for the reliability tests: a libuv loop on a
// thread of its own, the logging sink writing to a file, requester results recorded, and
// generated station logs put into a directory whole.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "event/ev_loop.h"
#include "logCompress/LogCompTrigger.h"
#include "tests/reliability/rel_inventory.h"

namespace rel {

using namespace std::chrono_literals;

class RealLoop {
  public:
    ~RealLoop() { Stop(); }
    bool Start();
    // Stops the loop (every task posted by then runs first), joins it and destroys it.
    void Stop();
    struct EvLoop* Get() const {
        return loop_;
    }
    // Runs fn on the loop's thread and waits for it: everything posted before has run too.
    // False when it did not run within the deadline.
    bool Run(std::function<void()> fn, std::chrono::milliseconds deadline = 60s);

  private:
    struct EvLoop* loop_ = nullptr;
};

struct Result {
    std::string id;
    int result;
    std::string errMsg;
    int progress;
    int mode;
};

// Requester results; the callback has no user pointer, so the record is process-wide.
class Results {
  public:
    static void Callback(const LOG_COMP_TRIGGER_RES* res);
    static void Clear();
    static std::vector<Result> All();
    static size_t Count();
    static bool WaitCount(size_t n, std::chrono::milliseconds deadline = 60s);
    // When the last result arrived (the start of the process if none did).
    static std::chrono::steady_clock::time_point Last();
};

LOG_COMP_TRIGGER_REQ MakeReq(const std::string& id, int option, const std::string& begin,
                             const std::string& end, const std::string& output = "",
                             LOG_COMPRESS_RES_CALLBACK cb = &Results::Callback);

// The sink writes only to `path` (emptied first) until LogToStderr.
bool LogToFile(const std::string& path);
void LogToStderr();

// Writes the four station logs of each date into dir. Each file is written in a staging
// directory beside dir and renamed into it, so that it appears there only whole; its lines
// are added to *lines (when given) before it does.
bool AddDays(const std::string& dir, const std::vector<std::string>& dates, size_t bytesPerDay,
             uint64_t seed, LineSet* lines = nullptr);

// The UTC date `days` days after a "YYYY-MM-DD" date (before it when negative).
std::string ShiftDate(const std::string& date, int days);

}  // namespace rel
