// Running one executor task over a set of files and waiting for its callback, for the
// benchmarks that drive the executor directly.
#ifndef BENCH_BENCH_EXEC_H
#define BENCH_BENCH_EXEC_H

#include <pthread.h>

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "fileUtils/file_compress.h"
#include "list/link_list.h"
#include "logCompress/LogCompExec.h"

namespace bench {

// Completion of one task, as seen by its callback on the worker thread.
struct Completion {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    int status = -1;
    Clock::time_point at;
    double workerCpu = 0;   // CPU seconds of the worker thread since it started
    double workerWait = 0;  // seconds it waited for a CPU since it started

    static void Callback(uint64_t, LinkList, int sta, void* userData) {
        const double cpu = ThreadCpu();
        const double wait = RunQueueWait();
        const auto now = Clock::now();
        auto* self = static_cast<Completion*>(userData);
        std::lock_guard<std::mutex> lock(self->mu);
        self->done = true;
        self->status = sta;
        self->at = now;
        self->workerCpu = cpu;
        self->workerWait = wait;
        self->cv.notify_all();
    }
    void Wait() {
        std::unique_lock<std::mutex> lock(mu);
        cv.wait(lock, [&] { return done; });
    }
    bool WaitFor(std::chrono::seconds limit) {
        std::unique_lock<std::mutex> lock(mu);
        return cv.wait_for(lock, limit, [&] { return done; });
    }
};

// The level-4 orders of one task; the list only borrows them.
class Files {
  public:
    explicit Files(const std::vector<std::string>& paths) : list_(Init_LinkList()) {
        for (const auto& p : paths) {
            auto cfg = std::make_unique<FILE_COMPRESS_CONFIG>();
            std::snprintf(cfg->file, sizeof cfg->file, "%s", p.c_str());
            cfg->compressLevel = FILE_COMPRESS_LEVEL_4;
            cfg->segmentSize = 0;  // the compressor's default slice
            PushBack_LinkList(list_, cfg.get());
            configs_.push_back(std::move(cfg));
        }
    }
    ~Files() { Destroy_LinkList(list_); }
    Files(const Files&) = delete;
    Files& operator=(const Files&) = delete;
    LinkList list() const { return list_; }

  private:
    LinkList list_;
    std::vector<std::unique_ptr<FILE_COMPRESS_CONFIG>> configs_;
};

inline bool Submit(uint64_t id, const Files& files, Completion* completion) {
    LOG_COMPEXEC_TASK task{};
    task.compressList = files.list();
    task.taskId = id;
    task.callback = &Completion::Callback;
    task.userData = completion;
    return LogCompExecAddTask(&task) == 0;
}

}  // namespace bench

#endif  // BENCH_BENCH_EXEC_H
