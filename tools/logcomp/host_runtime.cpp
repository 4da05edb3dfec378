// Loop thread and drain marker. The marker is shared with the loop task, so a drain that is
// still waiting when the process ends never leaves the task a dangling pointer.
#include "tools/logcomp/host_runtime.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "event/ev_host.h"
#include "tools/logcomp/console.h"

namespace logcomp {
namespace {

struct Marker {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
};

void MarkerTask(void* p) {
    auto* holder = static_cast<std::shared_ptr<Marker>*>(p);
    {
        std::lock_guard<std::mutex> lock((*holder)->mu);
        (*holder)->done = true;
    }
    (*holder)->cv.notify_all();
    delete holder;
}

}  // namespace

bool HostRuntime::Start(int logLevel, LogTap::Observer observer, std::string* error) {
    tap_.Start(logLevel, std::move(observer));
    loop_ = EvLoopCreate();
    if (loop_ == nullptr || EvLoopStartThread(loop_) != 0) {
        *error = "cannot start the event loop";
        return false;
    }
    return true;
}

void HostRuntime::Drain() {
    if (loop_ == nullptr) return;
    auto marker = std::make_shared<Marker>();
    EV_TASK_T task{};
    task.task = MarkerTask;
    task.pUser = new std::shared_ptr<Marker>(marker);
    EvRunInLoop(loop_, task);
    std::unique_lock<std::mutex> lock(marker->mu);
    while (!marker->cv.wait_for(lock, std::chrono::seconds(5), [&] { return marker->done; })) {
        Console::Get().Note("still waiting for the library to finish its work on the loop...");
    }
}

void HostRuntime::Stop() {
    if (loop_ != nullptr) {
        EvLoopStopAndJoin(loop_);
        EvLoopDestroy(loop_);
        loop_ = nullptr;
    }
    tap_.Stop();
}

}  // namespace logcomp
