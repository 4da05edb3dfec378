// Requests on the fake loop, where the test decides when the loop runs, when a compression
// slice ends and what time it is: what the intake refuses, what each completion tells the
// requester, stops and shutdown against waiting and running tasks, and the daily run.
#include <thread>

#include "tests/support/trigger_fixture.h"

namespace trigtest {
namespace {

const std::string kCancelled = "log compress cancelled";
bool gAllowed = true;
bool Allowed() {
    return gAllowed;
}

class TriggerRequests : public TriggerTest {
  protected:
    void SetUp() override {
        TriggerTest::SetUp();
        gAllowed = true;
        for (const char* day : {"2026-12-01", "2026-12-02", "2026-12-03", "2026-12-04"}) {
            ASSERT_TRUE(Touch(std::string(day) + ".log"));
        }
    }
    void TearDown() override {
        gate_.Open();
        TriggerTest::TearDown();
    }
    // Every compression stays in its first slice until the gate opens, and ends at its second.
    void HoldCompression() {
        fakes::CompressSetRunHook([this](const std::string&, int slice, uint32_t) {
            gate_.Wait();
            return slice == 0 ? FILE_COMPRESS_STATUS_ONGOING : FILE_COMPRESS_STATUS_FINISHED;
        });
    }
    static bool CompressionStarted() {
        return fakes::WaitUntil([] { return !fakes::CompressCalls().empty(); });
    }
    fakes::Gate gate_;
};

TEST_F(TriggerRequests, InitRefusesBadArgumentsAndUndoesAHalfStart) {
    LOG_COMP_TRIGGER_CONFIG config{{2, 0, 0}, nullptr};
    EXPECT_EQ(LogCompTriggerInit(nullptr, &config) + LogCompTriggerInit(fakes::Loop(), nullptr),
              -2);
    fakes::SetTimerInitFails(true);
    EXPECT_EQ(LogCompTriggerInit(fakes::Loop(), &config), -1);
    fakes::SetTimerInitFails(false);
    LogCompExecSetThreadCreateHook(
        [](pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) { return -1; });
    EXPECT_EQ(LogCompTriggerInit(fakes::Loop(), &config), -1);
    LogCompExecSetThreadCreateHook(nullptr);
    EXPECT_TRUE(fakes::ActiveTimers().empty());
    EXPECT_EQ(sLogCompTriggerObj.inited.load(), 0);

    Start(nullptr, 1);
    const fakes::TimerInfo timer = fakes::GetTimer(fakes::ActiveTimers().at(0));
    EXPECT_TRUE(timer.periodMs == 600000 && timer.repeat && timer.started);
    config = {{5, 0, 0}, &Allowed};
    EXPECT_EQ(LogCompTriggerInit(fakes::Loop(), &config), 0);  // running already: unchanged
    EXPECT_EQ(sLogCompTriggerObj.config.triggerTime.hour, 1);
    EXPECT_EQ(fakes::ActiveTimers().size(), 1u);
}

// Refused at once (-1), or failing on the loop (0, only logged): nothing runs, nobody hears.
TEST_F(TriggerRequests, RefusedPostsAreNeverAnsweredAndAnUnterminatedIdIsCut) {
    EXPECT_EQ(Post(Req("r", LOG_COMPRESS_OPTION_ONLY_COMPRESS)), -1);  // not started
    Start(&Allowed);
    EXPECT_EQ(LogCompTriggerPostTask(nullptr), -1);
    LOG_COMP_TRIGGER_REQ unterminated = Req("u", LOG_COMPRESS_OPTION_ONLY_COMPRESS);
    memset(unterminated.beginTime, 'x', sizeof unterminated.beginTime);  // "2026-12-03xxx..."
    memcpy(unterminated.beginTime, "2026-12-03", 10);
    const std::string out = LogPath("o.tar.gz");
    struct {
        LOG_COMP_TRIGGER_REQ req;
        bool allowed;
        int ret;
    } cases[] = {
        {Req("r", LOG_COMPRESS_OPTION_STOP), false, -1},
        {Req("r", LOG_COMPRESS_OPTION_FULL, "2026-12-02", "2026-12-02", out), false, -1},
        {Req("r", LOG_COMPRESS_OPTION_ONLY_COMPRESS, "2026-12-02", "2026-12-02"), false, -1},
        {Req("r", LOG_COMPRESS_OPTION_ONLY_COMPRESS, "2024-01-01", ""), true, -1},
        {Req("r", LOG_COMPRESS_OPTION_ONLY_COMPRESS, "2024-01-01", "2024-13-45"), true, -1},
        {Req("r", LOG_COMPRESS_OPTION_ONLY_COMPRESS, "1899-12-31", "2024-01-01"), true, -1},
        {Req("r", LOG_COMPRESS_OPTION_ONLY_COMPRESS, "tomorrow", "2024-01-01"), true, -1},
        {unterminated, true, -1},
        {Req("nobody", LOG_COMPRESS_OPTION_STOP, "junk", "junk"), true, 0},  // an unknown id
        {Req("none", LOG_COMPRESS_OPTION_ONLY_COMPRESS, "2026-11-01", "2026-11-02"), true, 0},
        {Req("odd", 3), true, 0},
        {Req("tgz", LOG_COMPRESS_OPTION_FULL, "2026-12-02", "2026-12-02", LogPath("o.tgz")), true,
         0},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        gAllowed = cases[i].allowed;
        EXPECT_EQ(Post(cases[i].req), cases[i].ret) << "case " << i;
    }
    EXPECT_EQ(fakes::CompressCalls().size() + fakes::ShellCalls().size() + MapSize(), 0u);
    EXPECT_TRUE(HeardSoFar().empty());

    LOG_COMP_TRIGGER_REQ req = Req("", LOG_COMPRESS_OPTION_ONLY_COMPRESS);
    memset(req.strTaskId, 'a', sizeof req.strTaskId);
    EXPECT_EQ(Post(req), 0);
    ASSERT_TRUE(WaitHeard(1));
    EXPECT_EQ(HeardSoFar(), (std::vector<Heard>{{std::string(127, 'a'), kOk, ""}}));
}

TEST_F(TriggerRequests, StopCancelsAWaitingTaskAtOnceAndARunningOneAtItsNextSlice) {
    HoldCompression();
    Start();
    ASSERT_EQ(Post(Req("busy", 2, "2026-12-01", "2026-12-01")), 0);
    ASSERT_TRUE(CompressionStarted());
    ASSERT_EQ(Post(Req("queued", 2, "2026-12-02", "2026-12-02")), 0);
    // A second request under a registered id is refused, a package before anything is packed.
    EXPECT_EQ(Post(Req("busy", 2, "2026-12-02", "2026-12-02")), 0);
    EXPECT_EQ(Post(Req("busy", 1, "2026-12-02", "2026-12-02", LogPath("b.tar.gz"))), 0);
    EXPECT_TRUE(fakes::ShellCalls().empty());

    // The waiting task is answered within the stop; its requester may post from that answer.
    const LOG_COMP_TRIGGER_REQ next = Req("next", 2, "2026-12-02", "2026-12-02");
    hook_ = [&](const LOG_COMP_TRIGGER_RES* res) {
        if (res->result == kReject && std::string(res->strTaskId) == "queued") {
            EXPECT_EQ(LogCompTriggerPostTask(&next), 0);
        }
    };
    EXPECT_EQ(Post(Req("queued", LOG_COMPRESS_OPTION_STOP)), 0);
    EXPECT_EQ(HeardSoFar(), (std::vector<Heard>{{"queued", kReject, kCancelled}}));
    EXPECT_EQ(Post(Req("busy", LOG_COMPRESS_OPTION_STOP)), 0);
    EXPECT_EQ(HeardSoFar().size(), 1u);                                // busy is in a slice
    EXPECT_EQ(Post(Req("queued", 2, "2026-12-02", "2026-12-02")), 0);  // the id is free again
    gate_.Open();
    ASSERT_TRUE(WaitHeard(4));
    EXPECT_EQ(HeardSoFar(), (std::vector<Heard>{{"queued", kReject, kCancelled},
                                                {"busy", kReject, kCancelled},
                                                {"next", kOk, ""},
                                                {"queued", kOk, ""}}));
    EXPECT_EQ(fakes::CompressStarts(LogPath("2026-12-02.log")), 2);
}

TEST_F(TriggerRequests, UninitAnswersEveryTaskOnceAndTheNextStartWaitsForTheRelease) {
    HoldCompression();
    Start();
    EXPECT_EQ(Post(Req("run", 2, "2026-12-01", "2026-12-02")), 0);
    ASSERT_TRUE(CompressionStarted());
    EXPECT_EQ(Post(Req("wait1", 2, "2026-12-01", "2026-12-01")), 0);
    EXPECT_EQ(Post(Req("wait2", 2, "2026-12-02", "2026-12-02")), 0);

    LogCompTriggerUninit();
    EXPECT_TRUE(fakes::ActiveTimers().empty());  // no daily tick any more
    const LOG_COMP_TRIGGER_REQ late = Req("late", 2);
    EXPECT_EQ(LogCompTriggerPostTask(&late), -1);
    EXPECT_EQ(LogCompTriggerInit(fakes::Loop(), &config_), -1);  // the release has not run
    // The running slice ends once the release has cancelled the two waiting tasks; ended
    // earlier, the worker could run them before their cancel came.
    std::thread opener([&] {
        fakes::WaitUntil([] { return HeardSoFar().size() >= 2; });
        gate_.Open();
    });
    fakes::PumpLoop();
    opener.join();
    EXPECT_EQ(HeardSoFar(), (std::vector<Heard>{{"wait1", kReject, kCancelled},
                                                {"wait2", kReject, kCancelled},
                                                {"run", kReject, kCancelled}}));
    EXPECT_EQ(sLogCompExecObj.inited.load() + MapSize(), 0u);

    Start();
    EXPECT_EQ(Post(Req("again", 2, "2026-12-01", "2026-12-01")), 0);
    EXPECT_EQ(
        fakes::LogCount("[again]EventLogCompress add compress task, taskId = 0, fileCount = 1"),
        1);  // ids count from 0 again
    ASSERT_TRUE(WaitHeard(4));
}

// ---- the daily run, in a time zone far from UTC: its days are UTC days all the same.

class TriggerDaily : public TriggerRequests {
  protected:
    void StartAt(int hour, int minute) {
        setenv("TZ", "EAST-14", 1);  // 2026-12-03 10:00 UTC is 2026-12-04 00:00 there
        tzset();
        Start(&Allowed, hour, minute);
        timer_ = fakes::ActiveTimers().at(0);
    }
    // One tick at that UTC time: the file whose compression it started, or "".
    std::string Tick(int day, int hour, int minute) {
        fakes::SetNow(fakes::MakeUtc(2026, 12, day, hour, minute));
        const size_t before = fakes::CompressCalls().size();
        fakes::FireTimer(timer_);
        EXPECT_TRUE(fakes::PumpUntil([] { return MapSize() == 0; }));
        const auto calls = fakes::CompressCalls();
        return calls.size() > before ? calls[before].file.substr(kLogDir.size() + 1) : "";
    }
    UvTimer* timer_ = nullptr;
};

TEST_F(TriggerDaily, CompressesYesterdayOncePerDayFromTheTriggerTimeOn) {
    const std::string d2 = "2026-12-02.log", d3 = "2026-12-03.log";
    struct {
        int hour, minute;
        std::vector<std::tuple<int, int, int, std::string>> ticks;  // day, hour, minute, file
    } cases[] = {
        {2, 0, {{3, 1, 55, ""}, {3, 2, 5, d2}, {3, 2, 15, ""}, {3, 23, 55, ""}, {4, 2, 0, d3}}},
        {0, 0, {{3, 0, 7, d2}, {3, 0, 17, ""}, {4, 0, 7, d3}}},
        {23, 55, {{3, 23, 50, ""}, {4, 0, 0, ""}, {4, 23, 57, d3}}},
        {24, 0, {{3, 23, 59, ""}, {4, 0, 0, ""}}},
        {-1, 0, {{3, 0, 0, d2}, {3, 0, 10, ""}, {4, 0, 0, d3}}},
    };
    for (const auto& c : cases) {
        StartAt(c.hour, c.minute);
        for (const auto& [day, hour, minute, file] : c.ticks) {
            EXPECT_EQ(Tick(day, hour, minute), file)
                << c.hour << ":" << c.minute << " ticked " << day << " " << hour << ":" << minute;
        }
        LogCompTriggerUninit();
        fakes::PumpLoop();
    }
    EXPECT_TRUE(HeardSoFar().empty());  // the daily run answers nobody
}

TEST_F(TriggerDaily, WaitsForPermissionRunsAgainAfterACancelButNotAfterAFailure) {
    StartAt(2, 0);
    gAllowed = false;
    EXPECT_EQ(Tick(3, 2, 5), "");
    gAllowed = true;
    LogCompExecSetExit(true);  // the run is cancelled
    EXPECT_EQ(Tick(3, 2, 15), "2026-12-02.log");
    LogCompExecSetExit(false);
    EXPECT_EQ(Tick(3, 2, 25), "2026-12-02.log");
    EXPECT_EQ(Tick(3, 2, 35), "");
    ASSERT_EQ(unlink(LogPath("2026-12-03.log").c_str()), 0);
    EXPECT_EQ(Tick(4, 2, 5), "");
    EXPECT_EQ(Tick(4, 2, 15), "");
    EXPECT_EQ(fakes::LogCount("[logCompTriggerTaskId]EventLogCompress failed, no file to compress"),
              1);
}

}  // namespace
}  // namespace trigtest
