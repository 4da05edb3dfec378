// Load on the reference host (a real libuv loop, real tar, the real gzip compressor): host
// threads post package, compress-only, stop, duplicate and malformed requests with random ids
// and date ranges; another toggles the executor's pause, dynamic mode and exit and the host's
// permission to compress; new days of logs keep arriving; the trigger is stopped and started
// again several times. Afterwards every accepted request was answered exactly once or its
// failed dispatch was logged, nothing hung (a hang ends at CTest's timeout), nothing leaked
// (LeakSanitizer in the ASan build), and every log line is still there.
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <shared_mutex>

#include "logCompress/LogCompExec.h"
#include "logCompress/LogCompExecInternal.h"
#include "tests/support/env.h"
#include "tests/support/realhost.h"

namespace rel {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
const std::string kLogDir = LOGCOMP_TEST_LOG_DIR;
const std::string kSinkFile = LOGCOMP_BINARY_DIR "/rel_stress.log";
constexpr int kPosters = 3, kReinits = 5;
constexpr uint64_t kSeed = 20261206;

std::atomic<bool> gAllowed{true};
struct Post {
    std::string id;  // for a stop: the id it stops
    int option, rc;
};
bool IsWork(int option) {
    return option == LOG_COMPRESS_OPTION_FULL || option == LOG_COMPRESS_OPTION_ONLY_COMPRESS;
}

class Stress : public ::testing::Test {
  protected:
    void SetUp() override {
        if (Emulated()) {
            GTEST_SKIP() << "under qemu user-mode emulation, the shell runner's fork from a "
                            "process with this many busy threads hangs now and then";
        }
        ASSERT_TRUE(EmptyDir(kLogDir));
        for (int i = 5; i >= 0; --i) days_.push_back(ShiftDate(today_, -i));
        ASSERT_TRUE(AddDays(kLogDir, days_, 256 << 10, kSeed, &expected_));
        ASSERT_TRUE(LogToFile(kSinkFile));
        gResults.Clear();
        // The worker's 5-second pause pass, shortened so that pauses can come often.
        LogCompExecSetPauseSleepHook([](unsigned) { return usleep(20000), 0u; });
        ASSERT_TRUE(loop_.Start());
        ASSERT_EQ(LogCompTriggerInit(loop_.Get(), &config_), 0);
    }
    void TearDown() override {
        LogCompExecSetPauseSleepHook(nullptr);
        LogToStderr();
    }

    // Mostly new ids and the last days added (which still have files) or today; sometimes a
    // stop or a duplicate of a recent id, an unknown option, any day, a day without logs,
    // another accepted date format, a reversed range or no date at all.
    void Poster(int index) {
        std::mt19937_64 rng(kSeed + static_cast<uint64_t>(index));
        for (uint64_t seq = 0; !stop_; ++seq) {
            const std::string fresh = "s" + std::to_string(index) + "-" + std::to_string(seq);
            std::unique_lock<std::mutex> lock(mu_);
            const std::string recent = recent_.empty() ? fresh : recent_[rng() % recent_.size()];
            const std::string any = days_[rng() % days_.size()];
            const std::string last = days_[days_.size() - 1 - rng() % 4];
            lock.unlock();
            const int roll = static_cast<int>(rng() % 100), range = static_cast<int>(rng() % 100);
            std::string slashed = any;
            std::replace(slashed.begin(), slashed.end(), '-', '/');
            // clang-format off
            Post post{roll >= 75 && roll < 94 ? recent : fresh,
                      roll < 35 ? LOG_COMPRESS_OPTION_FULL : roll < 75 ? LOG_COMPRESS_OPTION_ONLY_COMPRESS
                      : roll < 88 ? LOG_COMPRESS_OPTION_STOP
                      : roll < 94 ? (rng() % 2 ? LOG_COMPRESS_OPTION_FULL : LOG_COMPRESS_OPTION_ONLY_COMPRESS)
                      : rng() % 2 ? 3 : 7, -1};
            const auto [begin, end] =
                range < 35 ? std::pair{ShiftDate(today_, -static_cast<int>(rng() % 3)), today_}
                : range < 85 ? std::pair{last, ShiftDate(last, static_cast<int>(rng() % 2))}
                : range < 92 ? std::pair{ShiftDate(any, 2), any}
                : range < 96 ? std::pair<std::string, std::string>{"1999-01-01", "1999-01-02"}
                : std::pair{slashed, slashed};
            // clang-format on
            const auto req = MakeReq(post.id, post.option, roll == 99 ? "2026-13-45" : begin, end,
                                     kLogDir + "/pkg-" + fresh + ".tar.gz");
            {
                std::shared_lock<std::shared_mutex> posting(postGate_);
                post.rc = LogCompTriggerPostTask(&req);
            }
            lock.lock();
            posts_.push_back(post);
            if (post.rc == 0 && IsWork(post.option)) recent_.push_back(post.id);
            if (recent_.size() > 16) recent_.erase(recent_.begin());
            lock.unlock();
            // The slower builds get fewer requests, not a longer backlog.
            std::this_thread::sleep_for(milliseconds((REL_SANITIZED ? 3 : 1) * (5 + rng() % 35)));
        }
    }

    void Controller() {
        std::mt19937_64 rng(kSeed ^ 0xc0ffee);
        while (!stop_) {
            const int roll = static_cast<int>(rng() % 100);
            void (*set)(bool) = roll < 40   ? LogCompExecSetDynamic
                                : roll < 60 ? LogCompExecSetPause
                                : roll < 70 ? LogCompExecSetExit
                                            : +[](bool on) { gAllowed = !on; };
            if (roll < 40) set(rng() % 2 == 0);
            if (roll >= 40 && roll < 75) {
                set(true);
                std::this_thread::sleep_for(milliseconds(10 + rng() % 60));
                set(false);
            }
            std::this_thread::sleep_for(milliseconds(30 + rng() % 70));
        }
    }

    RealLoop loop_;
    LOG_COMP_TRIGGER_CONFIG config_{{2, 0, 0}, [] { return gAllowed.load(); }};
    const std::string today_ = loggen::UtcDate();
    Lines expected_;
    std::mutex mu_;  // guards days_, recent_, posts_
    std::vector<std::string> days_, recent_;
    std::vector<Post> posts_;
    std::shared_mutex postGate_;  // held by every post; taken whole by an init
    std::atomic<bool> stop_{false};
};

TEST_F(Stress, EveryRequestAnsweredNothingLostNothingHung) {
    const auto duration = milliseconds(static_cast<int64_t>(ForBuild(40, 25, 25) * 1000));
    int reinits = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < kPosters; ++i) threads.emplace_back([this, i] { Poster(i); });
    threads.emplace_back([this] { Controller(); });
    const auto start = Clock::now();
    for (auto nextReinit = start + duration / (kReinits + 1); Clock::now() - start < duration;
         std::this_thread::sleep_for(milliseconds(500))) {  // the pace of new days
        // An older day each time; the newest additions still have files to take.
        const std::string day = ShiftDate(today_, -static_cast<int>(days_.size()));
        ASSERT_TRUE(AddDays(kLogDir, {day}, 256 << 10, kSeed, &expected_));
        std::lock_guard<std::mutex>{mu_}, days_.push_back(day);
        if (Clock::now() < nextReinit) continue;
        // Uninit while the posters keep posting, then init again once no post is half way
        // through and the loop has run everything queued by then (the trigger's own guard
        // only refuses an init before the release ran).
        LogCompTriggerUninit();
        std::unique_lock<std::shared_mutex> noPosts(postGate_);
        ASSERT_TRUE(loop_.Run() && loop_.Run());
        ASSERT_EQ(LogCompTriggerInit(loop_.Get(), &config_), 0);
        ++reinits, nextReinit += duration / (kReinits + 1);
    }
    stop_ = true;
    for (auto& t : threads) t.join();
    // The release joins the worker, so every result is in once it has run; the records'
    // own releases, queued meanwhile, run before the second call.
    LogCompTriggerUninit();
    ASSERT_TRUE(loop_.Run() && loop_.Run());
    loop_.Stop();
    LogToStderr();

    // Per id: accepted work, stops and unknown options against results heard or failed
    // dispatches logged, stops logged and unknown options logged. Each result is a success, a
    // failure or a cancel (their texts are shown on the fakes), at 100 %.
    std::map<std::string, std::array<int, 6>> byId;
    for (const auto& p : posts_)
        if (p.rc == 0)
            ++byId[p.id][IsWork(p.option) ? 0 : p.option == LOG_COMPRESS_OPTION_STOP ? 1 : 2];
    std::map<int, int> kinds;  // by result; any result not at 100 % in mode 0 under INT_MIN
    for (const auto& r : gResults.All())
        ++byId[r.id][3], ++kinds[r.progress == 100 && r.mode == 0 ? r.result : INT_MIN];
    EXPECT_GT(kinds[LOG_COMP_TRIGGER_RESULT_SUCCESS], 0);
    for (int kind : {LOG_COMP_TRIGGER_RESULT_SUCCESS, LOG_COMP_TRIGGER_RESULT_FAILED,
                     LOG_COMP_TRIGGER_RESULT_REJECT})
        kinds.erase(kind);
    EXPECT_EQ(kinds, (std::map<int, int>{})) << "results other than a success, failure or cancel";
    std::map<std::string, int> logged = Logged(kSinkFile);
    int mismatches = 0;
    for (auto& [id, t] : byId) {
        const std::string event = "[" + id + "]LogCompTriggerEventProc ";
        t[3] +=
            logged[event + "failed, compressOption 1"] + logged[event + "failed, compressOption 2"];
        t[4] = logged["[" + id + "]LogCompress Event Stop"];
        t[5] =
            logged[event + "unknown compressOption 3"] + logged[event + "unknown compressOption 7"];
        EXPECT_TRUE((t[0] == t[3] && t[1] == t[4] && t[2] == t[5]) || ++mismatches > 10)
            << "[" << id << "] accepted work, stops, unknown options / answered or failed, "
            << "stops, unknown: " << ::testing::PrintToString(t);
    }
    EXPECT_GE(reinits, 2);
    const Inventory after = TakeInventory(kLogDir);
    EXPECT_EQ(expected_.MissingFrom(after.lines), "");
    EXPECT_EQ(after.damaged.size() + after.temps.size() + after.cutTars.size(), 0u)
        << ::testing::PrintToString(after.names);
}

// A post held in the allowed-callback across an uninit, the release and a new init: the init
// must not write what that late post and its dispatch use (the loop, the task map) unguarded.
// ThreadSanitizer reports such a race, LeakSanitizer a map entry lost to a reset of the map.
std::promise<void> gInsidePost, gUninitDone;
TEST(Reinit, InitDoesNotRaceWithALateDispatch) {
    const std::string today = loggen::UtcDate();
    ASSERT_TRUE(EmptyDir(kLogDir) && AddDays(kLogDir, {today}, 16 << 10, 1));
    ASSERT_TRUE(LogToFile(LOGCOMP_BINARY_DIR "/rel_reinit.log"));
    RealLoop loop;
    ASSERT_TRUE(loop.Start());
    LOG_COMP_TRIGGER_CONFIG holding{{2, 0, 0}, [] {
                                        static std::shared_future<void> done =
                                            gUninitDone.get_future();
                                        static std::once_flag once;
                                        std::call_once(once, [] { gInsidePost.set_value(); });
                                        return done.wait_for(60s) == std::future_status::ready;
                                    }};
    ASSERT_EQ(LogCompTriggerInit(loop.Get(), &holding), 0);
    std::thread poster([&] {
        const auto req = MakeReq("late", LOG_COMPRESS_OPTION_ONLY_COMPRESS, today, today);
        EXPECT_EQ(LogCompTriggerPostTask(&req), 0);
    });
    ASSERT_EQ(gInsidePost.get_future().wait_for(60s), std::future_status::ready);
    LogCompTriggerUninit();
    ASSERT_TRUE(loop.Run());  // the release has run: the guard lets an init through
    gUninitDone.set_value();
    LOG_COMP_TRIGGER_CONFIG config{{2, 0, 0}, nullptr};
    EXPECT_EQ(LogCompTriggerInit(loop.Get(), &config), 0);
    poster.join();
    LogCompTriggerUninit();
    ASSERT_TRUE(loop.Run());
    loop.Stop();
    LogToStderr();
}

}  // namespace
}  // namespace rel
