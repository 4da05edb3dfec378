// Load on the reference host (a real libuv loop, real tar, the real gzip compressor): host
// threads post package, compress-only, stop, duplicate and malformed requests with random ids
// and date ranges; another toggles the executor's pause, dynamic mode and exit and the host's
// permission to compress; new days of logs keep arriving; the trigger is stopped and started
// again several times. Afterwards every accepted request was answered exactly once or its
// failed dispatch was logged, nothing hung (a watchdog prints every thread's stack and aborts),
// nothing leaked (LeakSanitizer in the ASan build), and every log line is still there.
#include <gtest/gtest.h>
#include <sys/prctl.h>

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

// ---- the watchdog: asks the probe once a second whether the scenario still makes progress;
// when it names a stall, prints it and every thread's stack (through gdb), and aborts.

class Watchdog {
  public:
    explicit Watchdog(std::function<std::string()> probe)
        : thread_([this, probe] {
              std::unique_lock<std::mutex> lock(mu_);
              while (!cv_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; })) {
                  const std::string stall = probe();
                  if (stall.empty()) continue;
                  fprintf(stderr, "\nwatchdog: no progress: %s\n", stall.c_str());
                  fprintf(stderr, "==== stacks of every thread (pid %d)\n", getpid());
                  fflush(stderr);
                  (void)prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
                  const std::string gdb = "timeout 60 gdb -batch -nx -p " +
                                          std::to_string(getpid()) +
                                          " -ex 'thread apply all bt' 1>&2 || echo no gdb here >&2";
                  (void)!system(gdb.c_str());
                  fprintf(stderr, "==== end of stacks\n");
                  abort();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;  // last: it uses the others
};

TEST(StressWatchdog, AStallPrintsEveryThreadsStackAndAborts) {
    if (Emulated()) GTEST_SKIP() << "a death test re-executes the test binary, which qemu cannot";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Watchdog watchdog([] { return std::string("nothing moves"); });
            std::this_thread::sleep_for(std::chrono::seconds(120));
        },
        "watchdog: no progress: nothing moves(.|\n)*stacks of every thread(.|\n)*end of stacks");
}

// ---- the load

const std::string kLogDir = LOGCOMP_TEST_LOG_DIR;
const std::string kSinkFile = LOGCOMP_BINARY_DIR "/rel_stress.log";
constexpr int kPosters = 3;
constexpr int kReinits = 5;
constexpr uint64_t kSeed = 20261206;

std::atomic<bool> gAllowed{true};
bool Allowed() {
    return gAllowed;
}
unsigned ShortPause(unsigned) {
    usleep(20000);  // the worker's 5-second pause pass, shortened so pauses can come often
    return 0;
}

struct Post {
    std::string id;  // for a stop: the id it stops
    int option;
    int rc;
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
        duration_ = milliseconds(static_cast<int64_t>(ForBuild(40, 25, 25) * 1000));
        stallLimit_ = std::chrono::seconds(REL_SANITIZED ? 120 : 60);
        ASSERT_TRUE(EmptyDir(kLogDir));
        today_ = loggen::UtcDate();
        for (int i = 5; i >= 0; --i) days_.push_back(ShiftDate(today_, -i));
        ASSERT_TRUE(AddDays(kLogDir, days_, 256 << 10, kSeed, &expected_));
        ASSERT_TRUE(LogToFile(kSinkFile));
        gResults.Clear();
        LogCompExecSetPauseSleepHook(&ShortPause);
        ASSERT_TRUE(loop_.Start());
        ASSERT_EQ(LogCompTriggerInit(loop_.Get(), &config_), 0);
    }
    void TearDown() override {
        LogCompExecSetPauseSleepHook(nullptr);
        LogToStderr();
    }

    void Poster(int index) {
        std::mt19937_64 rng(kSeed + static_cast<uint64_t>(index));
        for (uint64_t seq = 0; !stop_; ++seq) {
            const std::string fresh = "s" + std::to_string(index) + "-" + std::to_string(seq);
            std::unique_lock<std::mutex> lock(mu_);
            const std::string recent = recent_.empty() ? fresh : recent_[rng() % recent_.size()];
            const auto [begin, end] = PickRange(rng);
            lock.unlock();
            const int roll = static_cast<int>(rng() % 100);
            Post post{fresh, LOG_COMPRESS_OPTION_ONLY_COMPRESS, -1};
            if (roll < 35) {
                post.option = LOG_COMPRESS_OPTION_FULL;
            } else if (roll >= 75 && roll < 88) {
                post = {recent, LOG_COMPRESS_OPTION_STOP, -1};
            } else if (roll >= 88 && roll < 94) {  // may still be registered: a duplicate
                post = {recent, rng() % 2 ? LOG_COMPRESS_OPTION_FULL : post.option, -1};
            } else if (roll >= 94) {
                post.option = rng() % 2 ? 3 : 7;
            }
            const std::string output = kLogDir + "/pkg-" + fresh + ".tar.gz";
            // Roll 99: no date range, refused at the post.
            const auto req =
                MakeReq(post.id, post.option, roll == 99 ? "2026-13-45" : begin, end, output);
            {
                std::shared_lock<std::shared_mutex> posting(postGate_);
                post.rc = LogCompTriggerPostTask(&req);
            }
            lock.lock();
            posts_.push_back(post);
            if (post.rc == 0 && IsWork(post.option)) {
                recent_.push_back(post.id);
                if (recent_.size() > 16) recent_.erase(recent_.begin());
            }
            lock.unlock();
            beats_[index] = Clock::now().time_since_epoch().count();
            // The slower builds get fewer requests, not a longer backlog.
            std::this_thread::sleep_for(milliseconds((REL_SANITIZED ? 3 : 1) * (5 + rng() % 35)));
        }
    }

    // Mostly the last days added (which still have files) and today; sometimes any day, a day
    // without logs, another accepted date format or a reversed range. Under mu_.
    std::pair<std::string, std::string> PickRange(std::mt19937_64& rng) {
        const int roll = static_cast<int>(rng() % 100);
        const std::string& any = days_[rng() % days_.size()];
        if (roll < 35) return {ShiftDate(today_, -static_cast<int>(rng() % 3)), today_};
        if (roll < 85) {
            const std::string& d =
                days_[days_.size() - 1 - rng() % std::min<size_t>(days_.size(), 4)];
            return {d, ShiftDate(d, static_cast<int>(rng() % 2))};
        }
        if (roll < 92) return {ShiftDate(any, 2), any};
        if (roll < 96) return {"1999-01-01", "1999-01-02"};
        std::string d = any;
        std::replace(d.begin(), d.end(), '-', '/');
        return {d, d};
    }

    void Controller() {
        std::mt19937_64 rng(kSeed ^ 0xc0ffee);
        while (!stop_) {
            const int roll = static_cast<int>(rng() % 100);
            if (roll < 40) {
                LogCompExecSetDynamic(rng() % 2 == 0);
            } else if (roll < 75) {
                void (*set)(bool) = roll < 60 ? LogCompExecSetPause : LogCompExecSetExit;
                if (roll >= 70) set = [](bool on) { gAllowed = !on; };
                set(true);
                std::this_thread::sleep_for(milliseconds(10 + rng() % 60));
                set(false);
            }
            std::this_thread::sleep_for(milliseconds(30 + rng() % 70));
        }
    }

    // Uninit while the posters keep posting, then init again once no post is half way through
    // and the loop has run everything queued by then: the release of the last run, the worker's
    // last record releases and late dispatches (the trigger's own guard only refuses an init
    // before the release ran).
    void Reinit() {
        LogCompTriggerUninit();
        std::unique_lock<std::shared_mutex> noPosts(postGate_);
        ASSERT_TRUE(loop_.Run());
        ASSERT_TRUE(loop_.Run());
        ASSERT_EQ(LogCompTriggerInit(loop_.Get(), &config_), 0);
        ++reinits_;
    }

    // An older day each time; the newest additions still have files to take.
    void AddNewDay() {
        const std::string day = ShiftDate(today_, -6 - added_++);
        Lines lines;
        ASSERT_TRUE(AddDays(kLogDir, {day}, 256 << 10, kSeed, &lines));
        expected_.Add(lines);
        std::lock_guard<std::mutex> lock(mu_);
        days_.push_back(day);
    }

    // "" while the loop runs what is posted to it, requesters hear results and every thread
    // beats; else what is stuck.
    std::string Stall() {
        auto stale = [this](int64_t beat) {
            return Clock::now() - Clock::time_point(Clock::duration(beat)) > stallLimit_;
        };
        if (!loop_.Run()) return "the event loop has not run a task posted 60 s ago";
        if (!stop_ && Clock::now() - gResults.Last() > stallLimit_) {
            return "no requester has heard anything for a long time";
        }
        for (int i = 0; i <= kPosters; ++i) {
            if ((!stop_ || i == kPosters) && stale(beats_[i])) {
                return i == kPosters ? "the main thread is stuck"
                                     : "poster " + std::to_string(i) + " is stuck in a post";
            }
        }
        return "";
    }

    RealLoop loop_;
    LOG_COMP_TRIGGER_CONFIG config_{{2, 0, 0}, &Allowed};
    milliseconds duration_{};
    std::chrono::seconds stallLimit_{};
    std::string today_;
    Lines expected_;
    std::mutex mu_;  // guards days_, recent_, posts_
    std::vector<std::string> days_;
    std::vector<std::string> recent_;
    std::vector<Post> posts_;
    std::shared_mutex postGate_;  // held by every post; taken whole by an init
    std::atomic<bool> stop_{false};
    std::atomic<int64_t> beats_[kPosters + 1] = {};  // the posters', then the main thread's
    int reinits_ = 0;
    int added_ = 0;
};

TEST_F(Stress, EveryRequestAnsweredNothingLostNothingHung) {
    for (auto& b : beats_) b = Clock::now().time_since_epoch().count();
    {
        Watchdog watchdog([this] { return Stall(); });
        std::vector<std::thread> threads;
        for (int i = 0; i < kPosters; ++i) threads.emplace_back([this, i] { Poster(i); });
        threads.emplace_back([this] { Controller(); });
        const auto start = Clock::now();
        for (auto nextReinit = start + duration_ / (kReinits + 1); Clock::now() - start < duration_;
             std::this_thread::sleep_for(milliseconds(500))) {  // the pace of new days
            beats_[kPosters] = Clock::now().time_since_epoch().count();
            AddNewDay();
            if (Clock::now() >= nextReinit) {
                Reinit();
                nextReinit += duration_ / (kReinits + 1);
            }
        }
        stop_ = true;
        for (auto& t : threads) t.join();
        beats_[kPosters] = Clock::now().time_since_epoch().count();
        // The release joins the worker, so every result is in once it has run; the records'
        // own releases, queued meanwhile, run before the second call.
        LogCompTriggerUninit();
        ASSERT_TRUE(loop_.Run());
        ASSERT_TRUE(loop_.Run());
    }
    loop_.Stop();
    LogToStderr();

    // Every accepted request: answered once, or its failed dispatch logged; stops and unknown
    // options each dispatched once; no result for anything else.
    struct Tally {
        int work = 0, stops = 0, bad = 0, results = 0;
    };
    std::map<std::string, Tally> byId;
    std::map<int, int> kinds;
    for (const auto& p : posts_) {
        if (p.rc != 0) continue;
        Tally& t = byId[p.id];
        ++(IsWork(p.option) ? t.work : p.option == LOG_COMPRESS_OPTION_STOP ? t.stops : t.bad);
    }
    const std::map<int, std::string> texts{
        {LOG_COMP_TRIGGER_RESULT_SUCCESS, ""},
        {LOG_COMP_TRIGGER_RESULT_FAILED, "log compress failed"},
        {LOG_COMP_TRIGGER_RESULT_REJECT, "log compress cancelled"}};
    for (const auto& r : gResults.All()) {
        ++byId[r.id].results;
        ++kinds[r.result];
        ASSERT_EQ(texts.count(r.result), 1u) << r.id << " got result " << r.result;
        EXPECT_EQ(r.errMsg, texts.at(r.result)) << r.id;
        EXPECT_EQ(r.progress, 100);
        EXPECT_EQ(r.mode, 0);
    }
    std::map<std::string, int> logged;
    for (const auto& text : Logged(kSinkFile)) ++logged[text];
    int failedDispatches = 0;
    int mismatches = 0;
    for (const auto& [id, t] : byId) {
        auto count = [&, &id = id](const std::string& rest) {
            const auto it = logged.find("[" + id + "]" + rest);
            return it == logged.end() ? 0 : it->second;
        };
        const int failed = count("LogCompTriggerEventProc failed, compressOption 1") +
                           count("LogCompTriggerEventProc failed, compressOption 2");
        const int unknown = count("LogCompTriggerEventProc unknown compressOption 3") +
                            count("LogCompTriggerEventProc unknown compressOption 7");
        const int stops = count("LogCompress Event Stop");
        failedDispatches += failed;
        if ((t.results + failed != t.work || stops != t.stops || unknown != t.bad) &&
            ++mismatches <= 10) {
            ADD_FAILURE() << "[" << id << "] accepted " << t.work << " request(s), " << t.stops
                          << " stop(s), " << t.bad << " unknown option(s); heard " << t.results
                          << " result(s), logged " << failed << " failed dispatch(es), " << stops
                          << " stop(s), " << unknown << " unknown option(s)";
        }
    }
    printf(
        "%s build, %lld s: %zu posts, %d reinits; %d success, %d failed, %d cancelled, "
        "%d failed dispatches\n",
        BuildKind(), static_cast<long long>(duration_.count() / 1000), posts_.size(), reinits_,
        kinds[LOG_COMP_TRIGGER_RESULT_SUCCESS], kinds[LOG_COMP_TRIGGER_RESULT_FAILED],
        kinds[LOG_COMP_TRIGGER_RESULT_REJECT], failedDispatches);
    EXPECT_GT(kinds[LOG_COMP_TRIGGER_RESULT_SUCCESS], 0);
    EXPECT_GE(reinits_, 2);

    const Inventory after = TakeInventory(kLogDir);
    EXPECT_EQ(expected_.MissingFrom(after.lines), "");
    EXPECT_TRUE(after.damaged.empty()) << ::testing::PrintToString(after.damaged);
    EXPECT_TRUE(after.temps.empty()) << ::testing::PrintToString(after.temps);
    EXPECT_TRUE(after.cutTars.empty()) << ::testing::PrintToString(after.cutTars);
}

}  // namespace
}  // namespace rel
