// package and compress: the station's request road, end to end. The request is posted from
// the main thread, answered on the library's threads, and stopped by a stop request when a
// signal comes; the library is shut down in its own order before the account is printed.
#include <atomic>
#include <cstdio>

#include "event/ev_host.h"
#include "logCompress/LogCompTrigger.h"
#include "tools/logcomp/checks.h"
#include "tools/logcomp/commands.h"
#include "tools/logcomp/console.h"
#include "tools/logcomp/host_runtime.h"
#include "tools/logcomp/log_files.h"
#include "tools/logcomp/progress.h"
#include "tools/logcomp/report.h"
#include "tools/logcomp/request_watch.h"
#include "tools/logcomp/signals.h"

namespace logcomp {
namespace {

std::atomic<struct EvLoop*> gLoop{nullptr};

// A one-shot request must not have the daily run start behind it: the daily tick asks on
// the loop thread, while the tool posts from its main thread.
bool AllowedOffLoop() {
    struct EvLoop* loop = gLoop.load();
    return loop == nullptr || !EvLoopIsLoopThread(loop);
}

LOG_COMP_TRIGGER_REQ MakeRequest(const Options& opts, int option) {
    LOG_COMP_TRIGGER_REQ req{};
    std::snprintf(req.strTaskId, sizeof req.strTaskId, "%s", opts.id.c_str());
    std::snprintf(req.outputPath, sizeof req.outputPath, "%s", opts.output.c_str());
    std::snprintf(req.beginTime, sizeof req.beginTime, "%s", opts.from.c_str());
    std::snprintf(req.endTime, sizeof req.endTime, "%s", opts.to.c_str());
    req.compressOption = option;
    req.cb = &RequestWatch::OnResult;
    return req;
}

// The library's shell commands run in a process group of their own, so a terminal's second
// Ctrl-C reaches neither them nor, being taken here, the tool: the restore goes on.
void OnSignal(const Options& opts, int signo) {
    const char* name = StopSignalName(signo);
    const bool package = opts.command == Command::kPackage;
    if (RequestWatch::Get().OnSignal(signo)) {
        Console::Get().Note("%s: stopping the request%s...", name,
                            package ? "; what was packed is put back" : "");
    } else if (package) {
        Console::Get().Note(
            "%s: already stopping; waiting for the library to put the packed files back in %s"
            " and to answer",
            name, LogDir());
    } else {
        Console::Get().Note("%s: already stopping; waiting for the library's answer", name);
    }
}

void PostStop(const LOG_COMP_TRIGGER_REQ& req) {
    LOG_COMP_TRIGGER_REQ stop = req;
    stop.compressOption = LOG_COMPRESS_OPTION_STOP;
    if (LogCompTriggerPostTask(&stop) != 0) {
        Console::Get().Error("the library refused the stop request; waiting for the result");
    }
}

void Announce(const Options& opts, const std::vector<LogFile>& files) {
    const std::string range = opts.dates.front() + " to " + opts.dates.back();
    const std::string size = SizeText(TotalBytes(files));
    if (opts.command == Command::kPackage) {
        Console::Get().Note("packing %zu log files (%s) of %s from %s into %s", files.size(),
                            size.c_str(), range.c_str(), LogDir(), opts.output.c_str());
    } else {
        Console::Get().Note("compressing %zu log files (%s) of %s in %s", files.size(),
                            size.c_str(), range.c_str(), LogDir());
    }
}

// Posts the request and waits for its end; a signal meanwhile posts a stop.
RequestOutcome PostAndWait(const Options& opts, const LOG_COMP_TRIGGER_REQ& req,
                           const std::vector<LogFile>& files) {
    const bool package = opts.command == Command::kPackage;
    if (!files.empty()) Announce(opts, files);
    ProgressBegin(package ? 1 : static_cast<uint32_t>(files.size()),
                  package ? 0 : TotalBytes(files));
    RequestOutcome outcome;
    if (LogCompTriggerPostTask(&req) == 0) {
        outcome = RequestWatch::Get().Wait([&req](int) { PostStop(req); });
    }
    ProgressEnd();
    return outcome;
}

// The runtime and the trigger; once this returns, the trigger's init has resolved what an
// interrupted package of an earlier process left (it queues that to the loop before any
// request).
bool StartLibrary(const Options& opts, HostRuntime* runtime) {
    RequestWatch& watch = RequestWatch::Get();
    auto observe = [&watch](int level, const std::string& text) { watch.OnLog(level, text); };
    std::string error;
    if (!runtime->Start(opts.logLevel, observe, &error)) {
        Console::Get().Error("%s", error.c_str());
        return false;
    }
    gLoop = runtime->Loop();
    LOG_COMP_TRIGGER_CONFIG config{{0, 0, 0}, AllowedOffLoop};
    if (LogCompTriggerInit(runtime->Loop(), &config) != 0) {
        Console::Get().Error("the library did not start (see its log above)");
        return false;
    }
    runtime->Drain();
    return true;
}

}  // namespace

int RunRequest(const Options& opts) {
    const bool package = opts.command == Command::kPackage;
    const int option = package ? LOG_COMPRESS_OPTION_FULL : LOG_COMPRESS_OPTION_ONLY_COMPRESS;
    const LOG_COMP_TRIGGER_REQ req = MakeRequest(opts, option);
    RequestWatch& watch = RequestWatch::Get();
    watch.Reset(req.strTaskId, option);  // the id as the library keeps it
    HostRuntime runtime;
    if (!StartLibrary(opts, &runtime)) return kExitFailed;
    std::string taken;
    const bool outputFree = !package || CheckOutputFree(opts.output, LogDir(), &taken);
    // Without log files the library drops the request: the tool reports that drop.
    const std::vector<LogFile> files = FindLogFiles(LogDir(), opts.dates);
    SignalThread signals;  // stopped last: a signal during the shutdown is still taken
    if (outputFree) signals.Start([&opts](int signo) { OnSignal(opts, signo); });
    RequestOutcome outcome = outputFree ? PostAndWait(opts, req, files) : RequestOutcome{};
    LogCompTriggerUninit();
    runtime.Drain();  // the release queued by the uninit has run: the worker is joined
    runtime.Stop();
    gLoop = nullptr;
    signals.Stop();
    if (!outputFree) {
        Console::Get().Error("%s", taken.c_str());
        return kExitUsage;
    }
    if (!outcome.answered && !outcome.refused) outcome = watch.Refused();
    return ReportOutcome(opts, outcome, files);
}

}  // namespace logcomp
