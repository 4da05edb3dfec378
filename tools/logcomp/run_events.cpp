// The library's own messages, matched word for word.
#include "tools/logcomp/run_events.h"

#include <cstdio>

#include "tools/logcomp/console.h"

namespace logcomp {
namespace {

constexpr char kDailyId[] = "[logCompTriggerTaskId]";

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The text after `prefix`, or null when the line does not start with it.
const char* After(const std::string& text, const std::string& prefix) {
    return StartsWith(text, prefix) ? text.c_str() + prefix.size() : nullptr;
}

}  // namespace

void RunEvents::Observe(int /*level*/, const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    if (StartsWith(text, "LogCompTriggerOnTimer: ") || StartsWith(text, kDailyId)) {
        Daily(text);
    } else if (StartsWith(text, "LogManagerOnTimer") || StartsWith(text, "SD Usage")) {
        Guard(text);
    }
}

RunEvents::Counts RunEvents::Get() {
    std::lock_guard<std::mutex> lock(mu_);
    return counts_;
}

void RunEvents::Daily(const std::string& text) {
    Console& out = Console::Get();
    const std::string id = kDailyId;
    int n = 0;
    unsigned long long task = 0;
    if (const char* at = After(text, "LogCompTriggerOnTimer: trigger at ")) {
        out.Result("daily run  compressing the logs of %.10s", at);
    } else if (const char* add = After(text, id + "EventLogCompress add compress task, ")) {
        ++counts_.dailyStarted;
        if (std::sscanf(add, "taskId = %llu, fileCount = %d", &task, &n) == 2) {
            out.Result("daily run  %d files handed to the executor (task %llu)", n, task);
        }
    } else if (StartsWith(text, id + "EventLogCompress failed, no file to compress")) {
        out.Result("daily run  no log files of that day");
    } else if (const char* done = After(text, id + "TimerLogCompCallback: taskId ")) {
        ++counts_.dailyAnswered;
        if (std::sscanf(done, "%llu compress %d files success", &task, &n) == 2) {
            out.Result("daily run  task %llu: %d files compressed", task, n);
        } else if (std::sscanf(done, "%llu compress failed, ret = %d", &task, &n) == 2) {
            out.Result("daily run  task %llu: %s", task, n == 3 ? "cancelled" : "failed");
        }
    }
}

void RunEvents::Guard(const std::string& text) {
    Console& out = Console::Get();
    const std::string del = "LogManagerOnTimer, delete oldest file ";
    if (const char* path = After(text, del)) {
        const std::string rest = path;
        const size_t sp = rest.rfind(' ');
        const bool ok = rest.compare(sp + 1, std::string::npos, "success") == 0;
        counts_.deleted += ok ? 1 : 0;
        out.Result("guard      %s %s", ok ? "deleted" : "cannot delete",
                   rest.substr(0, sp).c_str());
    } else if (StartsWith(text, "LogManagerOnTimer, sd card not ready") && !cardWarned_) {
        cardWarned_ = true;
        out.Result(
            "guard      the card at %s is not a mounted, writable file system: the guard "
            "skips its checks until it is (see --card-mount)",
            cardMount_.c_str());
    } else if (const char* usage = After(text, "SD Usage ")) {
        if (lastUsage_ != usage) out.Result("guard      %s", usage);
        lastUsage_ = usage;
    }
}

}  // namespace logcomp
