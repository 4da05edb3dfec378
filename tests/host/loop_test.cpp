// The reference event loop and timers on a real libuv loop, run on a thread of its own.
#include <gtest/gtest.h>

#include <deque>

#include "event/ev_host.h"
#include "event/ev_loop.h"
#include "event/uv_timer.h"
#include "tests/support/private_tmpfs.h"

namespace {

using Clock = std::chrono::steady_clock;

bool WaitUntil(const std::function<bool()>& pred) {
    for (const auto end = Clock::now() + std::chrono::seconds(20); !pred() && Clock::now() < end;)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return pred();
}

EvLoop* sLoop = nullptr;
// Tasks and timer callbacks that ran off the loop thread, and timer callbacks given another timer
// or run after their timer's release.
std::atomic<int> sWrong{0};

using Task = std::function<void()>;
void Post(Task body, bool queue = false) {
    auto run = [](void* p) {
        sWrong += !EvLoopIsLoopThread(sLoop);
        (*std::unique_ptr<Task>(static_cast<Task*>(p)))();
    };
    (queue ? EvQueueInLoop : EvRunInLoop)(sLoop, {run, new Task(body), 0});
}

// What one timer saw; kept alive by the test until the loop is gone.
struct Probe {
    std::atomic<UvTimer*> timer{nullptr};  // null once released
    std::atomic<int> fires{0};
    int uninitAt = 0;  // > 0: the callback releases its timer at that fire

    bool Arm(uint64_t periodMs, bool repeat) {
        timer = UvTimerInit(sLoop);
        return timer != nullptr && (UvTimerStart(timer, &OnTick, this, periodMs, repeat), true);
    }
    void Release() { UvTimerUninit(timer), timer = nullptr; }
    static void OnTick(UvTimer* timer, void* ptr) {
        auto* p = static_cast<Probe*>(ptr);
        sWrong += !EvLoopIsLoopThread(sLoop) || timer != p->timer;
        if (++p->fires == p->uninitAt) p->Release();
    }
};

// Tasks posted from many threads at once, before the run, from a running task (run after it), right
// before a stop, after a stop (a destroy runs those on the calling thread): each runs once, in
// the order of its poster.
TEST(LoopTest, NoTaskLostOrReorderedAndTimersFireOnTheLoopUntilReleased) {
    ASSERT_NE(sLoop = EvLoopCreate(), nullptr);
    std::string trace;
    Post([&] { trace += "idle "; }, true);
    EvRunInLoop(sLoop, EV_TASK_T{nullptr, nullptr, 0});  // refused
    // Started; not on the loop's thread here; one thread runs a loop.
    ASSERT_EQ((std::vector<int>{EvLoopStartThread(sLoop), EvLoopIsLoopThread(sLoop),
                                EvLoopStartThread(sLoop), EvLoopRun(sLoop)}),
              (std::vector<int>{0, false, -1, -1}));
    std::vector<int> next(4, 0);  // touched on the loop only; -1 once out of order
    hosttest::OnThreads(4, [&](int t) {
        for (int i = 0; i < 3000; ++i) Post([&, t, i] { next[t] = i == next[t] ? i + 1 : -1; });
    });
    Post([&] {
        Post([&] { trace += "run "; }), Post([&] { trace += "queue "; }, true), trace += "outer ";
    });
    EvLoopStopAndJoin(sLoop);
    EXPECT_EQ(next, std::vector<int>(4, 3000));
    std::thread runner([&] { EXPECT_EQ(EvLoopRun(sLoop), 0); });  // a stopped loop runs again
    Post([&] { EvLoopStop(sLoop), Post([&] { trace += "stopped "; }); });
    runner.join();
    Post([&] { Post([&] { trace += "destroy 2"; }), trace += "destroy 1 "; });
    EvLoopDestroy(sLoop);
    EXPECT_EQ(trace, "idle outer run queue stopped destroy 1 destroy 2");
    // Timers started before the run or from another thread, released in their own callback, from
    // other threads while they fire (over and over) or after the loop stopped: each fires on the
    // loop after one period, and never after its release returned. A repeating period of 0 (it
    // would spin) or no callback starts nothing.
    ASSERT_TRUE(UvTimerInit(nullptr) == nullptr && (sLoop = EvLoopCreate()) != nullptr);
    Probe early, slow, once, self, never;
    self.uninitAt = 3;
    ASSERT_TRUE(early.Arm(1, true) && EvLoopStartThread(sLoop) == 0);
    const auto started = Clock::now();
    ASSERT_TRUE(slow.Arm(100, true) && once.Arm(1, false) && self.Arm(1, true) &&
                never.Arm(0, true));
    UvTimerStart(never.timer, nullptr, &never, 1, true);
    ASSERT_TRUE(WaitUntil([&] { return slow.fires >= 1; }));
    EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(90));  // not before its period
    std::vector<std::deque<Probe>> churned(3);  // deque: Probe addresses stay put
    hosttest::OnThreads(3, [&](int t) {
        for (int r = 0; r < 40; ++r) {
            Probe& p = churned[t].emplace_back();
            ASSERT_TRUE(p.Arm(1, true) && WaitUntil([&] { return p.fires >= 2; }));
            p.Release();
        }
    });
    const int turns = early.fires;  // 20 more turns give a stray callback its chance
    ASSERT_TRUE(WaitUntil([&] { return slow.fires >= 2 && early.fires >= turns + 20; }));
    EXPECT_EQ((std::vector<int>{once.fires, self.fires, never.fires}), (std::vector<int>{1, 3, 0}));
    EvLoopStopAndJoin(sLoop);
    for (Probe* p : {&early, &slow, &once, &never}) p->Release();
    EvLoopDestroy(sLoop);
    EXPECT_EQ(sWrong, 0);
}

}  // namespace
