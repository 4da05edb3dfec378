// The reference host as the station runs it, for the reliability and end-to-end tests: a libuv
// loop on a thread of its own, the logging sink writing to a file, requester results recorded,
// and generated station logs put into a directory whole.
#pragma once

#include <ctime>
#include <future>

#include "event/ev_host.h"
#include "event/ev_loop.h"
#include "logCompress/LogCompTrigger.h"
#include "logsys/log_sys_host.h"
#include "tests/support/files.h"
#include "tools/loggen/station_log_gen.h"

namespace rel {

using namespace std::chrono_literals;

// Polls `done` until it holds or `limit` passed; what it gives last.
inline bool Until(const std::function<bool()>& done, std::chrono::nanoseconds limit = 60s) {
    for (const auto end = std::chrono::steady_clock::now() + limit; !done();
         std::this_thread::sleep_for(2ms))
        if (std::chrono::steady_clock::now() > end) return done();
    return true;
}

class RealLoop {
  public:
    ~RealLoop() { Stop(); }
    bool Start() { return (loop_ = EvLoopCreate()) != nullptr && EvLoopStartThread(loop_) == 0; }
    // Stops the loop (every task posted by then runs first), joins it and destroys it.
    void Stop() {
        if (loop_ != nullptr) EvLoopStopAndJoin(loop_), EvLoopDestroy(loop_), loop_ = nullptr;
    }
    EvLoop* Get() const { return loop_; }
    // Runs fn on the loop's thread and waits for it: everything posted before has run too.
    // False when it did not run within 60 s (the task is then left to the loop).
    bool Run(std::function<void()> fn = [] {}) {
        using Task = std::packaged_task<void()>;
        auto* task = new Task(std::move(fn));
        std::future<void> done = task->get_future();
        auto run = [](void* p) { (*static_cast<Task*>(p))(), delete static_cast<Task*>(p); };
        EvRunInLoop(loop_, EV_TASK_T{run, task, 0});
        return done.wait_for(60s) == std::future_status::ready;
    }

  private:
    struct EvLoop* loop_ = nullptr;
};

// Requester results; the callback has no user pointer, so the record is process-wide.
struct Result {
    std::string id;
    int result, progress, mode;
};
struct Results {
    std::mutex mu;
    std::vector<Result> all;

    void Clear() { std::lock_guard<std::mutex>{mu}, all.clear(); }
    std::vector<Result> All() { return std::lock_guard<std::mutex>{mu}, all; }
    bool WaitCount(size_t n) {  // false when fewer came within 60 s
        return Until([&] { return All().size() >= n; });
    }
};
inline Results gResults;

inline void OnResult(const LOG_COMP_TRIGGER_RES* res) {
    std::lock_guard<std::mutex>{gResults.mu},
        gResults.all.push_back({res->strTaskId, res->result, res->progress, res->mode});
}

inline LOG_COMP_TRIGGER_REQ MakeReq(const std::string& id, int option, const std::string& begin,
                                    const std::string& end, const std::string& output = "") {
    LOG_COMP_TRIGGER_REQ req{};
    snprintf(req.strTaskId, sizeof req.strTaskId, "%s", id.c_str());
    snprintf(req.outputPath, sizeof req.outputPath, "%s", output.c_str());
    snprintf(req.beginTime, sizeof req.beginTime, "%s", begin.c_str());
    snprintf(req.endTime, sizeof req.endTime, "%s", end.c_str());
    req.compressOption = option;
    req.cb = &OnResult;
    return req;
}

// The sink writes only to `path` (emptied first) until LogToStderr.
inline bool LogToFile(const std::string& path) {
    LogSysSetStderr(false);
    return WriteFile(path, "") && LogSysSetFile(path.c_str()) == 0;
}
inline void LogToStderr() {
    LogSysSetFile(nullptr);
    LogSysSetStderr(true);
}

// The trigger on a real loop of its own, logging to a file.
struct TriggerHost {
    RealLoop loop;
    LOG_COMP_TRIGGER_CONFIG config{{2, 0, 0}, nullptr};

    bool Start(const std::string& sinkFile) {
        return LogToFile(sinkFile) && loop.Start() && LogCompTriggerInit(loop.Get(), &config) == 0;
    }
    // True when the release, and what it queued, ran; the loop is stopped and the sink is
    // stderr again either way.
    bool Stop() {
        LogCompTriggerUninit();
        const bool released = loop.Run() && loop.Run();
        loop.Stop();
        LogToStderr();
        return released;
    }
};

// How often each message was logged to the sink's file: the text after "function:line: " in
// "2024-05-01T12:34:56.789Z ERROR [SYSTEM] Function:120: text".
inline std::map<std::string, int> Logged(const std::string& path) {
    std::string bytes;
    ReadFile(path, &bytes);
    std::istringstream in(bytes);
    std::map<std::string, int> texts;
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find(": ", line.find("] "));
        ++texts[at == std::string::npos ? line : line.substr(at + 2)];
    }
    return texts;
}
// Writes the four station logs of each date into dir, each one staged beside dir and renamed
// into it, so that it appears there only whole; adds their lines to *lines when given.
inline bool AddDays(const std::string& dir, const std::vector<std::string>& dates,
                    size_t bytesPerDay, uint64_t seed, Lines* lines = nullptr) {
    const std::string staging = dir + ".staging-" + std::to_string(getpid());
    bool ok = EmptyDir(staging);
    for (const auto& date : dates)
        ok = ok && loggen::GenerateDay(staging, date,
                                       {seed ^ std::hash<std::string>()(date), bytesPerDay});
    for (const auto& name : ListDir(staging)) {
        std::string bytes;
        ok = ok &&
             (lines == nullptr ||
              (ReadFile(staging + "/" + name, &bytes) && (lines->Add(bytes), true))) &&
             rename((staging + "/" + name).c_str(), (dir + "/" + name).c_str()) == 0;
    }
    return Shell("rm -rf '" + staging + "'") && ok;
}

// The UTC date `days` days after a "YYYY-MM-DD" date (before it when negative).
inline std::string ShiftDate(const std::string& date, int days) {
    struct tm tm {};
    if (strptime(date.c_str(), "%Y-%m-%d", &tm) == nullptr) return "";
    const time_t t = timegm(&tm) + static_cast<time_t>(days) * 86400;
    char buf[16];
    strftime(buf, sizeof buf, "%Y-%m-%d", gmtime_r(&t, &tm));
    return buf;
}

// Three past days and today, from one reading of the clock.
struct Days {
    std::string p1, p2, p3, t;
};
inline Days TheDays() {
    const std::string t = loggen::UtcDate();
    return {ShiftDate(t, -3), ShiftDate(t, -2), ShiftDate(t, -1), t};
}

}  // namespace rel
