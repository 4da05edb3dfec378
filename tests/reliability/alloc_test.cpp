// Allocation failure on every path that reports one. Each scenario runs once to count its
// failable allocations, then once per allocation with exactly that one failing. Every run must
// end in a clear outcome (the post refused, the failed dispatch logged, or a result), leak
// nothing (the wrapper's record of live blocks is empty after the trigger has stopped), and
// leave the library usable (the same request, with the same task id, then succeeds). Across
// the runs, every allocation-failure message of the scenario must have been seen.
// On the test fakes: the loop is pumped by the test, the compressor finishes at once, and the
// shell runs tar for real and nothing else.
#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "logCompress/LogCompTrigger.h"
#include "logCompress/LogCompTriggerInternal.h"
#include "logCompress/LogManager.h"
#include "logCompress/LogManagerInternal.h"
#include "tests/fakes/fakes.h"
#include "tests/reliability/rel_alloc_wrap.h"
#include "tests/reliability/rel_fs.h"

namespace rel {
namespace {

const std::string kLogDir = LOGCOMP_TEST_LOG_DIR;
const std::string kGuardDir = LOGCOMP_BINARY_DIR "/rel-alloc-guard";
const std::string kArchive = kLogDir + "/alloc.tar";

std::mutex gMu;
std::vector<int> gResults;
void OnResult(const LOG_COMP_TRIGGER_RES* res) {
    std::lock_guard<std::mutex> lock(gMu);
    gResults.push_back(res->result);
}
size_t ResultCount() {
    std::lock_guard<std::mutex> lock(gMu);
    return gResults.size();
}
int LastResult() {
    std::lock_guard<std::mutex> lock(gMu);
    return gResults.empty() ? -1 : gResults.back();
}

size_t MapSize() {
    return HASH_COUNT(sLogCompTriggerObj.pTaskMap);
}

LOG_COMP_TRIGGER_REQ MakeRequest(const std::string& id, int option, const char* begin,
                                 const char* end) {
    LOG_COMP_TRIGGER_REQ req{};
    snprintf(req.strTaskId, sizeof req.strTaskId, "%s", id.c_str());
    snprintf(req.outputPath, sizeof req.outputPath, "%s.gz", kArchive.c_str());
    snprintf(req.beginTime, sizeof req.beginTime, "%s", begin);
    snprintf(req.endTime, sizeof req.endTime, "%s", end);
    req.compressOption = option;
    req.cb = &OnResult;
    return req;
}

// The error lines logged since `from`.
std::set<std::string> ErrorsSince(size_t from) {
    std::set<std::string> texts;
    const auto lines = fakes::LogLines();
    for (size_t i = from; i < lines.size(); ++i) {
        if (lines[i].level == LEVEL_ERROR) texts.insert(lines[i].text);
    }
    return texts;
}

class Alloc : public ::testing::Test {
  protected:
    void SetUp() override {
        fakes::ResetAll();
        fakes::SetNow(fakes::MakeUtc(2026, 12, 3, 12));
        ASSERT_TRUE(EmptyDir(kLogDir));
        for (const char* day : {"2026-12-01", "2026-12-02", "2026-12-03"}) {
            for (const char* rule : {"%s.log", "%s-csms.log", "csms-broker-%s.log"}) {
                char name[64];
                snprintf(name, sizeof name, rule, day);
                ASSERT_TRUE(WriteFile(kLogDir + "/" + name, "line\n"));
            }
        }
        // tar really packs (the dispatch checks that the archive exists); rm and the restore
        // are left out, so that every run finds the same logs.
        fakes::ShellSetHook([](const std::string& cmd, std::string& out) {
            return cmd.find("tar -cvf") != std::string::npos ? fakes::ShellRunReal(cmd, out) : 0;
        });
    }
    void TearDown() override {
        fakes::ClearNow();
        fakes::ResetAll();
    }

    // One request: the first with the n-th allocation failing (or none with -1), then the same
    // one again with nothing failing. Returns the error lines of the first.
    std::set<std::string> Request(const LOG_COMP_TRIGGER_REQ& req, long failAt) {
        LOG_COMP_TRIGGER_CONFIG config{{2, 0, 0}, nullptr};
        alloc::StartTracking();
        EXPECT_EQ(LogCompTriggerInit(fakes::Loop(), &config), 0);
        const size_t logged = fakes::LogLines().size();
        const std::string failed = "[" + std::string(req.strTaskId) +
                                   "]LogCompTriggerEventProc failed, compressOption " +
                                   std::to_string(req.compressOption);
        alloc::Arm(failAt);
        Settle(req, failed);
        counted_ = alloc::Disarm();
        const auto errors = ErrorsSince(logged);
        unlink(kArchive.c_str());
        const size_t heard = ResultCount();
        Settle(req, failed);
        EXPECT_EQ(ResultCount(), heard + 1) << "the library is not usable after failure " << failAt;
        EXPECT_EQ(LastResult(), LOG_COMP_TRIGGER_RESULT_SUCCESS);
        unlink(kArchive.c_str());
        LogCompTriggerUninit();
        fakes::PumpLoop();
        EXPECT_EQ(alloc::Live(), 0u) << "leak after failure " << failAt;
        return errors;
    }

    // Posts and waits until the requester heard, or the dispatch failed, and the record is gone.
    void Settle(const LOG_COMP_TRIGGER_REQ& req, const std::string& failedLine) {
        const size_t heard = ResultCount();
        const int failed = fakes::LogCount(failedLine);
        if (LogCompTriggerPostTask(&req) != 0) return;
        EXPECT_TRUE(fakes::PumpUntil([&] {
            return (ResultCount() > heard || fakes::LogCount(failedLine) > failed) &&
                   MapSize() == 0;
        }));
    }

    // Runs the request once per failable allocation; returns every error line seen.
    std::set<std::string> EveryFailure(const LOG_COMP_TRIGGER_REQ& req) {
        Request(req, -1);
        const long total = counted_;
        EXPECT_GT(total, 0);
        std::set<std::string> seen;
        for (long n = 0; n < total && !HasFailure(); ++n) {
            const auto errors = Request(req, n);
            EXPECT_FALSE(errors.empty()) << "allocation " << n << " failed without a word";
            seen.insert(errors.begin(), errors.end());
        }
        printf("%s: %ld failable allocations, each failed once\n", req.strTaskId, total);
        return seen;
    }

    long counted_ = 0;
};

void ExpectSeen(const std::set<std::string>& seen, const std::vector<std::string>& wanted) {
    for (const auto& w : wanted) EXPECT_EQ(seen.count(w), 1u) << "never seen: " << w;
}

// The harness itself: a posted request's record and date list are seen while they live.
TEST_F(Alloc, TheRecordSeesTheLibrarysBlocks) {
    LOG_COMP_TRIGGER_CONFIG config{{2, 0, 0}, nullptr};
    alloc::StartTracking();
    ASSERT_EQ(LogCompTriggerInit(fakes::Loop(), &config), 0);
    const auto req =
        MakeRequest("seen", LOG_COMPRESS_OPTION_ONLY_COMPRESS, "2026-12-01", "2026-12-03");
    ASSERT_EQ(LogCompTriggerPostTask(&req), 0);
    EXPECT_GE(alloc::Live(), 6u);  // record, list, its array, three date strings
    EXPECT_TRUE(fakes::PumpUntil([] { return ResultCount() == 1 && MapSize() == 0; }));
    LogCompTriggerUninit();
    fakes::PumpLoop();
    EXPECT_EQ(alloc::Live(), 0u);
}

TEST_F(Alloc, PackageRequest) {
    const auto seen =
        EveryFailure(MakeRequest("pkg", LOG_COMPRESS_OPTION_FULL, "2026-12-01", "2026-12-03"));
    ExpectSeen(seen, {"LogCompTriggerPostTask malloc failed",
                      "LogCompTriggerPostTask GenerateDateRange failed",
                      "[pkg]EventLogPackageAndCompress failed, malloc taskMap failed",
                      "[pkg]EventLogPackageAndCompress failed, Init_LinkList failed",
                      "[pkg]LCTGetFileList failed, malloc pConfig failed, fileNameRule index = 0",
                      "[pkg]LCTGetFileList failed, malloc pConfig failed, fileNameRule index = 1",
                      "[pkg]LCTGetFileList failed, malloc pConfig failed, fileNameRule index = 3",
                      "LogCompPackageFiles: malloc pConfig failed",
                      "[pkg]LogCompTriggerEventProc failed, compressOption 1"});
}

// Forty days: the date list grows past its first 30 slots (a realloc).
TEST_F(Alloc, CompressOnlyRequestOverFortyDays) {
    const auto seen = EveryFailure(
        MakeRequest("only", LOG_COMPRESS_OPTION_ONLY_COMPRESS, "2026-10-25", "2026-12-03"));
    ExpectSeen(seen, {"LogCompTriggerPostTask malloc failed",
                      "LogCompTriggerPostTask GenerateDateRange failed",
                      "[only]EventLogCompress failed, Init_LinkList failed",
                      "[only]EventLogCompress failed, malloc taskMap failed",
                      "[only]LCTGetFileList failed, malloc pConfig failed, fileNameRule index = 0",
                      "[only]LogCompTriggerEventProc failed, compressOption 2"});
}

// The daily run: each failure is logged, a failed record is counted as the day's run (no
// retry that day), and a failed date list is retried on the next tick.
TEST_F(Alloc, DailyRun) {
    std::set<std::string> seen;
    long total = -1;
    for (long n = -1; n < total || total < 0; ++n) {
        LOG_COMP_TRIGGER_CONFIG config{{0, 0, 0}, nullptr};
        alloc::StartTracking();
        ASSERT_EQ(LogCompTriggerInit(fakes::Loop(), &config), 0);
        const size_t logged = fakes::LogLines().size();
        alloc::Arm(n);
        fakes::FireAllTimers();
        fakes::PumpUntil([] { return MapSize() == 0 && fakes::PendingTasks() == 0; });
        const long counted = alloc::Disarm();
        if (n < 0) total = counted;
        const auto errors = ErrorsSince(logged);
        EXPECT_EQ(errors.empty(), n < 0) << "allocation " << n;
        seen.insert(errors.begin(), errors.end());
        const size_t heard = ResultCount();
        const auto req =
            MakeRequest("after", LOG_COMPRESS_OPTION_ONLY_COMPRESS, "2026-12-03", "2026-12-03");
        ASSERT_EQ(LogCompTriggerPostTask(&req), 0);
        EXPECT_TRUE(fakes::PumpUntil([&] { return ResultCount() > heard && MapSize() == 0; }));
        EXPECT_EQ(LastResult(), LOG_COMP_TRIGGER_RESULT_SUCCESS)
            << "not usable after failure " << n;
        LogCompTriggerUninit();
        fakes::PumpLoop();
        EXPECT_EQ(alloc::Live(), 0u) << "leak after failure " << n;
        if (HasFailure()) break;
    }
    ExpectSeen(seen, {"PreHandleLogCompTrigger malloc failed",
                      "PreHandleLogCompTrigger CreateDateList failed",
                      "PreHandleLogCompTrigger AddDateToList failed"});
}

// The storage guard's search copies its result with strdup: without memory it finds nothing,
// deletes nothing, and the next check deletes as usual.
TEST_F(Alloc, StorageCheck) {
    ASSERT_TRUE(EmptyDir(kGuardDir));
    ASSERT_TRUE(WriteFile(kGuardDir + "/old.log", "x\n") &&
                WriteFile(kGuardDir + "/new.log", "y\n"));
    fakes::DeviceSetSdStatus(SD_STATUS_OK);
    fakes::DeviceSetUsage({1ull << 30, 1ull << 30, 0, 100.0});
    LOG_MANAGER_CONFIG config{};
    snprintf(config.logDir, sizeof config.logDir, "%s", kGuardDir.c_str());
    config.storageThreshold = 90;
    ASSERT_EQ(LogManagerInit(fakes::Loop(), &config), 0);
    alloc::StartTracking();
    alloc::Arm(0);
    LogManagerOnTimer(nullptr, &sLogManager);
    alloc::Disarm();
    EXPECT_TRUE(alloc::Fired());
    EXPECT_EQ(ListDir(kGuardDir).size(), 2u);
    EXPECT_EQ(alloc::Live(), 0u);
    LogManagerOnTimer(nullptr, &sLogManager);
    EXPECT_EQ(ListDir(kGuardDir).size(), 1u);
    LogManagerUninit();
    Shell("rm -rf '" + kGuardDir + "'");
}

}  // namespace
}  // namespace rel
