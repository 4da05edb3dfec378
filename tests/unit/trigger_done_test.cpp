// The two completion callbacks called as the executor would: the result of each status, the
// restore of a packaged task before its requester hears of the failure, and the release
// that always goes through the loop.
#include "tests/unit/trigger_fixture.h"

namespace trigtest {
namespace {

LinkList OneOrder(const std::string& file) {
    auto* cfg = static_cast<FILE_COMPRESS_CONFIG*>(calloc(1, sizeof(FILE_COMPRESS_CONFIG)));
    snprintf(cfg->file, sizeof cfg->file, "%s", file.c_str());
    LinkList list = Init_LinkList();
    PushBack_LinkList(list, cfg);
    return list;
}

// A record as it rides with an executor task: registered, date list already released.
LOG_COMP_TRIGGER_TASK* Registered(const std::string& id, int option) {
    LOG_COMP_TRIGGER_TASK* task = NewTask(id, option, {});
    FreeDateList(task->pDateList);
    task->pDateList = nullptr;
    auto* e = static_cast<LOG_COMP_TRIGGER_TASK_MAP*>(calloc(1, sizeof(LOG_COMP_TRIGGER_TASK_MAP)));
    snprintf(e->strTaskId, sizeof e->strTaskId, "%s", id.c_str());
    EXPECT_TRUE(LCTHashSafeAdd(&sLogCompTriggerObj, e));
    return task;
}

class TriggerDone : public TriggerTest {
  protected:
    void SetUp() override {
        TriggerTest::SetUp();
        Start();
        fakes::PumpLoop();
    }
};

TEST_F(TriggerDone, TaskCallbackReportsEachStatus) {
    const std::string tarPath = LogPath("pkg.tar");  // absent: the restore only logs
    struct {
        int option;
        int sta;
        int result;
        const char* errMsg;
        const char* line;  // after "[t]TaskLogCompCallback: taskId 7 "
        bool restores;
    } cases[] = {
        {1, FILE_COMPRESS_STATUS_FINISHED, 2, "", "compress 1 files success", false},
        {1, FILE_COMPRESS_STATUS_FAILED, 3, "log compress failed", "compress failed, ret = 2",
         true},
        {1, FILE_COMPRESS_STATUS_CANCELLED, 0, "log compress cancelled",
         "compress cancelled, ret = 3", true},
        {2, FILE_COMPRESS_STATUS_FAILED, 3, "log compress failed", "compress failed, ret = 2",
         false},
        {2, FILE_COMPRESS_STATUS_CANCELLED, 0, "log compress cancelled",
         "compress cancelled, ret = 3", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.line) + " option " + std::to_string(c.option));
        fakes::ResetAll();
        Results::Reset();
        int restoresAtResult = -1;
        Results::Hook() = [&](const LOG_COMP_TRIGGER_RES*) {
            restoresAtResult = fakes::LogCountContaining("LCTRestoreTarFile: ");
        };
        TaskLogCompCallback(7, OneOrder(tarPath), c.sta, Registered("t", c.option));
        ASSERT_EQ(Results::Count(), 1u);
        const Result r = Results::All()[0];
        EXPECT_EQ(r.id, "t");
        EXPECT_EQ(r.result, c.result);
        EXPECT_EQ(r.errMsg, c.errMsg);
        EXPECT_EQ(r.progress, 100);
        EXPECT_EQ(r.mode, 0);
        EXPECT_EQ(fakes::LogCount(std::string("[t]TaskLogCompCallback: taskId 7 ") + c.line), 1);
        EXPECT_EQ(restoresAtResult, c.restores ? 1 : 0);
        EXPECT_EQ(MapSize(), 1u);  // the release waits for the loop
        EXPECT_EQ(fakes::PumpLoop(), 1u);
        EXPECT_EQ(MapSize(), 0u);
    }
}

TEST_F(TriggerDone, OngoingAndNullRequester) {
    LOG_COMP_TRIGGER_TASK* task = Registered("t", LOG_COMPRESS_OPTION_ONLY_COMPRESS);
    LinkList list = OneOrder("f");
    fakes::LogClear();
    const size_t posts = fakes::RunInLoopCalls();
    TaskLogCompCallback(1, list, FILE_COMPRESS_STATUS_ONGOING, task);
    ASSERT_EQ(Results::Count(), 1u);
    EXPECT_EQ(Results::All()[0].result, LOG_COMP_TRIGGER_RESULT_ONGOING);
    EXPECT_EQ(Results::All()[0].errMsg, "");
    EXPECT_EQ(fakes::RunInLoopCalls(), posts);
    EXPECT_EQ(Files(list), std::vector<std::string>{"f"});  // untouched
    EXPECT_TRUE(fakes::LogLines().empty());

    task->taskCallback = nullptr;
    TaskLogCompCallback(1, list, FILE_COMPRESS_STATUS_FAILED, task);
    EXPECT_EQ(Results::Count(), 1u);
    EXPECT_EQ(fakes::PumpLoop(), 1u);  // list and record freed all the same (ASan)
    EXPECT_EQ(MapSize(), 0u);
}

TEST_F(TriggerDone, TimerCallbackReArmsOnlyOnCancel) {
    struct {
        int sta;
        const char* line;  // after "[logCompTriggerTaskId]TimerLogCompCallback: taskId 5 "
        bool armed;
        bool released;
    } cases[] = {
        {FILE_COMPRESS_STATUS_FINISHED, "compress 1 files success", false, true},
        {FILE_COMPRESS_STATUS_FAILED, "compress failed, ret = 2", false, true},
        {FILE_COMPRESS_STATUS_CANCELLED, "compress failed, ret = 3", true, true},
        {FILE_COMPRESS_STATUS_ONGOING, "compress is ongoing???", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        fakes::ResetAll();
        sLogCompTriggerObj.needTriggerEveryDay.store(false);
        LOG_COMP_TRIGGER_TASK* task = Registered("logCompTriggerTaskId", LOG_COMPRESS_OPTION_TIMER);
        task->taskCallback = nullptr;
        LinkList list = OneOrder("f");
        TimerLogCompCallback(5, list, c.sta, task);
        EXPECT_EQ(fakes::LogCount(std::string("[logCompTriggerTaskId]TimerLogCompCallback: "
                                              "taskId 5 ") +
                                  c.line),
                  1);
        EXPECT_EQ(sLogCompTriggerObj.needTriggerEveryDay.load(), c.armed);
        EXPECT_EQ(fakes::PumpLoop(), c.released ? 1u : 0u);
        EXPECT_TRUE(fakes::ShellCalls().empty());
        if (!c.released) {
            LCTListDelAll(list);
            LCTReleaseTaskInLoop(task);
        }
    }
}

}  // namespace
}  // namespace trigtest
