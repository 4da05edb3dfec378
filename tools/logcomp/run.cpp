// run: what a station does all day. The daily trigger and the storage guard run on the loop
// until a stop signal; then both units are stopped in order and the loop drained, so the
// process ends only after every task handed to the executor was answered.
#include <cstdio>
#include <future>
#include <mutex>

#include "device/devStatus_host.h"
#include "event/ev_host.h"
#include "logCompress/LogCompTrigger.h"
#include "logCompress/LogManager.h"
#include "tools/logcomp/logcomp.h"

namespace logcomp {
namespace {

constexpr char kDailyId[] = "[logCompTriggerTaskId]";

// The text after `prefix`, or null when the text does not start with it.
const char* After(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0 ? text.c_str() + prefix.size() : nullptr;
}

// In run mode the library reports to nobody: the daily run and the storage guard only log.
// Their messages, matched word for word, become a short account on stdout, and the daily
// tasks are counted, so that a stop can tell whether each was answered.
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

    // Prints the counts; false when a daily task was never answered.
    bool Report() {
        std::lock_guard<std::mutex> lock(mu_);
        out_.Result("stopped    daily tasks: %d started, %d answered; guard deletions: %d",
                    dailyStarted_, dailyAnswered_, deleted_);
        if (dailyAnswered_ != dailyStarted_) out_.Error("a daily task was never answered");
        return dailyAnswered_ == dailyStarted_;
    }

  private:
    void Daily(const std::string& text) {
        const std::string id = kDailyId;
        int n = 0;
        unsigned long long task = 0;
        if (const char* at = After(text, "LogCompTriggerOnTimer: trigger at ")) {
            out_.Result("daily run  compressing the logs of %.10s", at);
        } else if (const char* add = After(text, id + "EventLogCompress add compress task, ")) {
            ++dailyStarted_;
            if (std::sscanf(add, "taskId = %llu, fileCount = %d", &task, &n) == 2) {
                out_.Result("daily run  %d files handed to the executor (task %llu)", n, task);
            }
        } else if (After(text, id + "EventLogCompress failed, no file to compress")) {
            out_.Result("daily run  no log files of that day");
        } else if (const char* done = After(text, id + "TimerLogCompCallback: taskId ")) {
            ++dailyAnswered_;
            if (std::sscanf(done, "%llu compress %d files success", &task, &n) == 2) {
                out_.Result("daily run  task %llu: %d files compressed", task, n);
            } else if (std::sscanf(done, "%llu compress failed, ret = %d", &task, &n) == 2) {
                out_.Result("daily run  task %llu: %s", task, n == 3 ? "cancelled" : "failed");
            }
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
        } else if (After(text, "LogManagerOnTimer, sd card not ready") && !cardWarned_) {
            cardWarned_ = true;
            out_.Result(
                "guard      the card at %s is not a mounted, writable file system: the guard "
                "skips its checks until it is (see --card-mount)",
                card_.c_str());
        } else if (const char* usage = After(text, "SD Usage ")) {
            if (lastUsage_ != usage) out_.Result("guard      %s", usage);
            lastUsage_ = usage;
        }
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
    if (started) {
        host.StartSignals([&watch](int signo) { watch.Signal(signo); });
        Announce(console, opts, card, scale);
        console.Note("%s: stopping", StopSignalName(watch.WaitForSignal()).c_str());
        LogManagerUninit();
        LogCompTriggerUninit();
    }
    host.Drain();  // the trigger's release has run: the worker is joined
    host.Stop();
    if (!started) return kExitFailed;
    return watch.Report() ? kExitOk : kExitFailed;
}

}  // namespace logcomp
