// Requesters on several threads add, delete and steer while the worker runs: every accepted
// task is reported exactly once and nothing races (run under ThreadSanitizer too).
#include <random>
#include <set>

#include "tests/unit/exec_fixture.h"

namespace exectest {
namespace {

unsigned YieldInsteadOfSleep(unsigned) {
    std::this_thread::yield();
    return 0;
}

class ExecConcurrencyTest : public ExecTest {};

TEST_F(ExecConcurrencyTest, AddDeleteAndSettersFromSeveralThreads) {
    LogCompExecSetPauseSleepHook(&YieldInsteadOfSleep);
    fakes::CompressSetRunHook([](const std::string&, int slice, uint32_t) {
        return slice < 3 ? FILE_COMPRESS_STATUS_ONGOING : FILE_COMPRESS_STATUS_FINISHED;
    });
    ASSERT_EQ(LogCompExecInit(), 0);

    constexpr int kAdders = 2;
    constexpr uint64_t kPerAdder = 150;
    const FileList& files = MakeList({Path("a.log"), Path("b.log")});
    Recorder& rec = NewRecorder();
    std::mutex acceptedMu;
    std::multiset<uint64_t> accepted;
    std::atomic<bool> stop{false};

    std::vector<std::thread> threads;
    for (int a = 0; a < kAdders; ++a) {
        threads.emplace_back([&, a] {
            for (uint64_t n = 0; n < kPerAdder; ++n) {
                const uint64_t id = n * kAdders + a;
                LOG_COMPEXEC_TASK task = MakeTask(id, files.list(), &rec, 1);
                // Every tenth id is offered twice: refused while registered, accepted again
                // once the first one is gone.
                for (int offer = 0; offer < (n % 10 == 0 ? 2 : 1); ++offer) {
                    if (LogCompExecAddTask(&task) == 0) {
                        std::lock_guard<std::mutex> lock(acceptedMu);
                        accepted.insert(id);
                    }
                }
            }
        });
    }
    threads.emplace_back([&] {
        std::mt19937 rng(7);
        while (!stop.load()) {
            EXPECT_EQ(LogCompExecDelTask(rng() % (kPerAdder * kAdders)), 0);
            std::this_thread::yield();
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; !stop.load(); ++i) {
            LogCompExecSetDynamic(i % 2 == 0);
            LogCompExecSetPause(i % 3 == 0);
            LogCompExecSetExit(i % 7 == 0);
            std::this_thread::yield();
        }
    });
    for (int a = 0; a < kAdders; ++a) threads[a].join();
    stop = true;
    for (size_t t = kAdders; t < threads.size(); ++t) threads[t].join();
    LogCompExecSetPause(false);
    LogCompExecSetExit(false);

    ASSERT_TRUE(rec.WaitCount(accepted.size()));
    LogCompExecUninit();
    const auto ids = rec.Ids();
    EXPECT_EQ(std::multiset<uint64_t>(ids.begin(), ids.end()), accepted);
    EXPECT_EQ(fakes::CompressOpenHandles(), 0);
    for (const auto& d : rec.All()) {
        EXPECT_TRUE(d.status == FILE_COMPRESS_STATUS_FINISHED ||
                    d.status == FILE_COMPRESS_STATUS_CANCELLED)
            << d.id << " " << d.status;
    }
}

TEST_F(ExecConcurrencyTest, WorkerCallbacksMayAddDeleteAndSteer) {
    // A callback on the worker thread feeds the next task itself, deletes an unknown id and
    // flips a setter: no deadlock, and the chain runs to its end.
    ASSERT_EQ(LogCompExecInit(), 0);
    const FileList& files = MakeList({Path("a.log")});
    Recorder& rec = NewRecorder();
    std::atomic<int> failures{0};
    rec.onDone = [&](uint64_t id, int) {
        LogCompExecSetDynamic(id % 2 == 0);
        if (LogCompExecDelTask(id + 1000) != 0) ++failures;
        if (id < 20) {
            LOG_COMPEXEC_TASK next = MakeTask(id + 1, files.list(), &rec);
            if (LogCompExecAddTask(&next) != 0) ++failures;
        }
    };
    LOG_COMPEXEC_TASK first = MakeTask(0, files.list(), &rec);
    ASSERT_EQ(LogCompExecAddTask(&first), 0);
    EXPECT_TRUE(rec.WaitCount(21));
    LogCompExecUninit();  // before the locals the callback uses go away
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(rec.Count(), 21u);
}

}  // namespace
}  // namespace exectest
