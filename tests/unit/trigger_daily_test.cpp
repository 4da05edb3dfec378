// The daily run with a clock the test sets and a timer it fires by hand.
#include "tests/unit/trigger_fixture.h"

namespace trigtest {
namespace {

constexpr const char* kTimerEvent = "[logCompTriggerTaskId]LogCompress Event Timer";
bool gAllowed = true;
bool Allowed() {
    return gAllowed;
}

class TriggerDaily : public TriggerTest {
  protected:
    void SetUp() override {
        TriggerTest::SetUp();
        gAllowed = true;
        for (const char* d : {"2026-12-01", "2026-12-02", "2026-12-03", "2026-12-04"}) {
            ASSERT_TRUE(Touch(std::string(d) + ".log"));
        }
    }
    void StartAt(int hour, int minute = 0, int second = 0) {
        Start(&Allowed, hour, minute, second);
        ASSERT_EQ(fakes::ActiveTimers().size(), 1u);
        timer_ = fakes::ActiveTimers()[0];
    }
    // One tick at that UTC time; returns the "trigger at" line it logged, or "".
    std::string Tick(int day, int hour, int minute, int second = 0) {
        fakes::SetNow(fakes::MakeUtc(2026, 12, day, hour, minute, second));
        const size_t before = fakes::LogLines().size();
        fakes::FireTimer(timer_);
        std::string fired;
        const auto lines = fakes::LogLines();
        for (size_t i = before; i < lines.size(); i++) {
            if (lines[i].text.rfind("LogCompTriggerOnTimer: trigger at ", 0) == 0) {
                fired = lines[i].text.substr(34);
            }
        }
        fakes::PumpUntil([] { return MapSize() == 0; });
        return fired;
    }
    UvTimer* timer_ = nullptr;
};

TEST_F(TriggerDaily, FiresOncePerDayFromTheTriggerTimeOn) {
    StartAt(2);
    EXPECT_EQ(Tick(3, 1, 55), "");
    EXPECT_EQ(fakes::LogCount(LEVEL_INFO, "LogCompTriggerOnTimer: New Day"), 1);
    EXPECT_EQ(Tick(3, 2, 5), "2026-12-02 02:05:00");
    EXPECT_EQ(fakes::LogCount(LEVEL_INFO, kTimerEvent), 1);
    EXPECT_EQ(fakes::CompressStarts(LogPath("2026-12-02.log")), 1);
    EXPECT_EQ(Tick(3, 2, 15), "");
    EXPECT_EQ(Tick(3, 23, 55), "");
    EXPECT_EQ(Tick(4, 0, 5), "");
    EXPECT_EQ(fakes::LogCount("LogCompTriggerOnTimer: New Day"), 2);
    EXPECT_EQ(Tick(4, 2, 0), "2026-12-03 02:00:00");
    EXPECT_EQ(fakes::LogCount(kTimerEvent), 2);
    EXPECT_EQ(Results::Count(), 0u);
}

TEST_F(TriggerDaily, TriggerTimesAtTheEdgesOfTheDay) {
    struct {
        int hour, minute;
        std::vector<std::pair<int, int>> ticks;  // day, minute of day
        std::vector<std::string> fired;
    } cases[] = {
        {0, 0, {{3, 7}, {3, 17}, {4, 7}}, {"2026-12-02 00:07:00", "", "2026-12-03 00:07:00"}},
        {23, 55, {{3, 23 * 60 + 50}, {4, 0}, {4, 23 * 60 + 57}}, {"", "", "2026-12-03 23:57:00"}},
        {24, 0, {{3, 23 * 60 + 59}, {4, 0}}, {"", ""}},
        {-1, 0, {{3, 0}, {3, 10}, {4, 0}}, {"2026-12-02 00:00:00", "", "2026-12-03 00:00:00"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.hour) + ":" + std::to_string(c.minute));
        StartAt(c.hour, c.minute);
        for (size_t i = 0; i < c.ticks.size(); i++) {
            const auto [day, minute] = c.ticks[i];
            EXPECT_EQ(Tick(day, minute / 60, minute % 60), c.fired[i]) << i;
        }
        LogCompTriggerUninit();
        fakes::PumpLoop();
    }
}

TEST_F(TriggerDaily, WaitsForPermissionAndReArmsWhenCancelled) {
    fakes::Gate gate;
    fakes::CompressSetRunHook([&](const std::string&, int slice, uint32_t) {
        gate.Wait();
        return slice == 0 ? FILE_COMPRESS_STATUS_ONGOING : FILE_COMPRESS_STATUS_FINISHED;
    });
    StartAt(2);
    gAllowed = false;
    EXPECT_EQ(Tick(3, 2, 5), "");
    EXPECT_EQ(fakes::LogCount("LogCompTriggerOnTimer: New Day"), 1);
    EXPECT_EQ(fakes::LogCount(LEVEL_INFO, "LogCompTriggerOnTimer: compress is not allowed"), 1);
    gAllowed = true;
    fakes::SetNow(fakes::MakeUtc(2026, 12, 3, 2, 15));
    fakes::FireTimer(timer_);
    fakes::PumpLoop();
    EXPECT_EQ(fakes::LogCount("LogCompTriggerOnTimer: trigger at 2026-12-02 02:15:00"), 1);
    ASSERT_TRUE(fakes::WaitUntil([] { return !fakes::CompressCalls().empty(); }));
    EXPECT_FALSE(sLogCompTriggerObj.needTriggerEveryDay.load());

    EXPECT_EQ(Post(MakeReq("logCompTriggerTaskId", LOG_COMPRESS_OPTION_STOP)), 0);
    gate.Open();
    ASSERT_TRUE(fakes::PumpUntil([] { return MapSize() == 0; }));
    EXPECT_EQ(fakes::LogCount(
                  "[logCompTriggerTaskId]TimerLogCompCallback: taskId 0 compress failed, ret = 3"),
              1);
    EXPECT_TRUE(sLogCompTriggerObj.needTriggerEveryDay.load());
    EXPECT_EQ(Tick(3, 2, 25), "2026-12-02 02:25:00");
    EXPECT_EQ(Tick(3, 2, 35), "");
}

TEST_F(TriggerDaily, YesterdayIsTheUtcOneAndAFailedRunIsNotRetried) {
    const char* oldTz = getenv("TZ");
    const std::string saved = oldTz ? oldTz : "";
    setenv("TZ", "EAST-14", 1);
    tzset();
    unlink(LogPath("2026-12-02.log").c_str());
    StartAt(2);
    EXPECT_EQ(Tick(3, 23, 30), "2026-12-02 23:30:00");  // local time is already 12-04
    EXPECT_EQ(Errors("[logCompTriggerTaskId]EventLogCompress failed, no file to compress"), 1);
    EXPECT_EQ(Tick(3, 23, 40), "");
    if (oldTz) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
    LogCompTriggerOnTimer(timer_, nullptr);
    EXPECT_EQ(Errors("LogCompTriggerOnTimer failed, ptr is NULL"), 1);
    struct tm tm {};
    EXPECT_FALSE(PreHandleLogCompTrigger(nullptr, &tm));
    EXPECT_FALSE(PreHandleLogCompTrigger(&sLogCompTriggerObj, nullptr));
    EXPECT_EQ(Errors("PreHandleLogCompTrigger failed, pObj or tm is NULL"), 2);
}

}  // namespace
}  // namespace trigtest
