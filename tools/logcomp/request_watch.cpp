// The library answers an accepted request exactly once through the callback; a request it
// drops on the loop is only logged, ending with the dispatcher's message
// "[<id>]LogCompTriggerEventProc failed, compressOption <option>", compared as the sink's
// hook hands it over (its text as formatted, never rewritten).
#include "tools/logcomp/request_watch.h"

#include "logsys/log_sys.h"

namespace logcomp {
namespace {

constexpr size_t kMaxReasons = 8;

}  // namespace

RequestWatch& RequestWatch::Get() {
    static RequestWatch* watch = new RequestWatch();  // callbacks may come until the end
    return *watch;
}

void RequestWatch::Reset(const std::string& id, int option) {
    std::lock_guard<std::mutex> lock(mu_);
    id_ = id;
    failedLine_ =
        "[" + id + "]LogCompTriggerEventProc failed, compressOption " + std::to_string(option);
    outcome_ = RequestOutcome{};
}

void RequestWatch::OnResult(const LOG_COMP_TRIGGER_RES* res) {
    RequestWatch& w = Get();
    {
        std::lock_guard<std::mutex> lock(w.mu_);
        if (res == nullptr || w.id_ != res->strTaskId || w.outcome_.answered) return;
        w.outcome_.answered = true;
        w.outcome_.result = res->result;
        w.outcome_.message = res->errMsg != nullptr ? res->errMsg : "";
    }
    w.cv_.notify_all();
}

void RequestWatch::OnLog(int level, const std::string& text) {
    if (level < LEVEL_ERROR) return;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (outcome_.answered || outcome_.refused) return;
        if (text != failedLine_) {
            if (outcome_.reasons.size() < kMaxReasons) outcome_.reasons.push_back(text);
            return;
        }
        outcome_.refused = true;
    }
    cv_.notify_all();
}

bool RequestWatch::OnSignal(int signo) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (outcome_.signal != 0) return false;
        outcome_.signal = signo;
    }
    cv_.notify_all();
    return true;
}

RequestOutcome RequestWatch::Refused() {
    std::lock_guard<std::mutex> lock(mu_);
    outcome_.refused = true;
    return outcome_;
}

}  // namespace logcomp
