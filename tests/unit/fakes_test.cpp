// The fakes keep their promises: posts never run inside the call, the clock is the test's.
#include <gtest/gtest.h>

#include <thread>

#include "tests/fakes/fakes.h"

namespace {

void Append(void* p) {
    static_cast<std::vector<int>*>(p)->push_back(1);
}

TEST(Fakes, LoopRunsPostsOnlyWhenPumpedAndClockIsSettable) {
    fakes::ResetAll();
    std::vector<int> ran;
    EvRunInLoop(fakes::Loop(), EV_TASK_T{Append, &ran, 0});
    EXPECT_TRUE(ran.empty());
    std::thread([&] { EvQueueInLoop(fakes::Loop(), EV_TASK_T{Append, &ran, 0}); }).join();
    EXPECT_EQ(fakes::PumpLoop(), 2u);
    EXPECT_EQ(ran.size(), 2u);

    fakes::SetNow(fakes::MakeUtc(2024, 3, 7, 10, 0, 0));
    EXPECT_EQ(time(nullptr), 1709805600);
    fakes::ClearNow();
    EXPECT_GT(time(nullptr), 1709805600);
}

TEST(Fakes, WaitUntilWakesOnLogLinesFromAnotherThread) {
    fakes::ResetAll();
    std::thread t([] { log_sendByLevelFile(LOG_SYSTEM, LEVEL_INFO, "f", 1, "hello %d", 7); });
    EXPECT_TRUE(fakes::LogWaitFor("hello 7"));
    t.join();
    ASSERT_TRUE(fakes::LogFind("hello 7"));
    EXPECT_EQ(fakes::LogFind("hello 7")->func, "f");
}

}  // namespace
