// Shared by the trigger's unit tests: the test log directory emptied around every test, a
// recorder of requester results, request builders, and a fixture that leaves the trigger
// and the executor stopped with every fake reset.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logCompress/LogCompExec.h"
#include "logCompress/LogCompExecInternal.h"
#include "logCompress/LogCompTrigger.h"
#include "logCompress/LogCompTriggerInternal.h"
#include "tests/fakes/fakes.h"

namespace trigtest {

inline const std::string kLogDir = LOGCOMP_TEST_LOG_DIR;
// The fake clock's "now" in most tests: today is 2026-12-03 by UTC.
inline const char* const kToday = "2026-12-03";

inline std::string LogPath(const std::string& name) {
    return kLogDir + "/" + name;
}
inline bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}
inline bool Touch(const std::string& name, const std::string& text = "x\n") {
    const int fd = open(LogPath(name).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (fd < 0) return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && ok;
}
// Names in a directory but the library's record directory, sorted.
inline std::vector<std::string> ListDir(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* e = readdir(dir)) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0 &&
                strcmp(e->d_name, LOG_COMP_RECORD_DIR_NAME) != 0) {
                names.push_back(e->d_name);
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}
inline std::vector<std::string> ListLogDir() {
    return ListDir(kLogDir);
}
inline void EmptyLogDir() {
    std::string cmd = "mkdir -p '" + kLogDir + "' && find '" + kLogDir +
                      "' -mindepth 1 -maxdepth 1 -exec rm -rf {} +";
    ASSERT_EQ(system(cmd.c_str()), 0);
}

struct Result {
    std::string id;
    std::string errMsg;
    int result;
    int progress;
    int mode;
    bool onLoopThread;
};

// Requester results: the callback has no user pointer, so the record is global.
class Results {
  public:
    static void Callback(const LOG_COMP_TRIGGER_RES* res) {
        {
            std::lock_guard<std::mutex> lock(Mu());
            All_().push_back({res->strTaskId, res->errMsg, res->result, res->progress, res->mode,
                              fakes::OnLoopThread()});
        }
        if (Hook()) Hook()(res);
        fakes::NotifyAll();
    }
    static std::vector<Result> All() {
        std::lock_guard<std::mutex> lock(Mu());
        return All_();
    }
    static size_t Count() { return All().size(); }
    static void Reset() {
        std::lock_guard<std::mutex> lock(Mu());
        All_().clear();
        Hook() = nullptr;
    }
    // Runs after recording, on the callback's thread; set before the tasks run.
    static std::function<void(const LOG_COMP_TRIGGER_RES*)>& Hook() {
        static std::function<void(const LOG_COMP_TRIGGER_RES*)> hook;
        return hook;
    }

  private:
    static std::mutex& Mu() {
        static std::mutex mu;
        return mu;
    }
    static std::vector<Result>& All_() {
        static std::vector<Result> all;
        return all;
    }
};

inline LOG_COMP_TRIGGER_REQ MakeReq(const std::string& id, int option,
                                    const std::string& begin = kToday,
                                    const std::string& end = kToday, const std::string& output = "",
                                    LOG_COMPRESS_RES_CALLBACK cb = &Results::Callback) {
    LOG_COMP_TRIGGER_REQ req{};
    snprintf(req.strTaskId, sizeof req.strTaskId, "%s", id.c_str());
    snprintf(req.outputPath, sizeof req.outputPath, "%s", output.c_str());
    snprintf(req.beginTime, sizeof req.beginTime, "%s", begin.c_str());
    snprintf(req.endTime, sizeof req.endTime, "%s", end.c_str());
    req.compressOption = option;
    req.cb = cb;
    return req;
}

// A task record as the intake builds it, owned by the test until handed on.
inline LOG_COMP_TRIGGER_TASK* NewTask(const std::string& id, int option,
                                      const std::vector<std::string>& dates,
                                      const std::string& output = "") {
    auto* task = static_cast<LOG_COMP_TRIGGER_TASK*>(calloc(1, sizeof(LOG_COMP_TRIGGER_TASK)));
    snprintf(task->strTaskId, sizeof task->strTaskId, "%s", id.c_str());
    snprintf(task->outputPath, sizeof task->outputPath, "%s", output.c_str());
    task->compressOption = option;
    task->taskCallback = &Results::Callback;
    task->pDateList = CreateDateList(0);
    for (const auto& d : dates) AddDateToList(task->pDateList, d.c_str());
    return task;
}
inline void FreeTask(LOG_COMP_TRIGGER_TASK* task) {
    FreeDateList(task->pDateList);
    free(task);
}

// The `file` of every order of a list, in order.
inline std::vector<std::string> Files(LinkList list) {
    std::vector<std::string> files;
    for (int i = 0; auto* p = static_cast<FILE_COMPRESS_CONFIG*>(Get_LinkList(list, i)); i++) {
        files.push_back(p->file);
    }
    return files;
}

inline size_t MapSize() {
    return HASH_COUNT(sLogCompTriggerObj.pTaskMap);
}
inline LOG_COMP_TRIGGER_TASK_MAP* MapFind(const std::string& id) {
    LOG_COMP_TRIGGER_TASK_MAP* entry = nullptr;
    HASH_FIND_STR(sLogCompTriggerObj.pTaskMap, id.c_str(), entry);
    return entry;
}

class TriggerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fakes::ResetAll();
        Results::Reset();
        EmptyLogDir();
        fakes::SetNow(fakes::MakeUtc(2026, 12, 3, 12, 0, 0));
    }
    void TearDown() override {
        if (sLogCompTriggerObj.inited.load() != 0) LogCompTriggerUninit();
        fakes::PumpLoop();
        if (sLogCompExecObj.inited.load() != 0) LogCompExecUninit();
        fakes::PumpLoop();
        LCTHashDelAll(&sLogCompTriggerObj);
        sLogCompTriggerObj.releasePending.store(false);
        fakes::ResetAll();
        Results::Reset();
        EmptyLogDir();
    }
    void Start(LOG_COMPRESS_ALLOWED_CALLBACK allowed = nullptr, int hour = 2, int minute = 0,
               int second = 0) {
        config_ = {{hour, minute, second}, allowed};
        const int started = fakes::LogCount("LogCompExecTaskThread start...");
        ASSERT_EQ(LogCompTriggerInit(fakes::Loop(), &config_), 0);
        // The worker announces itself on its own thread; let that line land before a test
        // clears the log and counts its own messages.
        ASSERT_TRUE(fakes::LogWaitFor("LogCompExecTaskThread start...", started + 1));
    }
    // Posts and runs the dispatch on the pumped loop.
    int Post(const LOG_COMP_TRIGGER_REQ& req) {
        const int ret = LogCompTriggerPostTask(&req);
        fakes::PumpLoop();
        return ret;
    }
    // Pumps until `n` results arrived and every release ran.
    bool WaitResults(size_t n) {
        return fakes::PumpUntil([n] { return Results::Count() >= n; }) &&
               fakes::PumpUntil([] { return MapSize() == 0; });
    }
    static int Errors(const std::string& text) { return fakes::LogCount(LEVEL_ERROR, text); }

    LOG_COMP_TRIGGER_CONFIG config_{};
};

}  // namespace trigtest
