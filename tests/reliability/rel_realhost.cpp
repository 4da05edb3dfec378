// The reference host for the reliability tests; see rel_realhost.h.
#include "tests/reliability/rel_realhost.h"

#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "event/ev_host.h"
#include "tools/loggen/station_log_gen.h"
#include "logsys/log_sys_host.h"
#include "tests/reliability/rel_fs.h"

namespace rel {
namespace {

std::mutex gMu;
std::condition_variable gCv;
std::vector<Result> gResults;
std::chrono::steady_clock::time_point gLast = std::chrono::steady_clock::now();

struct LoopCall {
    std::function<void()> fn;
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
};

void RunLoopCall(void* p) {
    auto* call = static_cast<LoopCall*>(p);
    call->fn();
    std::lock_guard<std::mutex> lock(call->mu);
    call->done = true;
    call->cv.notify_all();
}

}  // namespace

bool RealLoop::Start() {
    loop_ = EvLoopCreate();
    if (loop_ == nullptr) return false;
    return EvLoopStartThread(loop_) == 0;
}

void RealLoop::Stop() {
    if (loop_ == nullptr) return;
    EvLoopStopAndJoin(loop_);
    EvLoopDestroy(loop_);
    loop_ = nullptr;
}

bool RealLoop::Run(std::function<void()> fn, std::chrono::milliseconds deadline) {
    // Shared with the loop task: a call that times out is left to the task, never freed here.
    auto* call = new LoopCall();
    call->fn = std::move(fn);
    EvRunInLoop(loop_, EV_TASK_T{&RunLoopCall, call, 0});
    std::unique_lock<std::mutex> lock(call->mu);
    const bool ok = call->cv.wait_for(lock, deadline, [call] { return call->done; });
    lock.unlock();
    if (ok) delete call;
    return ok;
}

void Results::Callback(const LOG_COMP_TRIGGER_RES* res) {
    Result r{res->strTaskId, res->result, res->errMsg != nullptr ? res->errMsg : "<null>",
             res->progress, res->mode};
    {
        std::lock_guard<std::mutex> lock(gMu);
        gResults.push_back(std::move(r));
        gLast = std::chrono::steady_clock::now();
    }
    gCv.notify_all();
}

void Results::Clear() {
    std::lock_guard<std::mutex> lock(gMu);
    gResults.clear();
    gLast = std::chrono::steady_clock::now();
}

std::vector<Result> Results::All() {
    std::lock_guard<std::mutex> lock(gMu);
    return gResults;
}

size_t Results::Count() {
    std::lock_guard<std::mutex> lock(gMu);
    return gResults.size();
}

bool Results::WaitCount(size_t n, std::chrono::milliseconds deadline) {
    std::unique_lock<std::mutex> lock(gMu);
    return gCv.wait_for(lock, deadline, [n] { return gResults.size() >= n; });
}

std::chrono::steady_clock::time_point Results::Last() {
    std::lock_guard<std::mutex> lock(gMu);
    return gLast;
}

LOG_COMP_TRIGGER_REQ MakeReq(const std::string& id, int option, const std::string& begin,
                             const std::string& end, const std::string& output,
                             LOG_COMPRESS_RES_CALLBACK cb) {
    LOG_COMP_TRIGGER_REQ req{};
    snprintf(req.strTaskId, sizeof req.strTaskId, "%s", id.c_str());
    snprintf(req.outputPath, sizeof req.outputPath, "%s", output.c_str());
    snprintf(req.beginTime, sizeof req.beginTime, "%s", begin.c_str());
    snprintf(req.endTime, sizeof req.endTime, "%s", end.c_str());
    req.compressOption = option;
    req.cb = cb;
    return req;
}

bool LogToFile(const std::string& path) {
    if (!WriteFile(path, "")) return false;
    LogSysSetStderr(false);
    return LogSysSetFile(path.c_str()) == 0;
}

void LogToStderr() {
    LogSysSetFile(nullptr);
    LogSysSetStderr(true);
}

bool AddDays(const std::string& dir, const std::vector<std::string>& dates, size_t bytesPerDay,
             uint64_t seed, LineSet* lines) {
    const std::string staging = dir + ".staging-" + std::to_string(getpid());
    if (!EmptyDir(staging)) return false;
    loggen::GenOptions opts;
    opts.bytesPerDay = bytesPerDay;
    bool ok = true;
    for (const auto& date : dates) {
        opts.seed = seed ^ std::hash<std::string>()(date);
        ok = ok && loggen::GenerateDay(staging, date, opts);
    }
    for (const auto& name : ListDir(staging)) {
        std::string bytes;
        if (lines != nullptr) {
            ok = ok && ReadFile(staging + "/" + name, &bytes);
            lines->AddText(bytes);
        }
        ok = ok && rename((staging + "/" + name).c_str(), (dir + "/" + name).c_str()) == 0;
    }
    Shell("rm -rf '" + staging + "'");
    return ok;
}

std::string ShiftDate(const std::string& date, int days) {
    struct tm tm {};
    if (strptime(date.c_str(), "%Y-%m-%d", &tm) == nullptr) return "";
    const time_t t = timegm(&tm) + static_cast<time_t>(days) * 86400;
    struct tm out {};
    gmtime_r(&t, &out);
    char buf[16];
    strftime(buf, sizeof buf, "%Y-%m-%d", &out);
    return buf;
}

}  // namespace rel
