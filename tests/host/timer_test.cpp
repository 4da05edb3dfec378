// The reference timers on a real libuv loop: where callbacks run, and that none runs after
// UvTimerUninit returned, from whichever thread it is called.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <thread>
#include <vector>

#include "event/ev_host.h"
#include "event/uv_timer.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto deadline = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

// What one timer saw. Kept alive by the test until the loop is gone.
struct Probe {
    EvLoop* loop = nullptr;
    UvTimer* timer = nullptr;
    std::atomic<int> fires{0};
    std::atomic<int> offLoop{0};        // callbacks off the loop thread
    std::atomic<int> wrongArgs{0};      // callbacks with another timer or pointer
    std::atomic<bool> released{false};  // set once UvTimerUninit returned
    std::atomic<int> afterRelease{0};   // callbacks seen after that
    int uninitAt = 0;                   // > 0: the callback releases its timer at that fire
    Clock::time_point firstFire{};
};

void OnTick(UvTimer* timer, void* ptr) {
    auto* p = static_cast<Probe*>(ptr);
    if (p->fires == 0) {
        p->firstFire = Clock::now();
    }
    int n = ++p->fires;
    p->offLoop += EvLoopIsLoopThread(p->loop) ? 0 : 1;
    p->wrongArgs += timer == p->timer ? 0 : 1;
    p->afterRelease += p->released ? 1 : 0;
    if (n == p->uninitAt) {
        UvTimerUninit(timer);
        p->released = true;
    }
}

UvTimer* StartProbe(EvLoop* loop, Probe& p, uint64_t periodMs, bool repeat) {
    p.loop = loop;
    p.timer = UvTimerInit(loop);
    if (p.timer != nullptr) {
        UvTimerStart(p.timer, OnTick, &p, periodMs, repeat);
    }
    return p.timer;
}

void Release(Probe& p) {
    UvTimerUninit(p.timer);
    p.released = true;
}

void ExpectClean(const Probe& p) {
    EXPECT_EQ(p.offLoop.load(), 0);
    EXPECT_EQ(p.wrongArgs.load(), 0);
    EXPECT_EQ(p.afterRelease.load(), 0);
}

class TimerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        loop_ = EvLoopCreate();
        ASSERT_NE(loop_, nullptr);
    }
    void TearDown() override { EvLoopDestroy(loop_); }

    // Lets the loop turn a while, counted by a witness timer, so that a stray callback of a
    // released timer would have had its chance.
    void LetTheLoopTurn(int ticks = 20) {
        Probe witness;
        ASSERT_NE(StartProbe(loop_, witness, 1, true), nullptr);
        ASSERT_TRUE(WaitUntil([&] { return witness.fires >= ticks; }));
        Release(witness);
    }

    EvLoop* loop_ = nullptr;
};

TEST_F(TimerTest, TimersStartedOffTheLoopFireOnTheLoopAfterOnePeriod) {
    ASSERT_EQ(EvLoopStartThread(loop_), 0);
    Probe slow;
    Probe once;
    Probe fast;
    const auto started = Clock::now();
    ASSERT_NE(StartProbe(loop_, slow, 100, true), nullptr);
    ASSERT_NE(StartProbe(loop_, once, 1, false), nullptr);
    ASSERT_NE(StartProbe(loop_, fast, 1, true), nullptr);
    ASSERT_TRUE(WaitUntil([&] { return slow.fires >= 2 && fast.fires >= 20; }));
    EXPECT_GE(slow.firstFire - started, milliseconds(90));
    EXPECT_EQ(once.fires.load(), 1);  // not repeating
    for (Probe* p : {&slow, &once, &fast}) {
        Release(*p);
        ExpectClean(*p);
    }
}

// Several threads each create, start and release 1 ms timers over and over, releasing them
// while they fire; nothing may fire after a release returned.
TEST_F(TimerTest, UninitFromAnotherThreadWhileFiringStopsAllCallbacks) {
    ASSERT_EQ(EvLoopStartThread(loop_), 0);
    constexpr int kThreads = 3;
    constexpr int kRounds = 40;
    std::vector<std::deque<Probe>> probes(kThreads);  // deque: Probe addresses stay put
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                Probe& p = probes[t].emplace_back();
                if (StartProbe(loop_, p, 1, true) == nullptr ||
                    !WaitUntil([&] { return p.fires >= 2; })) {
                    ++failures;
                    return;
                }
                Release(p);
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    ASSERT_EQ(failures.load(), 0);
    LetTheLoopTurn();
    for (const auto& list : probes) {
        for (const Probe& p : list) {
            ExpectClean(p);
        }
    }
}

TEST_F(TimerTest, UninitInsideItsOwnCallbackIsTheLastCallback) {
    ASSERT_EQ(EvLoopStartThread(loop_), 0);
    Probe p;
    p.uninitAt = 3;
    ASSERT_NE(StartProbe(loop_, p, 1, true), nullptr);
    ASSERT_TRUE(WaitUntil([&] { return p.released.load(); }));
    LetTheLoopTurn();
    EXPECT_EQ(p.fires.load(), 3);
    ExpectClean(p);
}

// Timers may be set up before the loop runs and released after it stopped; the loop's
// destruction gives their memory back.
TEST_F(TimerTest, TimersOnAnIdleLoop) {
    Probe early;
    ASSERT_NE(StartProbe(loop_, early, 1, true), nullptr);
    UvTimer* never = UvTimerInit(loop_);
    ASSERT_NE(never, nullptr);
    ASSERT_EQ(EvLoopStartThread(loop_), 0);
    ASSERT_TRUE(WaitUntil([&] { return early.fires >= 3; }));
    EvLoopStopAndJoin(loop_);
    Release(early);
    UvTimerUninit(never);  // never started
    ExpectClean(early);
}

TEST_F(TimerTest, MisuseIsRefusedWithoutACrash) {
    EXPECT_EQ(UvTimerInit(nullptr), nullptr);
    UvTimerStart(nullptr, OnTick, nullptr, 10, true);
    UvTimerUninit(nullptr);
    Probe p;
    p.loop = loop_;
    p.timer = UvTimerInit(loop_);
    ASSERT_NE(p.timer, nullptr);
    UvTimerStart(p.timer, nullptr, &p, 10, true);  // no callback
    UvTimerStart(p.timer, OnTick, &p, 0, true);    // would spin
    ASSERT_EQ(EvLoopStartThread(loop_), 0);
    LetTheLoopTurn(5);
    EXPECT_EQ(p.fires.load(), 0);
    Release(p);
}

}  // namespace
