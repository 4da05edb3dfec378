// The worker: strict task order, the shared retry budget, failures, pause, dynamic mode,
// the exit flag and interruption, against the scripted compressor.
#include <map>

#include "tests/unit/exec_fixture.h"

namespace exectest {
namespace {

using Kind = fakes::CompressCall::Kind;
constexpr int kFinished = FILE_COMPRESS_STATUS_FINISHED;
constexpr int kOngoing = FILE_COMPRESS_STATUS_ONGOING;
constexpr int kFailed = FILE_COMPRESS_STATUS_FAILED;
// Slices after which a file meant to run "forever" fails, so that a worker that misses a
// request ends the test quickly instead of spinning.
constexpr int kEndless = 200;

class ExecWorkerTest : public ExecTest {
  protected:
    void SetUp() override {
        ExecTest::SetUp();
        ASSERT_EQ(LogCompExecInit(), 0);
    }
    // Runs one task to its callback and returns its status.
    int RunTask(uint64_t id, const FileList& files, uint32_t retryCnt = 0) {
        Recorder& rec = NewRecorder();
        LOG_COMPEXEC_TASK task = MakeTask(id, files.list(), &rec, retryCnt);
        EXPECT_EQ(LogCompExecAddTask(&task), 0);
        EXPECT_TRUE(rec.WaitCount(1));
        return rec.Count() == 1 ? rec.All()[0].status : -1;
    }
    // The delayMs of every slice of one file, in order.
    static std::vector<uint32_t> Delays(const std::string& file) {
        std::vector<uint32_t> delays;
        for (const auto& c : CallsOf(file)) {
            if (c.kind == Kind::kRun) delays.push_back(c.delayMs);
        }
        return delays;
    }
    static std::vector<Kind> Kinds(const std::string& file) {
        std::vector<Kind> kinds;
        for (const auto& c : CallsOf(file)) kinds.push_back(c.kind);
        return kinds;
    }

    // Used by compressor hooks, which may still run while TearDown stops the worker.
    fakes::Gate gate_;
    std::atomic<int> maxOpen_{0};
    std::atomic<bool> inSlice_{false};
};

TEST_F(ExecWorkerTest, TasksRunStrictlyOneAfterAnotherInAcceptedOrder) {
    fakes::CompressSetRunHook([&](const std::string& file, int slice, uint32_t) {
        maxOpen_ = std::max(maxOpen_.load(), fakes::CompressOpenHandles());
        if (file == Path("t1-a.log") && slice == 0) gate_.Wait();
        return slice < 2 ? kOngoing : kFinished;  // three slices per file
    });
    Recorder& rec = NewRecorder();
    for (uint64_t id = 1; id <= 5; ++id) {
        const std::string base = Path("t" + Id(id));
        const FileList& files = MakeList({base + "-a.log", base + "-b.log"});
        LOG_COMPEXEC_TASK task = MakeTask(id, files.list(), &rec);
        ASSERT_EQ(LogCompExecAddTask(&task), 0);
        if (id == 1) {
            ASSERT_TRUE(fakes::WaitUntil([] { return !fakes::CompressCalls().empty(); }));
        }
    }
    gate_.Open();
    ASSERT_TRUE(rec.WaitCount(5));
    EXPECT_EQ(rec.Ids(), (std::vector<uint64_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(maxOpen_.load(), 1);
    // The calls form one sequence: each file is started, run and stopped before the next.
    std::vector<std::string> order;
    for (const auto& c : fakes::CompressCalls()) {
        if (c.kind == Kind::kStart) order.push_back(c.file);
    }
    std::vector<std::string> expected;
    for (uint64_t id = 1; id <= 5; ++id) {
        expected.push_back(Path("t" + Id(id) + "-a.log"));
        expected.push_back(Path("t" + Id(id) + "-b.log"));
    }
    EXPECT_EQ(order, expected);
    for (const auto& file : expected) {
        EXPECT_EQ(Kinds(file), (std::vector<Kind>{Kind::kStart, Kind::kRun, Kind::kRun, Kind::kRun,
                                                  Kind::kStop}));
    }
    const std::string line =
        "[TaskId = 3](retry cnt = 0) Start Compress File[2], compressLevel = 6, "
        "segmentSize = 65536 Bytes";
    EXPECT_EQ(fakes::LogCount(LEVEL_INFO, line), 1);
    EXPECT_EQ(fakes::LogCount(LEVEL_INFO, "[TaskId = 3]Compress File Count = 2"), 1);
    EXPECT_EQ(fakes::LogCount(LEVEL_INFO, "[TaskId = 3] Compress File Finished, status = 0"), 1);
    EXPECT_EQ(FuncOf(line), "LogCompExecRun");
}

TEST_F(ExecWorkerTest, RetryBudgetIsSharedAcrossTheFilesOfATask) {
    // Slice 0 of each attempt: a.log fails once, b.log always fails.
    fakes::CompressSetRunHook([&](const std::string& file, int, uint32_t) {
        if (file == Path("b.log")) return kFailed;
        return fakes::CompressStarts(file) == 1 ? kFailed : kFinished;
    });
    const FileList& files = MakeList({Path("a.log"), Path("b.log"), Path("c.log")});
    EXPECT_EQ(RunTask(9, files, 2), kFailed);
    auto warn = [](int remain) {
        return "[TaskId = 9] Compress File Failed, remain retryCnt = " + std::to_string(remain);
    };
    EXPECT_EQ(fakes::LogCount(LEVEL_WARN, warn(1)), 1);
    EXPECT_EQ(fakes::LogCount(LEVEL_WARN, warn(0)), 1);
    EXPECT_EQ(FuncOf(warn(0)), "LogCompExecOne");
    EXPECT_EQ(fakes::LogCountContaining("(retry cnt = 2) Start Compress File[1]"), 1);
    EXPECT_EQ(fakes::LogCountContaining("(retry cnt = 1) Start Compress File[2]"), 1);
    EXPECT_EQ(fakes::CompressStarts(Path("a.log")), 2);
    EXPECT_EQ(fakes::CompressStarts(Path("b.log")), 2);  // the one retry that was left
    EXPECT_EQ(fakes::CompressStarts(Path("c.log")), 0);
    EXPECT_EQ(fakes::LogCount(LEVEL_INFO, "[TaskId = 9] Compress File Finished, status = 2"), 1);
    EXPECT_EQ(fakes::CompressOpenHandles(), 0);

    // A budget of 2 and a file that fails three times: two warnings, then the task fails.
    fakes::ResetAll();
    fakes::CompressSetRunHook([](const std::string&, int, uint32_t) { return kFailed; });
    const FileList& one = MakeList({Path("d.log")});
    EXPECT_EQ(RunTask(10, one, 2), kFailed);
    EXPECT_EQ(fakes::LogCountContaining("[TaskId = 10] Compress File Failed"), 2);
    EXPECT_EQ(fakes::CompressStarts(Path("d.log")), 3);
}

TEST_F(ExecWorkerTest, FailingSecondFileKeepsTheFirstOutputAndRemovesItsOwn) {
    fakes::CompressSetCreateOutput(true);
    fakes::CompressSetRunHook([&](const std::string& file, int slice, uint32_t) {
        if (file == Path("2.log")) return slice == 0 ? kOngoing : kFailed;
        return kFinished;
    });
    const FileList& files = MakeList({Path("1.log"), Path("2.log"), Path("3.log")});
    EXPECT_EQ(RunTask(1, files), kFailed);
    EXPECT_TRUE(Exists(Path("1.log.gz")));
    EXPECT_FALSE(Exists(Path("2.log.gz")));
    EXPECT_EQ(fakes::CompressStarts(Path("3.log")), 0);
    EXPECT_EQ(Kinds(Path("2.log")),
              (std::vector<Kind>{Kind::kStart, Kind::kRun, Kind::kRun, Kind::kStop}));
}

TEST_F(ExecWorkerTest, StartFailuresEndTheTask) {
    // At the first start no output exists to remove; at a retry the last output is removed.
    fakes::CompressSetCreateOutput(true);
    fakes::CompressSetStartHook([&](const FILE_COMPRESS_CONFIG& cfg, int attempt) {
        return !(std::string(cfg.file) == Path("x.log") || attempt > 0);
    });
    fakes::CompressSetRunHook([](const std::string&, int, uint32_t) { return kFailed; });
    const FileList& first = MakeList({Path("x.log"), Path("y.log")});
    EXPECT_EQ(RunTask(3, first, 5), kFailed);
    EXPECT_EQ(fakes::LogCount(LEVEL_ERROR, "FileCompress_Start failed, taskId = 3"), 1);
    EXPECT_EQ(fakes::CompressStarts(Path("y.log")), 0);

    const FileList& retry = MakeList({Path("y.log")});
    EXPECT_EQ(RunTask(4, retry, 5), kFailed);
    EXPECT_EQ(fakes::LogCount(LEVEL_ERROR, "Retry FileCompress_Start failed, taskId = 4"), 1);
    EXPECT_EQ(FuncOf("Retry FileCompress_Start failed, taskId = 4"), "LogCompExecOne");
    EXPECT_EQ(Kinds(Path("y.log")),
              (std::vector<Kind>{Kind::kStart, Kind::kRun, Kind::kStop, Kind::kStart}));
    EXPECT_FALSE(Exists(Path("y.log.gz")));
    EXPECT_EQ(fakes::CompressOpenHandles(), 0);
}

TEST_F(ExecWorkerTest, AnyOtherSliceResultIsCalledAgainAtOnce) {
    fakes::CompressSetRunHook([](const std::string&, int slice, uint32_t) {
        const int script[] = {kOngoing, 7, -1, 3, kFinished};
        return script[slice];
    });
    const FileList& files = MakeList({Path("a.log")});
    EXPECT_EQ(RunTask(1, files), kFinished);
    EXPECT_EQ(Delays(Path("a.log")).size(), 5u);
    EXPECT_EQ(PauseClock::calls.load(), 0);
}

TEST_F(ExecWorkerTest, EmptyListIsAcceptedAndReportedFailed) {
    const FileList& empty = MakeList({});
    EXPECT_EQ(RunTask(4, empty), kFailed);
    EXPECT_EQ(
        fakes::LogCount(LEVEL_ERROR, "[TaskId = 4]LogCompExecRun failed, compressList is empty"),
        1);
    EXPECT_EQ(fakes::LogCountContaining("Compress File Finished"), 0);
    LOG_COMPEXEC_TASK nullList = MakeTask(5, nullptr, nullptr);  // no list, no callback
    ASSERT_EQ(LogCompExecAddTask(&nullList), 0);
    ASSERT_TRUE(fakes::LogWaitFor("[TaskId = 5]LogCompExecRun failed, compressList is empty"));
    const FileList& files = MakeList({Path("a.log")});
    EXPECT_EQ(RunTask(6, files), kFinished);  // the worker went on
}

TEST_F(ExecWorkerTest, PauseHoldsTheOpenFileAndResumesWhereItStood) {
    fakes::CompressSetRunHook([](const std::string&, int slice, uint32_t) {
        if (slice == 2) LogCompExecSetPause(true);
        return slice < 5 ? kOngoing : kFinished;
    });
    Recorder& rec = NewRecorder();
    const FileList& files = MakeList({Path("a.log")});
    LOG_COMPEXEC_TASK task = MakeTask(1, files.list(), &rec);
    ASSERT_EQ(LogCompExecAddTask(&task), 0);
    for (int pass = 1; pass <= 3; ++pass) {
        ASSERT_TRUE(fakes::WaitUntil([&] { return PauseClock::calls.load() == pass; }));
        EXPECT_EQ(PauseClock::lastSeconds.load(), 5u);
        EXPECT_EQ(Delays(Path("a.log")).size(), 3u);
        EXPECT_EQ(fakes::CompressOpenHandles(), 1);
        PauseClock::Tick();
    }
    ASSERT_TRUE(fakes::WaitUntil([] { return PauseClock::calls.load() == 4; }));
    LogCompExecSetPause(false);
    PauseClock::Tick();
    ASSERT_TRUE(rec.WaitCount(1));
    EXPECT_EQ(rec.All()[0].status, kFinished);
    EXPECT_EQ(fakes::CompressStarts(Path("a.log")), 1);  // the same handle went on
    EXPECT_EQ(Delays(Path("a.log")).size(), 6u);
    EXPECT_EQ(PauseClock::calls.load(), 4);
}

TEST_F(ExecWorkerTest, DeleteDuringPauseEndsWithinOnePausePeriod) {
    fakes::CompressSetCreateOutput(true);
    fakes::CompressSetRunHook([](const std::string&, int slice, uint32_t) {
        LogCompExecSetPause(true);
        return slice < kEndless ? kOngoing : kFailed;
    });
    Recorder& rec = NewRecorder();
    const FileList& files = MakeList({Path("a.log"), Path("b.log")});
    LOG_COMPEXEC_TASK task = MakeTask(2, files.list(), &rec);
    ASSERT_EQ(LogCompExecAddTask(&task), 0);
    ASSERT_TRUE(fakes::WaitUntil([] { return PauseClock::calls.load() == 1; }));
    ASSERT_EQ(LogCompExecDelTask(2), 0);
    PauseClock::Tick();  // the one pause period in progress ends
    ASSERT_TRUE(rec.WaitCount(1));
    EXPECT_EQ(rec.All()[0].status, FILE_COMPRESS_STATUS_CANCELLED);
    EXPECT_EQ(PauseClock::calls.load(), 1);
    EXPECT_EQ(Delays(Path("a.log")).size(), 1u);  // never resumed
    EXPECT_FALSE(Exists(Path("a.log.gz")));
    EXPECT_EQ(fakes::CompressStarts(Path("b.log")), 0);
}

TEST_F(ExecWorkerTest, DynamicModeHoldsTheLongerDelayForTheRestOfTheFileOnly) {
    fakes::CompressSetRunHook([&](const std::string& file, int slice, uint32_t) {
        if (file == Path("a.log") && slice == 1) LogCompExecSetDynamic(true);
        if (file == Path("a.log") && slice == 3) LogCompExecSetDynamic(false);
        return slice < 5 ? kOngoing : kFinished;
    });
    const FileList& files = MakeList({Path("a.log"), Path("b.log")});
    EXPECT_EQ(RunTask(1, files), kFinished);
    EXPECT_EQ(Delays(Path("a.log")), (std::vector<uint32_t>{1, 1, 5, 5, 5, 5}));
    EXPECT_EQ(Delays(Path("b.log")), (std::vector<uint32_t>(6, 1)));

    LogCompExecSetDynamic(true);  // set before the file starts: every slice gets 5
    const FileList& next = MakeList({Path("c.log")});
    EXPECT_EQ(RunTask(2, next), kFinished);
    EXPECT_EQ(Delays(Path("c.log")), (std::vector<uint32_t>(6, 5)));
}

TEST_F(ExecWorkerTest, ExitFlagCancelsEachNewTaskUntilCleared) {
    fakes::CompressSetCreateOutput(true);
    fakes::CompressSetRunHook([&](const std::string& file, int slice, uint32_t) {
        if (file == Path("run.log") && slice == 1) LogCompExecSetExit(true);
        return slice < kEndless ? kOngoing : kFailed;
    });
    // The file in progress ends at the next check.
    const FileList& running = MakeList({Path("run.log"), Path("run2.log")});
    EXPECT_EQ(RunTask(1, running), FILE_COMPRESS_STATUS_CANCELLED);
    EXPECT_EQ(Delays(Path("run.log")).size(), 2u);
    EXPECT_FALSE(Exists(Path("run.log.gz")));
    EXPECT_EQ(fakes::CompressStarts(Path("run2.log")), 0);

    // Each new task: its first file is opened, closed at once and its output removed.
    for (uint64_t id = 2; id <= 4; ++id) {
        const std::string first = Path("t" + Id(id) + "-1.log");
        const std::string second = Path("t" + Id(id) + "-2.log");
        const FileList& files = MakeList({first, second});
        EXPECT_EQ(RunTask(id, files), FILE_COMPRESS_STATUS_CANCELLED);
        EXPECT_EQ(Kinds(first), (std::vector<Kind>{Kind::kStart, Kind::kStop}));
        EXPECT_FALSE(Exists(first + ".gz"));
        EXPECT_EQ(fakes::CompressStarts(second), 0);
        EXPECT_EQ(fakes::LogCount("[TaskId = " + Id(id) + "] Compress File Finished, status = 3"),
                  1);
    }
    LogCompExecSetExit(false);
    fakes::CompressSetRunHook(nullptr);
    const FileList& after = MakeList({Path("after.log")});
    EXPECT_EQ(RunTask(5, after), kFinished);
}

TEST_F(ExecWorkerTest, ALastSliceThatFinishesBeforeTheDeleteIsSeenWins) {
    fakes::CompressSetRunHook([&](const std::string&, int, uint32_t) {
        inSlice_ = true;
        fakes::NotifyAll();
        gate_.Wait();
        return kFinished;
    });
    Recorder& rec = NewRecorder();
    const FileList& files = MakeList({Path("a.log")});
    LOG_COMPEXEC_TASK task = MakeTask(8, files.list(), &rec);
    ASSERT_EQ(LogCompExecAddTask(&task), 0);
    ASSERT_TRUE(fakes::WaitUntil([&] { return inSlice_.load(); }));
    ASSERT_EQ(LogCompExecDelTask(8), 0);
    gate_.Open();
    ASSERT_TRUE(rec.WaitCount(1));
    EXPECT_EQ(rec.All()[0].status, kFinished);
}

}  // namespace
}  // namespace exectest
