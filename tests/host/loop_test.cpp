// The reference event loop on a real libuv loop, run on a thread of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "event/ev_host.h"
#include "event/ev_loop.h"

namespace {

using Clock = std::chrono::steady_clock;

bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto deadline = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A task that runs a std::function once and frees it, recording whether it ran on the loop.
struct Job {
    EvLoop* loop;
    std::function<void()> body;
};

std::atomic<int> sOffLoopRuns{0};

void RunJob(void* p) {
    auto* job = static_cast<Job*>(p);
    if (!EvLoopIsLoopThread(job->loop)) {
        ++sOffLoopRuns;
    }
    job->body();
    delete job;
}

EV_TASK_T MakeTask(EvLoop* loop, std::function<void()> body) {
    return EV_TASK_T{RunJob, new Job{loop, std::move(body)}, 0};
}

class LoopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sOffLoopRuns = 0;
        loop_ = EvLoopCreate();
        ASSERT_NE(loop_, nullptr);
    }
    void TearDown() override {
        EvLoopDestroy(loop_);
        EXPECT_EQ(sOffLoopRuns.load(), 0) << "a task ran off the loop thread";
    }
    EvLoop* loop_ = nullptr;
};

TEST_F(LoopTest, TasksFromManyThreadsRunOnceInPostingOrderOnTheLoop) {
    ASSERT_EQ(EvLoopStartThread(loop_), 0);
    EXPECT_FALSE(EvLoopIsLoopThread(loop_));
    constexpr int kThreads = 4;
    constexpr int kPerThread = 3000;
    std::vector<std::pair<int, int>> ran;  // (thread, sequence), appended on the loop only
    std::atomic<int> count{0};
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                EvRunInLoop(loop_, MakeTask(loop_, [&, t, i] {
                                ran.emplace_back(t, i);
                                ++count;
                            }));
            }
        });
    }
    for (auto& p : posters) {
        p.join();
    }
    ASSERT_TRUE(WaitUntil([&] { return count.load() == kThreads * kPerThread; }));
    EvLoopStopAndJoin(loop_);
    ASSERT_EQ(ran.size(), static_cast<size_t>(kThreads * kPerThread));
    std::vector<int> next(kThreads, 0);
    for (const auto& [t, i] : ran) {
        ASSERT_EQ(i, next[t]) << "thread " << t << " out of order or repeated";
        ++next[t];
    }
}

// Tasks posted from a running task (both ways of posting) run after it has returned, in order.
TEST_F(LoopTest, TaskPostedFromARunningTaskRunsAfterIt) {
    ASSERT_EQ(EvLoopStartThread(loop_), 0);
    std::vector<std::string> trace;
    std::atomic<bool> done{false};
    EvRunInLoop(loop_, MakeTask(loop_, [&] {
                    EvRunInLoop(loop_, MakeTask(loop_, [&] { trace.push_back("run"); }));
                    EvQueueInLoop(loop_, MakeTask(loop_, [&] {
                                      trace.push_back("queue");
                                      done = true;
                                  }));
                    trace.push_back("outer end");
                }));
    ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
    EvLoopStopAndJoin(loop_);
    EXPECT_EQ(trace, (std::vector<std::string>{"outer end", "run", "queue"}));
}

// Posts before the run, during it and right before the stop are all run, and Run returns.
TEST_F(LoopTest, StopRunsTasksAlreadyPosted) {
    std::atomic<int> count{0};
    EvQueueInLoop(loop_, MakeTask(loop_, [&] { ++count; }));  // posted while idle
    ASSERT_EQ(EvLoopStartThread(loop_), 0);
    for (int i = 0; i < 1000; ++i) {
        EvRunInLoop(loop_, MakeTask(loop_, [&] { ++count; }));
    }
    EvLoopStopAndJoin(loop_);
    EXPECT_EQ(count.load(), 1001);

    // A stopped loop can run again; a stop asked from a task ends it as well.
    std::thread runner([&] { EXPECT_EQ(EvLoopRun(loop_), 0); });
    EvRunInLoop(loop_, MakeTask(loop_, [&] {
                    EvLoopStop(loop_);
                    EvRunInLoop(loop_, MakeTask(loop_, [&] { ++count; }));
                }));
    runner.join();
    EXPECT_EQ(count.load(), 1002);
}

TEST_F(LoopTest, DestroyRunsLeftoverTasksOnTheCallingThread) {
    ASSERT_EQ(EvLoopStartThread(loop_), 0);
    EvLoopStopAndJoin(loop_);
    std::atomic<int> count{0};
    EvRunInLoop(loop_, MakeTask(loop_, [&] {
                    ++count;
                    EvRunInLoop(loop_, MakeTask(loop_, [&] { ++count; }));
                }));
    EvLoopDestroy(loop_);
    loop_ = nullptr;
    EXPECT_EQ(count.load(), 2);
}

TEST_F(LoopTest, MisuseIsRefusedWithoutACrash) {
    EvRunInLoop(nullptr, EV_TASK_T{RunJob, nullptr, 0});
    EvRunInLoop(loop_, EV_TASK_T{nullptr, nullptr, 0});
    EXPECT_EQ(EvLoopRun(nullptr), -1);
    EXPECT_FALSE(EvLoopIsLoopThread(nullptr));
    ASSERT_EQ(EvLoopStartThread(loop_), 0);
    EXPECT_EQ(EvLoopStartThread(loop_), -1);
    EXPECT_EQ(EvLoopRun(loop_), -1);  // already runs on its thread
    std::atomic<bool> nested{false};
    EvRunInLoop(loop_, MakeTask(loop_, [&] { nested = EvLoopRun(loop_) == -1; }));
    EvLoopStopAndJoin(loop_);
    EXPECT_TRUE(nested.load());
}

}  // namespace
