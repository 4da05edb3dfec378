// Start and stop, every refusal of the intake, the dispatcher's options, and shutdown with
// tasks waiting and running.
#include "tests/unit/trigger_fixture.h"

namespace trigtest {
namespace {

bool gAllowed = true;
bool Allowed() {
    return gAllowed;
}
int FailCreate(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) {
    return -1;
}

class TriggerIntake : public TriggerTest {
  protected:
    void SetUp() override {
        TriggerTest::SetUp();
        gAllowed = true;
    }
    void TearDown() override {
        LogCompExecSetThreadCreateHook(nullptr);
        TriggerTest::TearDown();
    }
};

TEST_F(TriggerIntake, InitStartsEverythingOnceAndRefusesBadArguments) {
    LOG_COMP_TRIGGER_CONFIG config{{2, 0, 0}, nullptr};
    EXPECT_EQ(LogCompTriggerInit(nullptr, &config), -1);
    EXPECT_EQ(LogCompTriggerInit(fakes::Loop(), nullptr), -1);
    EXPECT_EQ(Errors("LogCompTriggerInit failed, loop is NULL or pConfig is NULL"), 2);
    fakes::SetTimerInitFails(true);
    EXPECT_EQ(LogCompTriggerInit(fakes::Loop(), &config), -1);
    EXPECT_EQ(Errors("LogCompTriggerInit failed, UvTimerInit failed"), 1);
    fakes::SetTimerInitFails(false);
    LogCompExecSetThreadCreateHook(&FailCreate);
    EXPECT_EQ(LogCompTriggerInit(fakes::Loop(), &config), -1);
    EXPECT_EQ(Errors("LogCompTriggerInit failed, LogCompExecInit failed"), 1);
    EXPECT_TRUE(fakes::ActiveTimers().empty());  // released again
    EXPECT_EQ(sLogCompTriggerObj.inited.load(), 0);
    LogCompExecSetThreadCreateHook(nullptr);

    Start(nullptr, 1, 2, 3);
    ASSERT_EQ(fakes::ActiveTimers().size(), 1u);
    const fakes::TimerInfo timer = fakes::GetTimer(fakes::ActiveTimers()[0]);
    EXPECT_EQ(timer.periodMs, 600000u);
    EXPECT_TRUE(timer.repeat && timer.started);
    EXPECT_EQ(timer.ptr, &sLogCompTriggerObj);
    EXPECT_EQ(fakes::LogCount(LEVEL_INFO, "LogCompTrigger Init success, triggerTime 01:02:03"), 1);
    config = {{5, 0, 0}, &Allowed};
    EXPECT_EQ(LogCompTriggerInit(fakes::Loop(), &config), 0);
    EXPECT_EQ(fakes::LogCount(LEVEL_WARN, "LogCompTriggerInit already inited!"), 1);
    EXPECT_EQ(sLogCompTriggerObj.config.triggerTime.hour, 1);
    EXPECT_EQ(fakes::ActiveTimers().size(), 1u);
}

TEST_F(TriggerIntake, RefusalsLeaveNothingBehind) {
    LOG_COMP_TRIGGER_REQ req = MakeReq("r", LOG_COMPRESS_OPTION_ONLY_COMPRESS);
    LogCompTriggerUninit();
    EXPECT_EQ(fakes::LogCount(LEVEL_WARN, "LogCompTriggerUninit not inited!"), 1);
    EXPECT_EQ(LogCompTriggerPostTask(&req), -1);
    EXPECT_EQ(fakes::LogCount(LEVEL_WARN, "LogCompTriggerPostTask not inited!"), 1);

    Start(&Allowed);
    EXPECT_EQ(LogCompTriggerPostTask(nullptr), -1);
    EXPECT_EQ(Errors("LogCompTriggerPostTask failed, req is NULL"), 1);
    gAllowed = false;
    for (int option : {0, 1, 2, 3, 4}) {
        req.compressOption = option;
        EXPECT_EQ(LogCompTriggerPostTask(&req), -1) << option;
    }
    EXPECT_EQ(fakes::LogCount(LEVEL_INFO, "LogCompTriggerPostTask: compress is not allowed"), 5);
    gAllowed = true;
    req.compressOption = LOG_COMPRESS_OPTION_ONLY_COMPRESS;
    for (const char* bad : {"", "2024-13-45", "1899-01-01", "tomorrow"}) {
        LOG_COMP_TRIGGER_REQ badReq = MakeReq("r", LOG_COMPRESS_OPTION_FULL, "2024-01-01", bad);
        EXPECT_EQ(LogCompTriggerPostTask(&badReq), -1) << bad;
    }
    EXPECT_EQ(Errors("LogCompTriggerPostTask GenerateDateRange failed"), 4);
    EXPECT_EQ(fakes::RunInLoopCalls(), 1u);  // only the recovery queued by the init

    // A stop needs no dates; an unknown id fails in the dispatch.
    LOG_COMP_TRIGGER_REQ stop = MakeReq("nobody", LOG_COMPRESS_OPTION_STOP, "junk", "junk");
    EXPECT_EQ(Post(stop), 0);
    EXPECT_EQ(fakes::LogCount(LEVEL_INFO, "[nobody]LogCompress Event Stop"), 1);
    EXPECT_EQ(Errors("[nobody]LogCompTriggerEventProc failed, compressOption 0"), 1);
    // Dates without log files: accepted, then only logged.
    EXPECT_EQ(Post(req), 0);
    EXPECT_EQ(Errors("[r]EventLogCompress failed, no file to compress"), 1);
    EXPECT_EQ(Errors("[r]LogCompTriggerEventProc failed, compressOption 2"), 1);
    EXPECT_EQ(Results::Count(), 0u);
    EXPECT_EQ(MapSize(), 0u);
}

TEST_F(TriggerIntake, TextsWithoutTerminatorAreCutAtTheirArrayEnd) {
    Start();
    ASSERT_TRUE(Touch("2026-12-03.log"));
    LOG_COMP_TRIGGER_REQ req = MakeReq("", LOG_COMPRESS_OPTION_ONLY_COMPRESS);
    memset(req.strTaskId, 'a', sizeof req.strTaskId);
    memset(req.beginTime, ' ', sizeof req.beginTime);  // no date in 63 characters
    EXPECT_EQ(LogCompTriggerPostTask(&req), -1);
    memcpy(req.beginTime, kToday, strlen(kToday));
    memset(req.beginTime + strlen(kToday), 'x', sizeof req.beginTime - strlen(kToday));
    EXPECT_EQ(LogCompTriggerPostTask(&req), -1);  // "2026-12-03xxx..." is no date
    snprintf(req.beginTime, sizeof req.beginTime, "%s", kToday);
    EXPECT_EQ(Post(req), 0);
    const std::string id(127, 'a');
    ASSERT_TRUE(WaitResults(1));
    EXPECT_EQ(Results::All()[0].id, id);
    EXPECT_EQ(Results::All()[0].result, LOG_COMP_TRIGGER_RESULT_SUCCESS);
}

TEST_F(TriggerIntake, OptionsBeyondThePublicOnes) {
    Start();
    ASSERT_TRUE(Touch("2026-12-02.log"));
    for (int option : {3, 99, -1}) {
        EXPECT_EQ(Post(MakeReq("odd", option, "2026-12-02", "2026-12-02")), 0);
        const std::string line =
            "[odd]LogCompTriggerEventProc unknown compressOption " + std::to_string(option);
        EXPECT_EQ(fakes::LogCount(LEVEL_WARN, line), 1);
    }
    EXPECT_EQ(fakes::LogCountContaining("LogCompTriggerEventProc failed"), 0);
    // Option 4 runs like a daily run of its dates: its requester hears nothing.
    EXPECT_EQ(Post(MakeReq("t4", LOG_COMPRESS_OPTION_TIMER, "2026-12-02", "2026-12-02")), 0);
    EXPECT_EQ(fakes::LogCount(LEVEL_INFO, "[t4]LogCompress Event Timer"), 1);
    ASSERT_TRUE(fakes::PumpUntil([] {
        return fakes::LogCount("[t4]TimerLogCompCallback: taskId 0 compress 1 files success");
    }));
    ASSERT_TRUE(fakes::PumpUntil([] { return MapSize() == 0; }));
    EXPECT_EQ(Results::Count(), 0u);
    EXPECT_EQ(fakes::CompressStarts(LogPath("2026-12-02.log")), 1);
}

TEST_F(TriggerIntake, UninitCancelsWaitingAndRunningTasksOnce) {
    fakes::Gate gate;
    fakes::CompressSetRunHook([&](const std::string&, int, uint32_t) {
        gate.Wait();
        return FILE_COMPRESS_STATUS_FINISHED;
    });
    Start();
    ASSERT_TRUE(Touch("2026-12-01.log"));
    ASSERT_TRUE(Touch("2026-12-02.log"));
    EXPECT_EQ(Post(MakeReq("run", 2, "2026-12-01", "2026-12-02")), 0);
    ASSERT_TRUE(fakes::WaitUntil([] { return fakes::CompressCalls().size() >= 1; }));
    EXPECT_EQ(Post(MakeReq("wait1", 2, "2026-12-01", "2026-12-01")), 0);
    EXPECT_EQ(Post(MakeReq("wait2", 2, "2026-12-02", "2026-12-02")), 0);
    EXPECT_EQ(MapSize(), 3u);

    LogCompTriggerUninit();
    EXPECT_EQ(LogCompTriggerPostTask(nullptr), -1);
    EXPECT_EQ(fakes::LogCount(LEVEL_INFO, "LogCompTrigger Uninit success"), 1);
    EXPECT_EQ(fakes::TimersReleased(), 1);
    // An init before the loop ran the release is refused, whatever it would find.
    EXPECT_EQ(LogCompTriggerInit(fakes::Loop(), &config_), -1);
    EXPECT_EQ(Errors("LogCompTriggerInit failed, release of the previous run is still pending"), 1);
    EXPECT_EQ(sLogCompExecObj.inited.load(), 1);

    // The slice of the running task ends only once the release has cancelled the two waiting
    // ones; opened earlier, the worker could finish it and run them before their turn came.
    std::thread opener([&] {
        fakes::WaitUntil([] {
            return fakes::LogCountContaining("will interrupt it") > 0 && Results::Count() >= 2;
        });
        gate.Open();
    });
    // The release (cancels, joins the worker, stops the executor), then the three records'.
    EXPECT_EQ(fakes::PumpLoop(), 4u);
    opener.join();
    EXPECT_EQ(sLogCompExecObj.inited.load(), 0);
    EXPECT_EQ(sLogCompTriggerObj.pTaskMap, nullptr);
    ASSERT_EQ(Results::Count(), 3u);
    for (const Result& r : Results::All()) {
        EXPECT_EQ(r.result, LOG_COMP_TRIGGER_RESULT_REJECT) << r.id;
        EXPECT_EQ(r.errMsg, "log compress cancelled");
    }

    Start();
    EXPECT_EQ(sLogCompExecObj.inited.load(), 1);
    EXPECT_EQ(Post(MakeReq("again", 2, "2026-12-01", "2026-12-01")), 0);
    EXPECT_EQ(
        fakes::LogCount("[again]EventLogCompress add compress task, taskId = 0, fileCount = 1"), 1);
    gate.Open();
    ASSERT_TRUE(WaitResults(4));
}

}  // namespace
}  // namespace trigtest
