// Stop requests against waiting and running tasks, a result callback that posts from inside
// a stop, and a second request under a registered id.
#include "tests/unit/trigger_fixture.h"

namespace trigtest {
namespace {

class TriggerStop : public TriggerTest {
  protected:
    void SetUp() override {
        TriggerTest::SetUp();
        // Every compression holds the worker until the test opens the gate.
        fakes::CompressSetRunHook([this](const std::string&, int slice, uint32_t) {
            gate_.Wait();
            return slice == 0 ? FILE_COMPRESS_STATUS_ONGOING : FILE_COMPRESS_STATUS_FINISHED;
        });
        Start();
        for (const char* name : {"2026-12-01.log", "2026-12-02.log", "2026-12-02-csms.log"}) {
            ASSERT_TRUE(Touch(name));
        }
        ASSERT_EQ(Post(MakeReq("busy", 2, "2026-12-01", "2026-12-01")), 0);
        ASSERT_TRUE(fakes::WaitUntil([] { return !fakes::CompressCalls().empty(); }));
    }
    void TearDown() override {
        gate_.Open();
        TriggerTest::TearDown();
    }
    // Runs a stop dispatch on this thread, as the loop would.
    static void DispatchStop(const std::string& id) {
        auto* stop = static_cast<LOG_COMP_TRIGGER_TASK*>(calloc(1, sizeof(LOG_COMP_TRIGGER_TASK)));
        snprintf(stop->strTaskId, sizeof stop->strTaskId, "%s", id.c_str());
        stop->compressOption = LOG_COMPRESS_OPTION_STOP;
        LogCompTriggerEventProc(stop);
    }
    fakes::Gate gate_;
};

TEST_F(TriggerStop, WaitingTaskIsCancelledInsideTheStopAndItsIdFreedAfterRelease) {
    ASSERT_EQ(Post(MakeReq("queued", 2, "2026-12-02", "2026-12-02")), 0);
    const size_t posts = fakes::RunInLoopCalls();
    DispatchStop("queued");
    ASSERT_EQ(Results::Count(), 1u);  // before the stop's dispatch returned
    const Result r = Results::All()[0];
    EXPECT_EQ(r.id, "queued");
    EXPECT_EQ(r.result, LOG_COMP_TRIGGER_RESULT_REJECT);
    EXPECT_EQ(r.errMsg, "log compress cancelled");
    EXPECT_EQ(fakes::LogCount(LEVEL_ERROR,
                              "[queued]TaskLogCompCallback: taskId 1 compress cancelled, ret = 3"),
              1);
    EXPECT_EQ(fakes::LogCountContaining("LogCompTriggerEventProc failed"), 0);
    // The release waits for the loop; until then the id is still taken.
    EXPECT_EQ(fakes::RunInLoopCalls(), posts + 1);
    EXPECT_NE(MapFind("queued"), nullptr);
    EXPECT_EQ(Post(MakeReq("queued", 2, "2026-12-02", "2026-12-02")), 0);
    EXPECT_EQ(Errors("[queued]EventLogCompress failed, HashSafeAdd failed"), 0);
    EXPECT_NE(MapFind("queued"), nullptr);  // released, then registered again
    EXPECT_EQ(MapFind("queued")->taskId, 2u);
    EXPECT_EQ(fakes::CompressStarts(LogPath("2026-12-02.log")), 0);
}

TEST_F(TriggerStop, RunningTaskIsInterruptedByTheWorker) {
    EXPECT_EQ(Post(MakeReq("busy", LOG_COMPRESS_OPTION_STOP)), 0);
    EXPECT_EQ(fakes::LogCount("LogCompExec Delete Task: taskId 0 is running, will interrupt it"),
              1);
    EXPECT_EQ(Results::Count(), 0u);
    gate_.Open();
    ASSERT_TRUE(WaitResults(1));
    const Result r = Results::All()[0];
    EXPECT_EQ(r.result, LOG_COMP_TRIGGER_RESULT_REJECT);
    EXPECT_FALSE(r.onLoopThread);
}

TEST_F(TriggerStop, ResultCallbackMayPostFromInsideAStop) {
    ASSERT_EQ(Post(MakeReq("queued", 2, "2026-12-02", "2026-12-02")), 0);
    LOG_COMP_TRIGGER_REQ next = MakeReq("next", 2, "2026-12-02", "2026-12-02");
    std::atomic<int> posted{-2};
    Results::Hook() = [&](const LOG_COMP_TRIGGER_RES* res) {
        if (std::string(res->strTaskId) == "queued") posted = LogCompTriggerPostTask(&next);
    };
    DispatchStop("queued");
    EXPECT_EQ(posted.load(), 0);
    EXPECT_EQ(fakes::LogCount("[next]LogCompress Event Only Compress"), 0);  // not yet
    fakes::PumpLoop();
    EXPECT_EQ(fakes::LogCount("[next]LogCompress Event Only Compress"), 1);
    EXPECT_NE(MapFind("next"), nullptr);
    gate_.Open();
    ASSERT_TRUE(WaitResults(3));
}

TEST_F(TriggerStop, SecondRequestUnderARegisteredIdIsRefused) {
    EXPECT_EQ(Post(MakeReq("busy", 2, "2026-12-02", "2026-12-02")), 0);
    EXPECT_EQ(Errors("[busy]EventLogCompress failed, HashSafeAdd failed"), 1);
    EXPECT_EQ(Errors("[busy]LogCompTriggerEventProc failed, compressOption 2"), 1);
    EXPECT_EQ(Post(MakeReq("busy", 1, "2026-12-02", "2026-12-02", LogPath("b.tar.gz"))), 0);
    EXPECT_EQ(Errors("[busy]EventLogPackageAndCompress failed, HashSafeAdd failed"), 1);
    EXPECT_TRUE(fakes::ShellCalls().empty());
    EXPECT_EQ(MapFind("busy")->taskId, 0u);
    gate_.Open();
    ASSERT_TRUE(WaitResults(1));
    EXPECT_EQ(Results::All()[0].result, LOG_COMP_TRIGGER_RESULT_SUCCESS);
    EXPECT_TRUE(Exists(LogPath("2026-12-02.log")));
}

}  // namespace
}  // namespace trigtest
