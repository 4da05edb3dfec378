// Shared by the trigger's unit tests: the test log directory emptied around every test, a
// recorder of what requesters hear, and a fixture that leaves the trigger and the executor
// stopped with every fake reset. "Today" is 2026-12-03, 12:00 UTC, on the fake clock.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "logCompress/LogCompExecInternal.h"
#include "logCompress/LogCompTriggerInternal.h"
#include "tests/support/fakes.h"

namespace trigtest {

const std::string kLogDir = LOGCOMP_TEST_LOG_DIR;
using Heard = std::tuple<std::string, int, std::string>;  // id, result, errMsg
constexpr int kOk = LOG_COMP_TRIGGER_RESULT_SUCCESS;
constexpr int kFailed = LOG_COMP_TRIGGER_RESULT_FAILED;
constexpr int kReject = LOG_COMP_TRIGGER_RESULT_REJECT;

class TriggerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Reset();
        fakes::SetNow(fakes::MakeUtc(2026, 12, 3, 12));
    }
    void TearDown() override {
        if (sLogCompTriggerObj.inited.load() != 0) LogCompTriggerUninit();
        fakes::PumpLoop();
        if (sLogCompExecObj.inited.load() != 0) LogCompExecUninit();
        fakes::PumpLoop();
        LCTHashDelAll(&sLogCompTriggerObj);
        sLogCompTriggerObj.releasePending.store(false);
        Reset();
        unsetenv("TZ");
        tzset();
    }
    static void Reset() {
        fakes::ResetAll();
        std::lock_guard<std::mutex> lock(mu_);
        heard_.clear();
        hook_ = nullptr;
        EmptyLogDir();
    }
    static void EmptyLogDir() {
        ASSERT_EQ(Sh("mkdir -p '" + kLogDir + "' && find '" + kLogDir + "' -mindepth 1 -delete"),
                  0);
    }
    void Start(LOG_COMPRESS_ALLOWED_CALLBACK allowed = nullptr, int hour = 2, int minute = 0) {
        config_ = {{hour, minute, 0}, allowed};
        ASSERT_EQ(LogCompTriggerInit(fakes::Loop(), &config_), 0);
        fakes::PumpLoop();  // the recovery queued by the init
    }

    // ---- requests and what their requesters hear
    static LOG_COMP_TRIGGER_REQ Req(const std::string& id, int option,
                                    const std::string& begin = "2026-12-03",
                                    const std::string& end = "2026-12-03",
                                    const std::string& output = "") {
        LOG_COMP_TRIGGER_REQ req{};
        snprintf(req.strTaskId, sizeof req.strTaskId, "%s", id.c_str());
        snprintf(req.outputPath, sizeof req.outputPath, "%s", output.c_str());
        snprintf(req.beginTime, sizeof req.beginTime, "%s", begin.c_str());
        snprintf(req.endTime, sizeof req.endTime, "%s", end.c_str());
        req.compressOption = option;
        req.cb = &OnResult;
        return req;
    }
    static int Post(const LOG_COMP_TRIGGER_REQ& req) {
        const int ret = LogCompTriggerPostTask(&req);
        fakes::PumpLoop();
        return ret;
    }
    static void OnResult(const LOG_COMP_TRIGGER_RES* res) {
        std::unique_lock<std::mutex> lock(mu_);
        heard_.emplace_back(res->strTaskId, res->result, res->errMsg);
        const auto hook = hook_;
        lock.unlock();
        if (hook) hook(res);
        fakes::NotifyAll();
    }
    static std::vector<Heard> HeardSoFar() {
        std::lock_guard<std::mutex> lock(mu_);
        return heard_;
    }
    // Pumps until `n` results arrived and every task was released.
    static bool WaitHeard(size_t n) {
        return fakes::PumpUntil([n] { return HeardSoFar().size() >= n && MapSize() == 0; });
    }
    static size_t MapSize() { return HASH_COUNT(sLogCompTriggerObj.pTaskMap); }

    // ---- the log directory
    static std::string LogPath(const std::string& name) { return kLogDir + "/" + name; }
    static bool Touch(const std::string& name, const std::string& text = "x\n") {
        FILE* f = fopen(LogPath(name).c_str(), "w");
        return f != nullptr && fputs(text.c_str(), f) >= 0 && fclose(f) == 0;
    }
    static std::string Read(const std::string& name) {
        std::string text;
        return Sh("cat '" + LogPath(name) + "'", &text) == 0 ? text : "<none>";
    }
    static int Sh(const std::string& cmd, std::string* out = nullptr) {
        std::string text;
        return fakes::ShellRunReal(cmd, out ? *out : text);
    }
    // Names in a directory (the library's record directory left out), sorted.
    static std::vector<std::string> List(const std::string& dir = kLogDir) {
        std::vector<std::string> names;
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* e = readdir(d)) {
                const std::string n = e->d_name;
                if (n != "." && n != ".." && n != LOG_COMP_RECORD_DIR_NAME) names.push_back(n);
            }
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    static std::vector<std::string> Records() { return List(LCT_RECORD_DIR); }

    static inline std::mutex mu_;
    static inline std::vector<Heard> heard_;
    static inline std::function<void(const LOG_COMP_TRIGGER_RES*)> hook_;
    LOG_COMP_TRIGGER_CONFIG config_{};
};

}  // namespace trigtest
