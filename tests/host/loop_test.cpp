// The reference event loop and timers on a real libuv loop, run on a thread of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "event/ev_host.h"
#include "event/ev_loop.h"
#include "event/uv_timer.h"

namespace {

using Clock = std::chrono::steady_clock;

bool WaitUntil(const std::function<bool()>& pred) {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!pred()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

EvLoop* sLoop = nullptr;
std::atomic<int> sOffLoop{0};  // tasks that ran off the loop thread

void RunJob(void* p) {
    auto* body = static_cast<std::function<void()>*>(p);
    sOffLoop += EvLoopIsLoopThread(sLoop) ? 0 : 1;
    (*body)();
    delete body;
}

class LoopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sOffLoop = 0;
        loop_ = sLoop = EvLoopCreate();
        ASSERT_NE(loop_, nullptr);
    }
    void TearDown() override {
        EvLoopDestroy(loop_);
        EXPECT_EQ(sOffLoop.load(), 0);
    }
    void Post(std::function<void()> body, bool queue = false) {
        (queue ? EvQueueInLoop : EvRunInLoop)(loop_, {RunJob, new std::function<void()>(body), 0});
    }
    EvLoop* loop_ = nullptr;
};

TEST_F(LoopTest, TasksFromManyThreadsRunOnceInPostingOrderOnTheLoop) {
    ASSERT_EQ(EvLoopStartThread(loop_), 0);
    EXPECT_FALSE(EvLoopIsLoopThread(loop_));
    constexpr int kThreads = 4, kPerThread = 3000;
    std::vector<std::pair<int, int>> ran;  // (thread, sequence), appended on the loop only
    std::atomic<int> count{0};
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i)
                Post([&, t, i] { ran.emplace_back(t, i), ++count; });
        });
    }
    for (auto& p : posters) p.join();
    ASSERT_TRUE(WaitUntil([&] { return count.load() == kThreads * kPerThread; }));
    EvLoopStopAndJoin(loop_);
    std::vector<int> next(kThreads, 0);
    for (const auto& [t, i] : ran) ASSERT_EQ(i, next[t]++) << "thread " << t;
}

// Posted before the run, from a running task (run after it), right before a stop, after a
// stop (a destroy runs those on the calling thread): each runs once, in order.
TEST_F(LoopTest, NoPostedTaskIsLostAndNoneRunsInsideItsPost) {
    std::vector<std::string> trace;
    Post([&] { trace.push_back("idle"); }, true);
    EvRunInLoop(loop_, EV_TASK_T{nullptr, nullptr, 0});  // refused
    ASSERT_EQ(EvLoopStartThread(loop_), 0);
    EXPECT_EQ(EvLoopStartThread(loop_), -1);  // one thread runs a loop
    EXPECT_EQ(EvLoopRun(loop_), -1);
    Post([&] {
        Post([&] { trace.push_back("run"); });
        Post([&] { trace.push_back("queue"); }, true);
        trace.push_back("outer");
    });
    EvLoopStopAndJoin(loop_);
    std::thread runner([&] { EXPECT_EQ(EvLoopRun(loop_), 0); });  // a stopped loop runs again
    Post([&] { EvLoopStop(loop_), Post([&] { trace.push_back("stopped"); }); });
    runner.join();
    Post([&] { Post([&] { trace.push_back("destroy 2"); }), trace.push_back("destroy 1"); });
    EvLoopDestroy(loop_);
    loop_ = nullptr;
    EXPECT_EQ(trace, (std::vector<std::string>{"idle", "outer", "run", "queue", "stopped",
                                               "destroy 1", "destroy 2"}));
}

// What one timer saw; kept alive by the test until the loop is gone.
struct Probe {
    UvTimer* timer = nullptr;
    std::atomic<int> fires{0}, wrong{0};  // wrong: off the loop, another timer, or released
    std::atomic<bool> released{false};    // set once UvTimerUninit returned
    int uninitAt = 0;                     // > 0: the callback releases its timer at that fire
    Clock::time_point firstFire{};
};

void OnTick(UvTimer* timer, void* ptr) {
    auto* p = static_cast<Probe*>(ptr);
    if (p->fires == 0) p->firstFire = Clock::now();
    p->wrong += !EvLoopIsLoopThread(sLoop) || timer != p->timer || p->released ? 1 : 0;
    if (++p->fires == p->uninitAt) {
        UvTimerUninit(timer);
        p->released = true;
    }
}

bool Arm(Probe& p, uint64_t periodMs, bool repeat) {
    p.timer = UvTimerInit(sLoop);
    if (p.timer != nullptr) UvTimerStart(p.timer, OnTick, &p, periodMs, repeat);
    return p.timer != nullptr;
}

void Release(Probe& p) {
    UvTimerUninit(p.timer);
    p.released = true;
}

class TimerTest : public LoopTest {};

// Started before the run or from another thread, released in their own callback or after
// the loop stopped. A repeating period of 0 (it would spin) or no callback starts nothing.
TEST_F(TimerTest, TimersFireOnTheLoopAfterOnePeriodUntilReleased) {
    EXPECT_EQ(UvTimerInit(nullptr), nullptr);
    Probe early, slow, once, self, never;
    self.uninitAt = 3;
    ASSERT_TRUE(Arm(early, 1, true));
    ASSERT_EQ(EvLoopStartThread(loop_), 0);
    const auto started = Clock::now();
    ASSERT_TRUE(Arm(slow, 100, true) && Arm(once, 1, false) && Arm(self, 1, true) &&
                Arm(never, 0, true));
    UvTimerStart(never.timer, nullptr, &never, 1, true);
    ASSERT_TRUE(WaitUntil([&] { return slow.fires >= 2 && early.fires >= 20; }));
    EXPECT_GE(slow.firstFire - started, std::chrono::milliseconds(90));
    EXPECT_EQ(once.fires.load(), 1);
    EXPECT_EQ(self.fires.load(), 3);
    EXPECT_EQ(never.fires.load(), 0);
    EvLoopStopAndJoin(loop_);
    for (Probe* p : {&early, &slow, &once, &self, &never}) {
        if (p != &self) Release(*p);
        EXPECT_EQ(p->wrong.load(), 0);
    }
}

// Threads create, start and release 1 ms timers over and over, releasing them while they
// fire; nothing may fire after a release returned.
TEST_F(TimerTest, UninitFromAnotherThreadWhileFiringStopsAllCallbacks) {
    ASSERT_EQ(EvLoopStartThread(loop_), 0);
    std::vector<std::deque<Probe>> probes(3);  // deque: Probe addresses stay put
    std::vector<std::thread> threads;
    for (auto& list : probes) {
        threads.emplace_back([&] {
            for (int r = 0; r < 40; ++r) {
                Probe& p = list.emplace_back();
                ASSERT_TRUE(Arm(p, 1, true) && WaitUntil([&] { return p.fires >= 2; }));
                Release(p);
            }
        });
    }
    for (auto& th : threads) th.join();
    Probe witness;  // lets the loop turn, so that a stray callback had its chance
    ASSERT_TRUE(Arm(witness, 1, true) && WaitUntil([&] { return witness.fires >= 20; }));
    Release(witness);
    for (const auto& list : probes)
        for (const Probe& p : list) EXPECT_EQ(p.wrong.load(), 0);
}

}  // namespace
