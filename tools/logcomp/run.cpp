// run: what a station does all day. The daily trigger and the storage guard run on the loop
// until a stop signal; then both units are stopped in order and the loop drained, so the
// process ends only after every task handed to the executor was answered.
#include <cstdio>
#include <ctime>
#include <future>
#include <mutex>
#include <nlohmann/json.hpp>

#include "device/devStatus_host.h"
#include "event/ev_host.h"
#include "logCompress/LogCompTrigger.h"
#include "logCompress/LogManager.h"
#include "tools/logcomp/logcomp.h"

namespace logcomp {
namespace {

using Json = nlohmann::ordered_json;

constexpr char kDailyId[] = "[logCompTriggerTaskId]";

// With --json, one line per event: when (UTC, to the second), which unit, what, and the
// event's own fields.
void Event(Console& out, const char* unit, const char* event, const Json& fields = {}) {
    const time_t now = time(nullptr);
    struct tm utc {};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    Json line = {{"time", stamp}, {"unit", unit}, {"event", event}};
    if (fields.is_object()) line.update(fields);
    out.Json(line);
}

// The text after `prefix`, or null when the text does not start with it.
const char* After(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0 ? text.c_str() + prefix.size() : nullptr;
}

// In run mode the library reports to nobody: the daily run and the storage guard only log.
// Their messages, matched word for word, become a short account on stdout (text lines or JSON
// Lines), and the daily tasks are counted, so that a stop can tell whether each was answered.
class RunWatch {
  public:
    RunWatch(Console& out, std::string card) : out_(out), card_(std::move(card)) {}

    void Observe(const std::string& text) {
        std::lock_guard<std::mutex> lock(mu_);
        if (After(text, "LogCompTriggerOnTimer: ") || After(text, kDailyId)) Daily(text);
        if (After(text, "LogManagerOnTimer") || After(text, "SD Usage")) Guard(text);
    }

    // The first stop signal ends the wait; a later one is only told.
    void Signal(int signo) {
        if (signals_++ == 0) {
            stop_.set_value(signo);
        } else {
            out_.Note(
                "%s: already stopping; waiting for every task handed to the executor to be"
                " answered",
                StopSignalName(signo).c_str());
        }
    }
    int WaitForSignal() { return stop_.get_future().get(); }

    // Prints the counts; the exit status is a failure when a daily task was never answered.
    int Report(int signo) {
        std::lock_guard<std::mutex> lock(mu_);
        const int status = dailyAnswered_ == dailyStarted_ ? kExitOk : kExitFailed;
        out_.Result("stopped    daily tasks: %d started, %d answered; guard deletions: %d",
                    dailyStarted_, dailyAnswered_, deleted_);
        Event(out_, "run", "stopped",
              {{"signal", StopSignalName(signo)},
               {"daily_started", dailyStarted_},
               {"daily_answered", dailyAnswered_},
               {"guard_deleted", deleted_},
               {"exit_status", status}});
        if (status != kExitOk) out_.Error("a daily task was never answered");
        return status;
    }

  private:
    void Daily(const std::string& text) {
        const std::string id = kDailyId;
        int n = 0;
        unsigned long long task = 0;
        if (const char* at = After(text, "LogCompTriggerOnTimer: trigger at ")) {
            out_.Result("daily run  compressing the logs of %.10s", at);
            Event(out_, "daily", "triggered", {{"date", std::string(at).substr(0, 10)}});
        } else if (const char* add = After(text, id + "EventLogCompress add compress task, ")) {
            ++dailyStarted_;
            if (std::sscanf(add, "taskId = %llu, fileCount = %d", &task, &n) == 2) {
                out_.Result("daily run  %d files handed to the executor (task %llu)", n, task);
                Event(out_, "daily", "started", {{"task", task}, {"files", n}});
            }
        } else if (After(text, id + "EventLogCompress failed, no file to compress")) {
            out_.Result("daily run  no log files of that day");
            Event(out_, "daily", "no_files");
        } else if (const char* done = After(text, id + "TimerLogCompCallback: taskId ")) {
            ++dailyAnswered_;
            Answered(done);
        }
    }

    void Answered(const char* done) {
        int n = 0;
        unsigned long long task = 0;
        if (std::sscanf(done, "%llu compress %d files success", &task, &n) == 2) {
            out_.Result("daily run  task %llu: %d files compressed", task, n);
            Event(out_, "daily", "compressed", {{"task", task}, {"files", n}});
        } else if (std::sscanf(done, "%llu compress failed, ret = %d", &task, &n) == 2) {
            const char* what = n == 3 ? "cancelled" : "failed";
            out_.Result("daily run  task %llu: %s", task, what);
            Event(out_, "daily", what, {{"task", task}, {"code", n}});
        }
    }

    void Guard(const std::string& text) {
        if (const char* path = After(text, "LogManagerOnTimer, delete oldest file ")) {
            const std::string rest = path;
            const size_t sp = rest.rfind(' ');
            const bool ok = rest.compare(sp + 1, std::string::npos, "success") == 0;
            deleted_ += ok ? 1 : 0;
            out_.Result("guard      %s %s", ok ? "deleted" : "cannot delete",
                        rest.substr(0, sp).c_str());
            Event(out_, "guard", ok ? "deleted" : "delete_failed", {{"path", rest.substr(0, sp)}});
        } else if (After(text, "LogManagerOnTimer, sd card not ready") && !cardWarned_) {
            cardWarned_ = true;
            out_.Result(
                "guard      the card at %s is not a mounted, writable file system: the guard "
                "skips its checks until it is (see --card-mount)",
                card_.c_str());
            Event(out_, "guard", "card_not_ready", {{"card", card_}});
        } else if (const char* usage = After(text, "SD Usage ")) {
            if (lastUsage_ != usage) Usage(usage);
            lastUsage_ = usage;
        }
    }

    void Usage(const char* usage) {
        out_.Result("guard      %s", usage);
        unsigned long long total = 0, used = 0, available = 0;
        double percent = 0;
        if (std::sscanf(usage,
                        "totalBytes %llu MB, usedBytes %llu MB, availableBytes %llu MB, Usage: %lf",
                        &total, &used, &available, &percent) != 4) {
            return;
        }
        Event(out_, "guard", "usage",
              {{"total_mb", total},
               {"used_mb", used},
               {"available_mb", available},
               {"usage_percent", percent}});
    }

    Console& out_;
    const std::string card_;
    std::promise<int> stop_;
    int signals_ = 0;  // on the signal thread only
    std::mutex mu_;
    bool cardWarned_ = false;
    std::string lastUsage_;  // shown once until it changes
    int dailyStarted_ = 0, dailyAnswered_ = 0, deleted_ = 0;
};

void Announce(Console& out, const Options& opts, const std::string& card, double scale) {
    out.Note("daily run: yesterday's logs in %s, from %02d:%02d:%02d UTC on (ticks every %g s)",
             LogDir(), opts.hour, opts.minute, opts.second,
             LOG_COMP_TRIGGER_TICK_MS * scale / 1000.0);
    out.Note(
        "storage guard: oldest entry of %s deleted while usage >= %d%% (checks every %g s,"
        " card %s)",
        opts.guardDir.c_str(), opts.threshold, LOG_MANAGER_CHECK_MS * scale / 1000.0, card.c_str());
    out.Note("running; stop with Ctrl-C (SIGINT), SIGTERM, SIGHUP or SIGQUIT");
    char at[16];
    std::snprintf(at, sizeof at, "%02d:%02d:%02d", opts.hour, opts.minute, opts.second);
    Event(out, "run", "started",
          {{"log_dir", LogDir()},
           {"trigger_time", at},
           {"guard_dir", opts.guardDir},
           {"threshold", opts.threshold},
           {"card", card}});
}

bool StartUnits(Console& out, const Options& opts, struct EvLoop* loop) {
    LOG_COMP_TRIGGER_CONFIG trigger{{opts.hour, opts.minute, opts.second}, nullptr};
    if (LogCompTriggerInit(loop, &trigger) != 0) {
        out.Error("the daily trigger did not start (see the log above)");
        return false;
    }
    LOG_MANAGER_CONFIG guard{};
    std::snprintf(guard.logDir, sizeof guard.logDir, "%s", opts.guardDir.c_str());
    guard.storageThreshold = static_cast<uint8_t>(opts.threshold);
    if (LogManagerInit(loop, &guard) != 0) {
        out.Error("the storage guard did not start (see the log above)");
        LogCompTriggerUninit();
        return false;
    }
    return true;
}

}  // namespace

int RunDaemon(const Options& opts, Console& console) {
    const double scale =
        opts.guardPeriodMs > 0 ? double(opts.guardPeriodMs) / LOG_MANAGER_CHECK_MS : 1.0;
    UvTimerSetPeriodScale(scale);
    if (!opts.cardMount.empty()) DEV_setSdMountPoint(opts.cardMount.c_str());
    const std::string card = opts.cardMount.empty() ? DEV_DEFAULT_SD_MOUNT_POINT : opts.cardMount;
    RunWatch watch(console, card);  // outlives the host, whose threads feed it
    Host host(console, opts.logLevel,
              [&watch](int, const std::string& text) { watch.Observe(text); });
    const bool started = host.Start() && StartUnits(console, opts, host.Loop());
    int stopSignal = 0;
    if (started) {
        host.StartSignals([&watch](int signo) { watch.Signal(signo); });
        Announce(console, opts, card, scale);
        stopSignal = watch.WaitForSignal();
        console.Note("%s: stopping", StopSignalName(stopSignal).c_str());
        LogManagerUninit();
        LogCompTriggerUninit();
    }
    host.Drain();  // the trigger's release has run: the worker is joined
    host.Stop();
    return started ? watch.Report(stopSignal) : kExitFailed;
}

}  // namespace logcomp
