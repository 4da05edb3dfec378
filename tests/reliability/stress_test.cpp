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

// Asks the probe once a second whether the scenario still makes progress; when it names a
// stall, prints it and every thread's stack (through gdb), and aborts.
class Watchdog {
  public:
    explicit Watchdog(std::function<std::string()> probe)
        : thread_([this, probe] {
              std::unique_lock<std::mutex> lock(mu_);
              while (!cv_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; })) {
                  const std::string stall = probe();
                  if (stall.empty()) continue;
                  fprintf(stderr, "\nwatchdog: no progress: %s\n==== stacks (pid %d)\n",
                          stall.c_str(), getpid());
                  fflush(stderr);
                  (void)prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
                  (void)!system(("timeout 60 gdb -batch -nx -p " + std::to_string(getpid()) +
                                 " -ex 'thread apply all bt' 1>&2 || echo no gdb here >&2")
                                    .c_str());
                  abort();
              }
          }) {}
    ~Watchdog() {
        std::unique_lock<std::mutex> lock(mu_);
        stop_ = true;
        lock.unlock();
        cv_.notify_all();
        thread_.join();
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;  // last: it uses the others
};

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
        ASSERT_TRUE(EmptyDir(kLogDir));
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
            Post post{fresh,
                      roll < 35 ? LOG_COMPRESS_OPTION_FULL : LOG_COMPRESS_OPTION_ONLY_COMPRESS, -1};
            if (roll >= 75 && roll < 88) post.option = LOG_COMPRESS_OPTION_STOP;
            if (roll >= 75 && roll < 94) post.id = recent;  // a duplicate may still be registered
            if (roll >= 88 && roll < 94 && rng() % 2) post.option = LOG_COMPRESS_OPTION_FULL;
            if (roll >= 94) post.option = rng() % 2 ? 3 : 7;
            // Roll 99: no date range, refused at the post.
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
        const std::string& last = days_[days_.size() - 1 - rng() % 4];
        if (roll < 35) return {ShiftDate(today_, -static_cast<int>(rng() % 3)), today_};
        if (roll < 85) return {last, ShiftDate(last, static_cast<int>(rng() % 2))};
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

    // Uninit while the posters keep posting, then init again once no post is half way through
    // and the loop has run everything queued by then (the trigger's own guard only refuses an
    // init before the release ran).
    void Reinit() {
        LogCompTriggerUninit();
        std::unique_lock<std::shared_mutex> noPosts(postGate_);
        ASSERT_TRUE(loop_.Run() && loop_.Run());
        ASSERT_EQ(LogCompTriggerInit(loop_.Get(), &config_), 0);
        ++reinits_;
    }

    // An older day each time; the newest additions still have files to take.
    void AddNewDay() {
        const std::string day = ShiftDate(today_, -6 - added_++);
        ASSERT_TRUE(AddDays(kLogDir, {day}, 256 << 10, kSeed, &expected_));
        std::lock_guard<std::mutex> lock(mu_);
        days_.push_back(day);
    }

    // "" while the loop runs what is posted to it, requesters hear results and every thread
    // beats; else what is stuck.
    std::string Stall() {
        const auto limit = std::chrono::seconds(REL_SANITIZED ? 120 : 60);
        if (!loop_.Run()) return "the event loop has not run a task posted 60 s ago";
        std::unique_lock<std::mutex> lock(gResults.mu);
        if (!stop_ && Clock::now() - gResults.last > limit) return "no requester heard anything";
        for (int i = 0; i <= kPosters; ++i) {
            if ((!stop_ || i == kPosters) &&
                Clock::now() - Clock::time_point(Clock::duration(beats_[i])) > limit)
                return i == kPosters ? "the main thread is stuck" : "a poster is stuck in a post";
        }
        return "";
    }

    RealLoop loop_;
    LOG_COMP_TRIGGER_CONFIG config_{{2, 0, 0}, &Allowed};
    const std::string today_ = loggen::UtcDate();
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
    const auto duration = milliseconds(static_cast<int64_t>(ForBuild(40, 25, 25) * 1000));
    for (auto& b : beats_) b = Clock::now().time_since_epoch().count();
    {
        Watchdog watchdog([this] { return Stall(); });
        std::vector<std::thread> threads;
        for (int i = 0; i < kPosters; ++i) threads.emplace_back([this, i] { Poster(i); });
        threads.emplace_back([this] { Controller(); });
        const auto start = Clock::now();
        for (auto nextReinit = start + duration / (kReinits + 1); Clock::now() - start < duration;
             std::this_thread::sleep_for(milliseconds(500))) {  // the pace of new days
            beats_[kPosters] = Clock::now().time_since_epoch().count();
            AddNewDay();
            if (Clock::now() >= nextReinit) Reinit(), nextReinit += duration / (kReinits + 1);
        }
        stop_ = true;
        for (auto& t : threads) t.join();
        beats_[kPosters] = Clock::now().time_since_epoch().count();
        // The release joins the worker, so every result is in once it has run; the records'
        // own releases, queued meanwhile, run before the second call.
        LogCompTriggerUninit();
        ASSERT_TRUE(loop_.Run() && loop_.Run());
    }
    loop_.Stop();
    LogToStderr();

    // Per id, what was accepted against what was heard or logged: each accepted request
    // answered once or its failed dispatch logged; stops and unknown options each dispatched
    // once; nothing else heard.
    std::map<std::string, std::array<int, 6>> byId;  // work, stops, bad; heard, stops, bad
    for (const auto& p : posts_) {
        if (p.rc == 0)
            ++byId[p.id][IsWork(p.option) ? 0 : p.option == LOG_COMPRESS_OPTION_STOP ? 1 : 2];
    }
    const std::map<int, std::string> texts{
        {LOG_COMP_TRIGGER_RESULT_SUCCESS, ""},
        {LOG_COMP_TRIGGER_RESULT_FAILED, "log compress failed"},
        {LOG_COMP_TRIGGER_RESULT_REJECT, "log compress cancelled"}};
    std::map<int, int> kinds;
    for (const auto& r : gResults.All()) {
        ++byId[r.id][3];
        ++kinds[r.result];
        ASSERT_EQ(texts.count(r.result), 1u) << r.id << " got result " << r.result;
        EXPECT_EQ(r.errMsg, texts.at(r.result)) << r.id;
        EXPECT_TRUE(r.progress == 100 && r.mode == 0) << r.id;
    }
    std::map<std::string, int> logged = Logged(kSinkFile);
    int failedDispatches = 0, mismatches = 0;
    for (auto& [id, t] : byId) {
        for (const char* option : {"1", "2"}) {
            const int n =
                logged["[" + id + "]LogCompTriggerEventProc failed, compressOption " + option];
            failedDispatches += n;
            t[3] += n;
        }
        t[4] = logged["[" + id + "]LogCompress Event Stop"];
        for (const char* option : {"3", "7"})
            t[5] += logged["[" + id + "]LogCompTriggerEventProc unknown compressOption " + option];
        if ((t[3] != t[0] || t[4] != t[1] || t[5] != t[2]) && ++mismatches <= 10) {
            ADD_FAILURE() << "[" << id << "] accepted " << t[0] << " request(s), " << t[1]
                          << " stop(s), " << t[2] << " unknown option(s); heard or failed " << t[3]
                          << ", stops " << t[4] << ", unknown " << t[5];
        }
    }
    printf(
        "%lld s: %zu posts, %d reinits; %d success, %d failed, %d cancelled, %d failed "
        "dispatches\n",
        static_cast<long long>(duration.count() / 1000), posts_.size(), reinits_,
        kinds[LOG_COMP_TRIGGER_RESULT_SUCCESS], kinds[LOG_COMP_TRIGGER_RESULT_FAILED],
        kinds[LOG_COMP_TRIGGER_RESULT_REJECT], failedDispatches);
    EXPECT_GT(kinds[LOG_COMP_TRIGGER_RESULT_SUCCESS], 0);
    EXPECT_GE(reinits_, 2);

    const Inventory after = TakeInventory(kLogDir);
    EXPECT_EQ(expected_.MissingFrom(after.lines), "");
    EXPECT_EQ(after.damaged.size() + after.temps.size() + after.cutTars.size(), 0u)
        << ::testing::PrintToString(after.names);
}

}  // namespace
}  // namespace rel
