// Task ids, the task map and the two release routines.
#include "tests/unit/trigger_fixture.h"

namespace trigtest {
namespace {

LOG_COMP_TRIGGER_TASK_MAP* Entry(const std::string& id, uint64_t taskId) {
    auto* e = static_cast<LOG_COMP_TRIGGER_TASK_MAP*>(calloc(1, sizeof(LOG_COMP_TRIGGER_TASK_MAP)));
    snprintf(e->strTaskId, sizeof e->strTaskId, "%s", id.c_str());
    e->taskId = taskId;
    return e;
}

using TriggerMap = TriggerTest;

TEST_F(TriggerMap, KeysAreExactStringsAndDuplicatesAreRefused) {
    LOG_COMP_TRIGGER_T* obj = &sLogCompTriggerObj;
    const std::string longId(127, 'k');
    ASSERT_TRUE(LCTHashSafeAdd(obj, Entry("task", 1)));
    ASSERT_TRUE(LCTHashSafeAdd(obj, Entry("Task", 2)));
    ASSERT_TRUE(LCTHashSafeAdd(obj, Entry(longId, 3)));
    LOG_COMP_TRIGGER_TASK_MAP* dup = Entry("task", 9);
    EXPECT_FALSE(LCTHashSafeAdd(obj, dup));  // stays with the caller
    free(dup);
    EXPECT_EQ(MapSize(), 3u);
    EXPECT_EQ(MapFind("task")->taskId, 1u);
    EXPECT_EQ(MapFind("Task")->taskId, 2u);
    EXPECT_EQ(MapFind(longId)->taskId, 3u);
    EXPECT_EQ(MapFind("TASK"), nullptr);

    LCTHashSafeDel(obj, "absent");
    LCTHashSafeDel(obj, "task");
    EXPECT_EQ(MapSize(), 2u);
    EXPECT_EQ(MapFind("Task")->taskId, 2u);
    LCTHashDelAll(obj);  // executor not running: entries go all the same
    EXPECT_EQ(obj->pTaskMap, nullptr);
    LCTHashSafeDel(obj, "Task");  // empty map
    EXPECT_TRUE(fakes::LogLines().empty());
}

TEST_F(TriggerMap, IdsCountFromZeroAgainAfterEveryInit) {
    Start();
    EXPECT_EQ(LogCompGetNextTaskId(), 0u);
    EXPECT_EQ(LogCompGetNextTaskId(), 1u);
    LogCompTriggerUninit();
    fakes::PumpLoop();
    Start();
    EXPECT_EQ(LogCompGetNextTaskId(), 0u);
}

TEST_F(TriggerMap, ReleasesGoThroughTheLoopAndTolerateAnEmptyMap) {
    Start();
    // Emptying an empty map still stops the executor.
    LogCompTriggerUninit();
    EXPECT_EQ(sLogCompExecObj.inited.load(), 1);
    EXPECT_EQ(fakes::QueueInLoopCalls(), 1u);
    fakes::PumpLoop();
    EXPECT_EQ(sLogCompExecObj.inited.load(), 0);
    EXPECT_EQ(fakes::LogCount("LogCompExec Uninit Success"), 1);

    // A record whose entry went with the shutdown: only the record is freed (ASan checks).
    ASSERT_TRUE(LCTHashSafeAdd(&sLogCompTriggerObj, Entry("other", 4)));
    LOG_COMP_TRIGGER_TASK* task = NewTask("gone", LOG_COMPRESS_OPTION_FULL, {});
    FreeDateList(task->pDateList);
    task->pDateList = nullptr;
    LCTReleaseTaskInLoop(task);
    EXPECT_EQ(MapSize(), 1u);
    LCTReleaseTaskInLoop(nullptr);

    LinkList empty = Init_LinkList();
    LCTListDelAll(empty);
}

}  // namespace
}  // namespace trigtest
