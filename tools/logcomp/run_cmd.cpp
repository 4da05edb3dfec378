// run: what a station does all day. The daily trigger and the storage guard run on the loop
// until a stop signal; then both units are stopped in order and the loop drained, so the
// process ends only after every task handed to the executor was answered.
#include <condition_variable>
#include <mutex>

#include "device/devStatus_host.h"
#include "event/ev_host.h"
#include "logCompress/LogCompTrigger.h"
#include "logCompress/LogManager.h"
#include "tools/logcomp/commands.h"
#include "tools/logcomp/console.h"
#include "tools/logcomp/host_runtime.h"
#include "tools/logcomp/report.h"
#include "tools/logcomp/run_events.h"
#include "tools/logcomp/signals.h"

namespace logcomp {
namespace {

constexpr long kGuardPeriodMs = 10000;          // the library's storage check
constexpr long kTriggerPeriodMs = 600000;       // the library's daily tick
constexpr char kDeviceMount[] = "/media/data";  // the device status service's default

class StopSignal {
  public:
    // True for the first signal.
    bool Raise(int signo) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (signo_ != 0) return false;
            signo_ = signo;
        }
        cv_.notify_all();
        return true;
    }
    int Wait() {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [this] { return signo_ != 0; });
        return signo_;
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    int signo_ = 0;
};

void Announce(const Options& opts, double scale) {
    Console& out = Console::Get();
    const double tick = kTriggerPeriodMs * scale / 1000.0;
    const double check = kGuardPeriodMs * scale / 1000.0;
    out.Note("daily run: yesterday's logs in %s, from %02d:%02d:%02d UTC on (ticks every %g s)",
             LogDir(), opts.hour, opts.minute, opts.second, tick);
    out.Note(
        "storage guard: oldest entry of %s deleted while usage >= %d%% (checks every %g s,"
        " card %s)",
        opts.guardDir.c_str(), opts.threshold, check,
        opts.cardMount.empty() ? kDeviceMount : opts.cardMount.c_str());
    out.Note("running; stop with Ctrl-C (SIGINT), SIGTERM, SIGHUP or SIGQUIT");
}

bool StartUnits(const Options& opts, struct EvLoop* loop) {
    LOG_COMP_TRIGGER_CONFIG trigger{{opts.hour, opts.minute, opts.second}, nullptr};
    if (LogCompTriggerInit(loop, &trigger) != 0) {
        Console::Get().Error("the daily trigger did not start (see the log above)");
        return false;
    }
    LOG_MANAGER_CONFIG guard{};
    std::snprintf(guard.logDir, sizeof guard.logDir, "%s", opts.guardDir.c_str());
    guard.storageThreshold = static_cast<uint8_t>(opts.threshold);
    if (LogManagerInit(loop, &guard) != 0) {
        Console::Get().Error("the storage guard did not start (see the log above)");
        LogCompTriggerUninit();
        return false;
    }
    return true;
}

}  // namespace

int RunDaemon(const Options& opts) {
    const double scale = opts.guardPeriodMs > 0 ? double(opts.guardPeriodMs) / kGuardPeriodMs : 1;
    UvTimerSetPeriodScale(scale);
    if (!opts.cardMount.empty()) DEV_setSdMountPoint(opts.cardMount.c_str());
    RunEvents events(opts.cardMount.empty() ? kDeviceMount : opts.cardMount);
    HostRuntime runtime;
    std::string error;
    auto observe = [&events](int level, const std::string& text) { events.Observe(level, text); };
    if (!runtime.Start(opts.logLevel, observe, &error)) {
        Console::Get().Error("%s", error.c_str());
        return kExitFailed;
    }
    const bool started = StartUnits(opts, runtime.Loop());
    StopSignal stop;
    SignalThread signals;
    if (started) {
        signals.Start([&stop](int signo) {
            if (!stop.Raise(signo)) {
                Console::Get().Note(
                    "%s: already stopping; waiting for every task handed to the"
                    " executor to be answered",
                    StopSignalName(signo));
            }
        });
        Announce(opts, scale);
        const int signo = stop.Wait();
        Console::Get().Note("%s: stopping", StopSignalName(signo));
        LogManagerUninit();
        LogCompTriggerUninit();
    }
    runtime.Drain();  // the trigger's release has run: the worker is joined
    runtime.Stop();
    signals.Stop();
    if (!started) return kExitFailed;
    const RunEvents::Counts c = events.Get();
    Console::Get().Result("stopped    daily tasks: %d started, %d answered; guard deletions: %d",
                          c.dailyStarted, c.dailyAnswered, c.deleted);
    if (c.dailyAnswered != c.dailyStarted) {
        Console::Get().Error("a daily task was never answered");
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace logcomp
