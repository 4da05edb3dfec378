// Shared by the trigger's end-to-end tests: a real libuv loop on its own thread, the
// reference host (real tar, real gzip compressor, real log sink), the test log directory
// filled with generated station logs, and requester results waited for with a deadline.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "event/ev_host.h"
#include "event/ev_loop.h"
#include "logCompress/LogCompExec.h"
#include "logCompress/LogCompPaths.h"
#include "logCompress/LogCompTrigger.h"
#include "logCompress/LogCompTriggerInternal.h"
#include "tools/loggen/station_log_gen.h"
#include "logsys/log_sys_host.h"

namespace trige2e {

using namespace std::chrono_literals;
constexpr auto kDeadline = 60s;
inline const std::string kLogDir = LOGCOMP_TEST_LOG_DIR;
inline std::string LogPath(const std::string& name) {
    return kLogDir + "/" + name;
}
inline bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// Waits for a condition others signal through Notify().
class Signal {
  public:
    template <class Pred>
    bool Wait(Pred pred) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, kDeadline, pred);
    }
    void Notify(const std::function<void()>& change) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            change();
        }
        cv_.notify_all();
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
};

struct Result {
    std::string id;
    int result;
    std::string errMsg;
};
inline Signal gSignal;
inline std::vector<Result> gResults;  // guarded by gSignal

inline void OnResult(const LOG_COMP_TRIGGER_RES* res) {
    Result r{res->strTaskId, res->result, res->errMsg};
    gSignal.Notify([&] { gResults.push_back(r); });
}

// Every entry under `dir` (relative path): a regular file with its bytes, a directory as
// "name/" followed by its entries, a link as "-> target", anything else as its type.
inline void Snapshot(const std::string& dir, const std::string& prefix,
                     std::map<std::string, std::string>& out) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        // The library's records of tasks in flight are not logs; tests that care look inside.
        if (name == "." || name == ".." || name == LOG_COMP_RECORD_DIR_NAME) continue;
        const std::string path = dir + "/" + name;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            out[prefix + name + "/"] = "";
            Snapshot(path, prefix + name + "/", out);
            continue;
        }
        std::string bytes = S_ISLNK(st.st_mode) ? "-> " : S_ISREG(st.st_mode) ? "" : "special";
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = readlink(path.c_str(), target, sizeof target);
            bytes.append(target, n > 0 ? static_cast<size_t>(n) : 0);
        } else if (FILE* f = S_ISREG(st.st_mode) ? fopen(path.c_str(), "rb") : nullptr) {
            char buf[65536];
            size_t n;
            while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
            fclose(f);
        }
        out[prefix + name] = std::move(bytes);
    }
    closedir(d);
}
inline std::map<std::string, std::string> Snapshot(const std::string& dir) {
    std::map<std::string, std::string> out;
    Snapshot(dir, "", out);
    return out;
}
inline std::set<std::string> Names(const std::map<std::string, std::string>& snap) {
    std::set<std::string> names;
    for (const auto& [name, bytes] : snap) names.insert(name);
    return names;
}

// Runs a shell line and returns its output; `ok` tells whether it exited 0.
inline std::string Shell(const std::string& cmd, bool* ok = nullptr) {
    std::string out;
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int status = pclose(p);
    if (ok != nullptr) *ok = status == 0;
    return out;
}

inline LOG_COMP_TRIGGER_REQ MakeReq(const std::string& id, int option, const std::string& begin,
                                    const std::string& end, const std::string& output = "") {
    LOG_COMP_TRIGGER_REQ req{};
    snprintf(req.strTaskId, sizeof req.strTaskId, "%s", id.c_str());
    snprintf(req.outputPath, sizeof req.outputPath, "%s", output.c_str());
    snprintf(req.beginTime, sizeof req.beginTime, "%s", begin.c_str());
    snprintf(req.endTime, sizeof req.endTime, "%s", end.c_str());
    req.compressOption = option;
    req.cb = &OnResult;
    return req;
}

class TriggerE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        LogSysSetStderr(false);
        LogSysSetFile(LOGCOMP_BINARY_DIR "/trigger_e2e.log");
        gSignal.Notify([] { gResults.clear(); });
        ASSERT_EQ(system(("mkdir -p '" + kLogDir + "' && find '" + kLogDir +
                          "' -mindepth 1 -maxdepth 1 -exec rm -rf {} +")
                             .c_str()),
                  0);
        loop_ = EvLoopCreate();
        ASSERT_NE(loop_, nullptr);
        ASSERT_EQ(EvLoopStartThread(loop_), 0);
        LOG_COMP_TRIGGER_CONFIG config{{2, 0, 0}, nullptr};
        ASSERT_EQ(LogCompTriggerInit(loop_, &config), 0);
    }
    void TearDown() override {
        LogCompTriggerUninit();
        EXPECT_TRUE(RunOnLoop([] {}));  // the release queued by the uninit has run
        EvLoopStopAndJoin(loop_);
        EvLoopDestroy(loop_);
        LogSysSetFile(nullptr);
    }
    // Runs fn on the loop thread and waits for it: everything posted before has run too.
    bool RunOnLoop(std::function<void()> fn) {
        struct Call {
            std::function<void()> fn;
            bool done = false;
        };
        auto* call = new Call{std::move(fn)};
        EV_TASK_T task{};
        task.task = [](void* p) {
            auto* c = static_cast<Call*>(p);
            c->fn();
            gSignal.Notify([c] { c->done = true; });
        };
        task.pUser = call;
        EvRunInLoop(loop_, task);
        const bool ok = gSignal.Wait([call] { return call->done; });
        if (ok) delete call;
        return ok;
    }
    static bool WaitResults(size_t n) {
        return gSignal.Wait([n] { return gResults.size() >= n; });
    }
    static std::vector<Result> Results() {
        std::vector<Result> copy;
        gSignal.Notify([&] { copy = gResults; });
        return copy;
    }
    size_t MapSize() {
        size_t n = 0;
        RunOnLoop([&] { n = HASH_COUNT(sLogCompTriggerObj.pTaskMap); });
        return n;
    }

    // The release follows the requester's result: wait for it with a deadline.
    bool WaitMapEmpty() {
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        while (MapSize() != 0) {
            if (std::chrono::steady_clock::now() > deadline) return false;
        }
        return true;
    }

    EvLoop* loop_ = nullptr;
};

}  // namespace trige2e
