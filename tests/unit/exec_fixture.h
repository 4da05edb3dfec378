// Shared by the executor's unit tests: a recorder of completion callbacks, file lists that
// own their configs, a pause sleep the test steps by hand, and a fixture that leaves the
// executor stopped and every hook restored.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "list/link_list.h"
#include "logCompress/LogCompExec.h"
#include "logCompress/LogCompExecInternal.h"
#include "tests/fakes/fakes.h"

namespace exectest {

using namespace std::chrono_literals;

// Waits for a condition that no fake event signals (the executor's own atomics): checks it
// again every millisecond until the deadline.
inline bool PollUntil(const std::function<bool()>& pred,
                      std::chrono::milliseconds timeout = fakes::kDeadline) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        fakes::WaitUntil(pred, 1ms);
    }
    return true;
}

// The function that emitted the first line reading `text`, or "<missing>".
inline std::string FuncOf(const std::string& text) {
    auto line = fakes::LogFind(text);
    return line ? line->func : "<missing>";
}

struct Done {
    uint64_t id;
    int status;
    LinkList list;
    void* userData;
    std::thread::id thread;
};

// Records every callback; the task's userData points at the recorder.
class Recorder {
  public:
    static void Callback(uint64_t id, LinkList list, int sta, void* userData) {
        auto* self = static_cast<Recorder*>(userData);
        if (self->onDone) self->onDone(id, sta);
        {
            // Last touch of the recorder: a waiter may destroy it as soon as it sees this.
            std::lock_guard<std::mutex> lock(self->mu_);
            self->done_.push_back({id, sta, list, userData, std::this_thread::get_id()});
        }
        fakes::NotifyAll();
    }
    std::vector<Done> All() const {
        std::lock_guard<std::mutex> lock(mu_);
        return done_;
    }
    size_t Count() const { return All().size(); }
    bool WaitCount(size_t n) {
        return fakes::WaitUntil([&] { return Count() >= n; });
    }
    std::vector<uint64_t> Ids() const {
        std::vector<uint64_t> ids;
        for (const auto& d : All()) ids.push_back(d.id);
        return ids;
    }
    // Called before recording, on the callback's thread (set before tasks run).
    std::function<void(uint64_t, int)> onDone;

  private:
    mutable std::mutex mu_;
    std::vector<Done> done_;
};

// A LinkList of FILE_COMPRESS_CONFIG records that it owns.
class FileList {
  public:
    explicit FileList(const std::vector<std::string>& files, uint32_t level = 6,
                      uint32_t segmentSize = 65536)
        : list_(Init_LinkList()) {
        for (const auto& f : files) {
            auto cfg = std::make_unique<FILE_COMPRESS_CONFIG>();
            snprintf(cfg->file, sizeof cfg->file, "%s", f.c_str());
            cfg->compressLevel = level;
            cfg->segmentSize = segmentSize;
            PushBack_LinkList(list_, cfg.get());
            configs_.push_back(std::move(cfg));
        }
    }
    ~FileList() { Destroy_LinkList(list_); }
    FileList(const FileList&) = delete;
    FileList& operator=(const FileList&) = delete;
    LinkList list() const { return list_; }

  private:
    LinkList list_;
    std::vector<std::unique_ptr<FILE_COMPRESS_CONFIG>> configs_;
};

inline LOG_COMPEXEC_TASK MakeTask(uint64_t id, LinkList list, Recorder* rec,
                                  uint32_t retryCnt = 0) {
    LOG_COMPEXEC_TASK task{};
    task.compressList = list;
    task.taskId = id;
    task.callback = rec != nullptr ? &Recorder::Callback : nullptr;
    task.userData = rec;
    task.retryCnt = retryCnt;
    return task;
}

// The pause sleep under test control: each call records its argument and returns once the
// test has granted it a tick (or the executor is shutting down).
struct PauseClock {
    static inline std::atomic<int> calls{0};
    static inline std::atomic<int> ticks{0};
    static inline std::atomic<unsigned> lastSeconds{0};
    static unsigned Sleep(unsigned seconds) {
        lastSeconds = seconds;
        const int me = ++calls;
        fakes::NotifyAll();
        PollUntil([me] { return ticks.load() >= me || sLogCompExecObj.threadExit.load(); });
        return 0;
    }
    static void Tick() {
        ++ticks;
        fakes::NotifyAll();
    }
    static void Reset() {
        calls = 0;
        ticks = 0;
        lastSeconds = 0;
    }
};

class ExecTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fakes::ResetAll();
        PauseClock::Reset();
        LogCompExecSetPauseSleepHook(&PauseClock::Sleep);
        char tmpl[] = "/tmp/exec_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        if (sLogCompExecObj.inited.load() != 0) LogCompExecUninit();
        LogCompExecSetPauseSleepHook(nullptr);
        LogCompExecSetThreadCreateHook(nullptr);
        fakes::ResetAll();
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
    // Owned by the fixture so that they outlive TearDown's uninit, which still delivers
    // callbacks, even when a test body returns early.
    Recorder& NewRecorder() {
        recorders_.push_back(std::make_unique<Recorder>());
        return *recorders_.back();
    }
    const FileList& MakeList(const std::vector<std::string>& files) {
        lists_.push_back(std::make_unique<FileList>(files));
        return *lists_.back();
    }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    static bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
    // The compressor calls of one file, in order, as "start", "run", "stop" kinds.
    static std::vector<fakes::CompressCall> CallsOf(const std::string& file) {
        std::vector<fakes::CompressCall> out;
        for (const auto& c : fakes::CompressCalls()) {
            if (c.file == file) out.push_back(c);
        }
        return out;
    }
    static std::string Id(uint64_t id) { return std::to_string(id); }

    std::string dir_;
    std::vector<std::unique_ptr<Recorder>> recorders_;
    std::vector<std::unique_ptr<FileList>> lists_;
};

}  // namespace exectest
