// The host event loop on libuv. Tasks from any thread go into one FIFO under a mutex and
// one uv_async_t wakes the loop, which swaps the FIFO out under the lock and runs the batch
// without it: a task posted meanwhile (also by a running task) lands in the next batch, so
// no task ever runs inside the call that posted it.
#include <uv.h>

#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "event/ev_host.h"
#include "event/ev_internal.h"
#include "event/ev_loop.h"
#include "logsys/host_log.h"

struct EvLoop {
    uv_loop_t uv{};
    uv_async_t wake{};
    std::mutex mu;
    std::condition_variable stateCv;  // EvLoopStartThread waits here for the run to begin
    std::vector<EV_TASK_T> queue;     // posted, not yet taken (mu)
    bool running = false;             // a thread is inside EvLoopRun (mu)
    bool stopRequested = false;       // (mu)
    std::thread::id runner;           // the thread inside EvLoopRun (mu)
    bool threadFailed = false;        // the thread of EvLoopStartThread could not run (mu)
    std::vector<EV_TASK_T> batch;     // being run; touched by the loop's thread only
    std::thread thread;               // from EvLoopStartThread
};

namespace {

thread_local EvLoop* tCurrentLoop = nullptr;

// Marks the calling thread as the loop's thread while it runs the loop's work.
class LoopThreadScope {
  public:
    explicit LoopThreadScope(EvLoop* loop) : prev_(tCurrentLoop) { tCurrentLoop = loop; }
    ~LoopThreadScope() { tCurrentLoop = prev_; }
    LoopThreadScope(const LoopThreadScope&) = delete;
    LoopThreadScope& operator=(const LoopThreadScope&) = delete;

  private:
    EvLoop* prev_;
};

// Moves the queued tasks into loop->batch; false when there were none. With endRun, an
// empty queue also ends the run in the same critical section, so that a task pushed while
// `running` was seen true is never left behind.
bool TakeBatch(EvLoop* loop, bool endRun) {
    std::lock_guard<std::mutex> lock(loop->mu);
    if (loop->queue.empty()) {
        if (endRun) {
            loop->running = false;
            loop->stopRequested = false;
            loop->runner = std::thread::id();
        }
        return false;
    }
    loop->batch.swap(loop->queue);
    return true;
}

void RunBatch(EvLoop* loop) {
    for (const EV_TASK_T& t : loop->batch) {
        t.task(t.pUser);
    }
    loop->batch.clear();  // keeps its capacity for the next swap
}

void OnWake(uv_async_t* handle) {
    auto* loop = static_cast<EvLoop*>(handle->data);
    if (TakeBatch(loop, false)) {
        RunBatch(loop);
    }
    std::lock_guard<std::mutex> lock(loop->mu);
    if (loop->stopRequested) {
        uv_stop(&loop->uv);  // EvLoopRun runs what is still queued
    }
}

bool Post(EvLoop* loop, EV_TASK_T task, const char* caller) {
    if (loop == nullptr || task.task == nullptr) {
        log_sendByLevelFile(LOG_SYSTEM, LEVEL_ERROR, caller, __LINE__,
                            "%s without %s: task dropped", caller, loop ? "task" : "loop");
        return false;
    }
    try {
        std::lock_guard<std::mutex> lock(loop->mu);
        loop->queue.push_back(task);
    } catch (const std::bad_alloc&) {
        log_sendByLevelFile(LOG_SYSTEM, LEVEL_ERROR, caller, __LINE__,
                            "%s out of memory: task dropped", caller);
        return false;
    }
    uv_async_send(&loop->wake);
    return true;
}

// Runs the queued tasks on the calling thread until none is left; for a loop no thread runs.
void DrainIdle(EvLoop* loop) {
    LoopThreadScope scope(loop);
    while (TakeBatch(loop, false)) {
        RunBatch(loop);
    }
}

void CloseLeftover(uv_handle_t* handle, void* arg) {
    if (uv_is_closing(handle) == 0) {
        ++*static_cast<int*>(arg);
        uv_close(handle, nullptr);
    }
}

struct SyncCall {
    void (*fn)(void*);
    void* arg;
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
};

void RunSyncCall(void* p) {
    auto* call = static_cast<SyncCall*>(p);
    call->fn(call->arg);
    // Notified under the lock: the waiter owns `call` and may drop it once it sees done.
    std::lock_guard<std::mutex> lock(call->mu);
    call->done = true;
    call->cv.notify_one();
}

}  // namespace

extern "C" {

void EvRunInLoop(struct EvLoop* loop, EV_TASK_T task) {
    Post(loop, task, __func__);
}

void EvQueueInLoop(struct EvLoop* loop, EV_TASK_T task) {
    Post(loop, task, __func__);
}

struct EvLoop* EvLoopCreate(void) {
    auto* loop = new (std::nothrow) EvLoop();
    if (loop == nullptr) {
        HOST_LOG(LEVEL_ERROR, "out of memory");
        return nullptr;
    }
    int rc = uv_loop_init(&loop->uv);
    if (rc == 0) {
        rc = uv_async_init(&loop->uv, &loop->wake, OnWake);
        if (rc != 0) {
            uv_loop_close(&loop->uv);
        }
    }
    if (rc != 0) {
        HOST_LOG(LEVEL_ERROR, "libuv loop init failed: %s", uv_strerror(rc));
        delete loop;
        return nullptr;
    }
    loop->wake.data = loop;
    return loop;
}

int EvLoopRun(struct EvLoop* loop) {
    if (loop == nullptr) {
        HOST_LOG(LEVEL_ERROR, "no loop");
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(loop->mu);
        if (loop->running) {
            HOST_LOG(LEVEL_ERROR, "loop already runs");
            return -1;
        }
        loop->running = true;
        loop->runner = std::this_thread::get_id();
    }
    loop->stateCv.notify_all();
    LoopThreadScope scope(loop);
    uv_async_send(&loop->wake);  // tasks and a stop posted before the run
    uv_run(&loop->uv, UV_RUN_DEFAULT);
    while (TakeBatch(loop, true)) {
        RunBatch(loop);
    }
    return 0;
}

void EvLoopStop(struct EvLoop* loop) {
    if (loop == nullptr) {
        HOST_LOG(LEVEL_ERROR, "no loop");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(loop->mu);
        loop->stopRequested = true;
    }
    uv_async_send(&loop->wake);
}

bool EvLoopIsLoopThread(struct EvLoop* loop) {
    return loop != nullptr && tCurrentLoop == loop;
}

uv_loop_t* EvLoopUv(struct EvLoop* loop) {
    return loop != nullptr ? &loop->uv : nullptr;
}

int EvLoopStartThread(struct EvLoop* loop) {
    if (loop == nullptr) {
        HOST_LOG(LEVEL_ERROR, "no loop");
        return -1;
    }
    std::unique_lock<std::mutex> lock(loop->mu);
    if (loop->running || loop->thread.joinable()) {
        HOST_LOG(LEVEL_ERROR, "loop already runs");
        return -1;
    }
    loop->threadFailed = false;
    try {
        loop->thread = std::thread([loop] {
            if (EvLoopRun(loop) != 0) {
                std::lock_guard<std::mutex> failLock(loop->mu);
                loop->threadFailed = true;
                loop->stateCv.notify_all();
            }
        });
    } catch (const std::system_error& e) {
        HOST_LOG(LEVEL_ERROR, "cannot start the loop thread: %s", e.what());
        return -1;
    }
    std::thread::id id = loop->thread.get_id();
    loop->stateCv.wait(
        lock, [loop, id] { return (loop->running && loop->runner == id) || loop->threadFailed; });
    return loop->threadFailed ? -1 : 0;
}

void EvLoopStopAndJoin(struct EvLoop* loop) {
    if (loop == nullptr) {
        return;
    }
    EvLoopStop(loop);
    if (tCurrentLoop == loop) {
        HOST_LOG(LEVEL_WARN, "called on the loop thread: stop requested, not joined");
        return;
    }
    if (loop->thread.joinable()) {
        loop->thread.join();
    }
}

void EvLoopDestroy(struct EvLoop* loop) {
    if (loop == nullptr) {
        return;
    }
    EvLoopStopAndJoin(loop);
    {
        std::lock_guard<std::mutex> lock(loop->mu);
        if (loop->running) {
            HOST_LOG(LEVEL_ERROR, "loop still runs: not destroyed");
            return;
        }
    }
    DrainIdle(loop);
    uv_close(reinterpret_cast<uv_handle_t*>(&loop->wake), nullptr);
    int leftover = 0;
    uv_walk(&loop->uv, CloseLeftover, &leftover);
    if (leftover > 0) {
        HOST_LOG(LEVEL_WARN, "%d handle(s) still open: closed", leftover);
    }
    {
        LoopThreadScope scope(loop);
        uv_run(&loop->uv, UV_RUN_DEFAULT);  // close callbacks, releasing timers among them
    }
    DrainIdle(loop);
    int rc = uv_loop_close(&loop->uv);
    if (rc != 0) {
        HOST_LOG(LEVEL_ERROR, "libuv loop close failed: %s", uv_strerror(rc));
    }
    delete loop;
}

}  // extern "C"

void EvLoopCallSync(struct EvLoop* loop, void (*fn)(void*), void* arg) {
    if (tCurrentLoop == loop) {
        fn(arg);
        return;
    }
    SyncCall call{fn, arg, {}, {}, false};
    try {
        // Checked and queued in one critical section: a run that is seen going on runs
        // everything queued before it ends.
        std::lock_guard<std::mutex> lock(loop->mu);
        if (!loop->running) {
            fn(arg);
            return;
        }
        loop->queue.push_back(EV_TASK_T{RunSyncCall, &call, 0});
    } catch (const std::bad_alloc&) {
        HOST_LOG(LEVEL_ERROR, "out of memory: call not run");
        return;
    }
    uv_async_send(&loop->wake);
    std::unique_lock<std::mutex> lock(call.mu);
    call.cv.wait(lock, [&call] { return call.done; });
}
