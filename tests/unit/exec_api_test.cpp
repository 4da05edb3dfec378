// Executor lifecycle and registry: init/uninit, operations while stopped, thread creation
// failure, duplicates, the registry limit, deletion of waiting and running tasks, the drain.
#include <cerrno>

#include "tests/unit/exec_fixture.h"

namespace exectest {
namespace {

class ExecApiTest : public ExecTest {
  protected:
    // A task whose first slice blocks until the gate opens (or shutdown begins), then
    // returns ONGOING so the worker looks at its flags again.
    void StartBlockingTask(uint64_t id, Recorder* rec) {
        blocker_ = std::make_unique<FileList>(std::vector<std::string>{Path("blocker.log")});
        fakes::CompressSetRunHook([this](const std::string& file, int slice, uint32_t) {
            if (file == Path("blocker.log") && slice == 0) {
                inBlock_ = true;
                fakes::NotifyAll();
                PollUntil([this] { return gate_.IsOpen() || sLogCompExecObj.threadExit.load(); });
                return int{FILE_COMPRESS_STATUS_ONGOING};
            }
            return int{FILE_COMPRESS_STATUS_FINISHED};
        });
        LOG_COMPEXEC_TASK task = MakeTask(id, blocker_->list(), rec);
        ASSERT_EQ(LogCompExecAddTask(&task), 0);
        ASSERT_TRUE(fakes::WaitUntil([this] { return inBlock_.load(); }));
    }

    fakes::Gate gate_;
    std::atomic<bool> inBlock_{false};
    std::unique_ptr<FileList> blocker_;
};

TEST_F(ExecApiTest, EveryOperationIsRefusedSilentlyWhileStopped) {
    Recorder& rec = NewRecorder();
    const FileList& files = MakeList({Path("a.log")});
    LOG_COMPEXEC_TASK task = MakeTask(1, files.list(), &rec);
    for (int round = 0; round < 2; ++round) {  // before the first init, then after uninit
        fakes::LogClear();
        EXPECT_EQ(LogCompExecAddTask(&task), -1);
        EXPECT_EQ(LogCompExecDelTask(1), -1);
        LogCompExecSetDynamic(true);
        LogCompExecSetPause(true);
        LogCompExecSetExit(true);
        EXPECT_TRUE(fakes::LogLines().empty());
        LogCompExecUninit();
        EXPECT_EQ(fakes::LogCount(LEVEL_WARN, "LogCompExecUninit not inited!"), 1);
        ASSERT_EQ(LogCompExecInit(), 0);
        // The setters above had no effect; init clears the flags anyway.
        EXPECT_FALSE(sLogCompExecObj.needDynamic.load());
        EXPECT_FALSE(sLogCompExecObj.needPause.load());
        EXPECT_FALSE(sLogCompExecObj.needExit.load());
        LogCompExecUninit();
    }
    EXPECT_EQ(rec.Count(), 0u);
    EXPECT_EQ(fakes::CompressCalls().size(), 0u);
}

TEST_F(ExecApiTest, MessagesCarryTheirOperationLevelAndClass) {
    ASSERT_EQ(LogCompExecInit(), 0);
    EXPECT_EQ(LogCompExecInit(), 0);
    LogCompExecSetDynamic(true);
    LogCompExecSetPause(false);
    LogCompExecSetExit(false);
    LogCompExecUninit();
    LogCompExecUninit();
    struct Row {
        const char* text;
        int level;
        const char* func;
    };
    const Row rows[] = {
        {"LogCompExec Init Success", LEVEL_INFO, "LogCompExecInit"},
        {"LogCompExecInit already inited!", LEVEL_WARN, "LogCompExecInit"},
        {"LogCompExecTaskThread start...", LEVEL_INFO, "LogCompExecTaskThread"},
        {"LogCompExec Set Dynamic: 1", LEVEL_INFO, "LogCompExecSetDynamic"},
        {"LogCompExec Set Pause: 0", LEVEL_INFO, "LogCompExecSetPause"},
        {"LogCompExec Set Exit: 0", LEVEL_INFO, "LogCompExecSetExit"},
        {"LogCompExecTaskThread exit...", LEVEL_INFO, "LogCompExecTaskThread"},
        {"LogCompExec Uninit Success", LEVEL_INFO, "LogCompExecUninit"},
        {"LogCompExecUninit not inited!", LEVEL_WARN, "LogCompExecUninit"},
    };
    for (const auto& row : rows) {
        auto line = fakes::LogFind(row.text);
        ASSERT_TRUE(line.has_value()) << row.text;
        EXPECT_EQ(line->level, row.level) << row.text;
        EXPECT_EQ(line->func, row.func) << row.text;
        EXPECT_EQ(line->logClass, LOG_SYSTEM) << row.text;
    }
}

TEST_F(ExecApiTest, InitWhileStartedChangesNothing) {
    Recorder& rec = NewRecorder();
    ASSERT_EQ(LogCompExecInit(), 0);
    StartBlockingTask(1, &rec);
    const FileList& files = MakeList({Path("b.log")});
    LOG_COMPEXEC_TASK task = MakeTask(2, files.list(), &rec);
    ASSERT_EQ(LogCompExecAddTask(&task), 0);
    LogCompExecSetDynamic(true);
    LogCompExecSetExit(true);

    EXPECT_EQ(LogCompExecInit(), 0);
    EXPECT_EQ(fakes::LogCount(LEVEL_WARN, "LogCompExecInit already inited!"), 1);
    EXPECT_EQ(fakes::LogCount("LogCompExecTaskThread start..."), 1);
    EXPECT_TRUE(sLogCompExecObj.needDynamic.load());
    EXPECT_TRUE(sLogCompExecObj.needExit.load());
    EXPECT_EQ(LogCompExecAddTask(&task), -1);  // still registered
    LogCompExecSetExit(false);
    gate_.Open();
    ASSERT_TRUE(rec.WaitCount(2));
    EXPECT_EQ(rec.Ids(), (std::vector<uint64_t>{1, 2}));
}

TEST_F(ExecApiTest, ReinitStartsAFreshWorkerWithClearedFlagsAndEmptyRegistry) {
    Recorder& rec = NewRecorder();
    const FileList& files = MakeList({Path("a.log")});
    const FileList& late = MakeList({Path("late.log")});
    for (int cycle = 1; cycle <= 3; ++cycle) {
        ASSERT_EQ(LogCompExecInit(), 0);
        EXPECT_EQ(sLogCompExecObj.taskMap, nullptr);
        EXPECT_FALSE(sLogCompExecObj.threadExit.load());
        // A task runs to the end: neither pause nor exit survived the last cycle.
        LOG_COMPEXEC_TASK task = MakeTask(100 + cycle, files.list(), &rec);
        ASSERT_EQ(LogCompExecAddTask(&task), 0);
        ASSERT_TRUE(rec.WaitCount(2 * cycle - 1));
        EXPECT_EQ(rec.All().back().id, 100u + cycle);
        EXPECT_EQ(rec.All().back().status, FILE_COMPRESS_STATUS_FINISHED);
        LogCompExecSetPause(true);
        LogCompExecSetExit(true);
        LogCompExecSetDynamic(true);
        // The same id in every cycle: the registry starts empty each time.
        LOG_COMPEXEC_TASK last = MakeTask(1, late.list(), &rec);
        ASSERT_EQ(LogCompExecAddTask(&last), 0);
        LogCompExecUninit();
        EXPECT_EQ(rec.Count(), 2u * cycle);
        EXPECT_EQ(rec.All().back().status, FILE_COMPRESS_STATUS_CANCELLED);
        EXPECT_EQ(fakes::LogCount("LogCompExecTaskThread start..."), cycle);
        EXPECT_EQ(fakes::LogCount("LogCompExecTaskThread exit..."), cycle);
    }
    EXPECT_EQ(PauseClock::calls.load(), 0);
    EXPECT_EQ(fakes::CompressStarts(Path("a.log")), 3);
    for (const auto& c : fakes::CompressCalls()) {
        EXPECT_EQ(c.delayMs, c.kind == fakes::CompressCall::kRun ? 1u : 0u);
    }
}

int FailingCreate(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) {
    return EAGAIN;
}

TEST_F(ExecApiTest, ThreadCreationFailureLeavesTheExecutorStopped) {
    LogCompExecSetThreadCreateHook(&FailingCreate);
    EXPECT_EQ(LogCompExecInit(), -1);
    EXPECT_EQ(fakes::LogCount(LEVEL_ERROR, "LogCompExecInit pthread_create error!"), 1);
    EXPECT_EQ(fakes::LogCount("LogCompExec Init Success"), 0);
    EXPECT_EQ(sLogCompExecObj.inited.load(), 0);
    Recorder& rec = NewRecorder();
    const FileList& files = MakeList({Path("a.log")});
    LOG_COMPEXEC_TASK task = MakeTask(1, files.list(), &rec);
    EXPECT_EQ(LogCompExecAddTask(&task), -1);
    LogCompExecUninit();  // must not join a thread that does not exist
    EXPECT_EQ(fakes::LogCount("LogCompExecUninit not inited!"), 1);

    LogCompExecSetThreadCreateHook(nullptr);
    ASSERT_EQ(LogCompExecInit(), 0);
    ASSERT_EQ(LogCompExecAddTask(&task), 0);
    ASSERT_TRUE(rec.WaitCount(1));
    EXPECT_EQ(rec.All()[0].status, FILE_COMPRESS_STATUS_FINISHED);
}

TEST_F(ExecApiTest, NullTaskAndDuplicateIdsAreRefused) {
    Recorder& rec = NewRecorder();
    ASSERT_EQ(LogCompExecInit(), 0);
    EXPECT_EQ(LogCompExecAddTask(nullptr), -1);
    StartBlockingTask(7, &rec);
    const FileList& files = MakeList({Path("b.log")});
    LOG_COMPEXEC_TASK waiting = MakeTask(8, files.list(), &rec);
    ASSERT_EQ(LogCompExecAddTask(&waiting), 0);
    fakes::LogClear();

    for (uint64_t id : {7u, 8u}) {  // running, then waiting
        LOG_COMPEXEC_TASK dup = MakeTask(id, files.list(), nullptr);
        EXPECT_EQ(LogCompExecAddTask(&dup), -1);
        const std::string text = "LogCompExec Add Task: taskId " + Id(id) + " already exists";
        EXPECT_EQ(fakes::LogCount(LEVEL_ERROR, text), 1);
        EXPECT_EQ(FuncOf(text), "LogCompExecAddTask");
    }
    gate_.Open();
    ASSERT_TRUE(rec.WaitCount(2));
    // The registered tasks were unaffected: each ran and reported once, through its own record.
    EXPECT_EQ(rec.Ids(), (std::vector<uint64_t>{7, 8}));
    EXPECT_EQ(fakes::CompressStarts(Path("b.log")), 1);
}

TEST_F(ExecApiTest, DeletingAWaitingTaskReportsItAtOnceAndItNeverRuns) {
    Recorder& rec = NewRecorder();
    ASSERT_EQ(LogCompExecInit(), 0);
    StartBlockingTask(1, &rec);
    const FileList& files = MakeList({Path("w.log")});
    LOG_COMPEXEC_TASK task = MakeTask(2, files.list(), &rec);
    ASSERT_EQ(LogCompExecAddTask(&task), 0);

    EXPECT_EQ(LogCompExecDelTask(2), 0);
    auto done = rec.All();
    ASSERT_EQ(done.size(), 1u);  // before the call returned
    EXPECT_EQ(done[0].id, 2u);
    EXPECT_EQ(done[0].status, FILE_COMPRESS_STATUS_CANCELLED);
    EXPECT_EQ(done[0].list, files.list());
    EXPECT_EQ(done[0].thread, std::this_thread::get_id());
    EXPECT_EQ(fakes::LogCount(LEVEL_INFO, "LogCompExec Delete Task Success, taskId = 2"), 1);

    fakes::LogClear();
    EXPECT_EQ(LogCompExecDelTask(2), 0);    // already gone
    EXPECT_EQ(LogCompExecDelTask(999), 0);  // never known
    EXPECT_TRUE(fakes::LogLines().empty());

    gate_.Open();
    ASSERT_TRUE(rec.WaitCount(2));
    LogCompExecUninit();
    EXPECT_EQ(rec.Count(), 2u);
    EXPECT_EQ(fakes::CompressStarts(Path("w.log")), 0);
}

TEST_F(ExecApiTest, DeletingTheRunningTaskTwiceInterruptsItOnce) {
    Recorder& rec = NewRecorder();
    ASSERT_EQ(LogCompExecInit(), 0);
    StartBlockingTask(5, &rec);
    EXPECT_EQ(LogCompExecDelTask(5), 0);
    EXPECT_EQ(LogCompExecDelTask(5), 0);
    const std::string text = "LogCompExec Delete Task: taskId 5 is running, will interrupt it";
    EXPECT_EQ(fakes::LogCount(LEVEL_INFO, text), 2);
    EXPECT_EQ(rec.Count(), 0u);  // the worker reports it, not the deleting thread

    gate_.Open();
    ASSERT_TRUE(rec.WaitCount(1));
    LogCompExecUninit();
    auto done = rec.All();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].status, FILE_COMPRESS_STATUS_CANCELLED);
    EXPECT_NE(done[0].thread, std::this_thread::get_id());
    EXPECT_EQ(fakes::CompressOpenHandles(), 0);
}

TEST_F(ExecApiTest, RegistryHoldsAtMost1024TasksAndRecovers) {
    Recorder& rec = NewRecorder();
    ASSERT_EQ(LogCompExecInit(), 0);
    StartBlockingTask(0, &rec);  // the running task counts too
    const FileList& empty = MakeList({});
    for (uint64_t id = 1; id < 1024; ++id) {
        LOG_COMPEXEC_TASK task = MakeTask(id, empty.list(), &rec);
        ASSERT_EQ(LogCompExecAddTask(&task), 0) << id;
    }
    fakes::LogClear();
    for (uint64_t id : {5000u, 5u}) {  // a new id, then a registered one: "full" comes first
        LOG_COMPEXEC_TASK task = MakeTask(id, empty.list(), &rec);
        EXPECT_EQ(LogCompExecAddTask(&task), -1);
    }
    EXPECT_EQ(fakes::LogCount(LEVEL_ERROR, "LogCompExecAddTask failed, task list is full"), 2);
    EXPECT_EQ(FuncOf("LogCompExecAddTask failed, task list is full"), "HashSafeAdd");
    EXPECT_EQ(fakes::LogCountContaining("already exists"), 0);

    ASSERT_EQ(LogCompExecDelTask(5), 0);
    LOG_COMPEXEC_TASK task = MakeTask(5000, empty.list(), &rec);
    EXPECT_EQ(LogCompExecAddTask(&task), 0);
    EXPECT_EQ(LogCompExecAddTask(&task), -1);

    // Shutdown: the running task ends cancelled by the worker, then the waiting ones are
    // drained oldest first on this thread.
    LogCompExecUninit();
    auto done = rec.All();
    ASSERT_EQ(done.size(), 1025u);
    EXPECT_EQ(done[0].id, 5u);  // the deleted one
    EXPECT_EQ(done[1].id, 0u);
    EXPECT_NE(done[1].thread, std::this_thread::get_id());
    std::vector<uint64_t> drained;
    for (size_t i = 2; i < done.size(); ++i) {
        EXPECT_EQ(done[i].status, FILE_COMPRESS_STATUS_CANCELLED);
        EXPECT_EQ(done[i].thread, std::this_thread::get_id());
        drained.push_back(done[i].id);
    }
    std::vector<uint64_t> expected;
    for (uint64_t id = 1; id < 1024; ++id) {
        if (id != 5) expected.push_back(id);
    }
    expected.push_back(5000);
    EXPECT_EQ(drained, expected);
    EXPECT_EQ(sLogCompExecObj.taskMap, nullptr);
}

TEST_F(ExecApiTest, UninitDuringADrainRefusesNewWork) {
    // A drained task's callback that tries to add or delete gets -1: the executor is stopping.
    Recorder& rec = NewRecorder();
    ASSERT_EQ(LogCompExecInit(), 0);
    StartBlockingTask(1, &rec);
    const FileList& files = MakeList({Path("a.log")});
    LOG_COMPEXEC_TASK waiting = MakeTask(2, files.list(), &rec);
    ASSERT_EQ(LogCompExecAddTask(&waiting), 0);
    std::vector<int> results;
    rec.onDone = [&](uint64_t id, int) {
        LOG_COMPEXEC_TASK again = MakeTask(id + 10, files.list(), nullptr);
        results.push_back(LogCompExecAddTask(&again));
        results.push_back(LogCompExecDelTask(id));
    };
    LogCompExecUninit();
    EXPECT_EQ(rec.Ids(), (std::vector<uint64_t>{1, 2}));
    EXPECT_EQ(results, (std::vector<int>{-1, -1, -1, -1}));
    EXPECT_EQ(fakes::CompressStarts(Path("a.log")), 0);
}

}  // namespace
}  // namespace exectest
