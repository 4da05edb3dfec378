// Power can go away at any moment. A child process runs the reference host with a package
// request and a compress-only request over generated station logs and is killed (SIGKILL, with
// the tar, rm and shell it started) at moments spread over the whole run. After every kill the
// directory still holds every log line (in plain files, the .tar, or a complete .gz) and no
// file that a later run would take for a complete archive: every .gz passes gzip -t and every
// .tar.gz holds a whole tar. What is left behind (a cut .tar, a compressor's temporary file,
// a whole .tar beside the logs it holds) is counted and printed; then the trigger is started
// again, as the station would after power came back, and its recovery must leave every line
// in place and no .tar, temporary file or record behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "event/ev_host.h"
#include "logCompress/LogCompPaths.h"
#include "logCompress/LogCompTrigger.h"
#include "tools/loggen/station_log_gen.h"
#include "logsys/log_sys_host.h"
#include "tests/reliability/rel_env.h"
#include "tests/reliability/rel_fs.h"
#include "tests/reliability/rel_inventory.h"
#include "tests/reliability/rel_realhost.h"

namespace rel {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kLogDir = LOGCOMP_TEST_LOG_DIR;
const std::string kGolden = LOGCOMP_BINARY_DIR "/rel-crash-golden";
const std::string kSinkFile = LOGCOMP_BINARY_DIR "/rel_crash.log";
constexpr size_t kPastBytes = 2u << 20;  // the archive spans several compression slices
constexpr size_t kTodayBytes = 1u << 20;
constexpr uint64_t kSeed = 99;
constexpr int kChildDeadlineS = 120;

struct Days {
    std::string p1, p2, p3, t;
};

Days TheDays() {
    const std::string t = loggen::UtcDate();
    return {ShiftDate(t, -3), ShiftDate(t, -2), ShiftDate(t, -1), t};
}

// The host process: both requests, then wait for both results. Never returns.
[[noreturn]] void HostMain(const Days& d) {
    alarm(kChildDeadlineS);
    LogSysSetStderr(false);
    LogSysSetFile(kSinkFile.c_str());
    RealLoop loop;
    LOG_COMP_TRIGGER_CONFIG config{{2, 0, 0}, nullptr};
    bool ok = loop.Start() && LogCompTriggerInit(loop.Get(), &config) == 0;
    const LOG_COMP_TRIGGER_REQ pkg =
        MakeReq("pkg", LOG_COMPRESS_OPTION_FULL, d.p2, d.t, kLogDir + "/pkg.tar.gz");
    const LOG_COMP_TRIGGER_REQ only =
        MakeReq("only", LOG_COMPRESS_OPTION_ONLY_COMPRESS, d.p1, d.p1);
    ok = ok && LogCompTriggerPostTask(&pkg) == 0 && LogCompTriggerPostTask(&only) == 0;
    ok = ok && Results::WaitCount(2);
    for (const auto& r : Results::All()) ok = ok && r.result == LOG_COMP_TRIGGER_RESULT_SUCCESS;
    _exit(ok ? 0 : 1);  // as abrupt as the kills: no release, no clean-up
}

// Starts the host in a session of its own, which every command it runs shares (each in a
// process group of its own); returns once the session exists.
pid_t StartHost(const Days& d) {
    fflush(nullptr);
    int ready[2];
    if (pipe(ready) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        close(ready[0]);
        close(ready[1]);
        HostMain(d);
    }
    close(ready[1]);
    char byte;
    while (read(ready[0], &byte, 1) < 0 && errno == EINTR) {
    }
    close(ready[0]);
    return pid;
}

// State and session of process `pid` (a /proc entry name); false when it is none or gone.
bool ProcessState(const std::string& pid, char* state, long* session) {
    std::string stat;
    if (pid.find_first_not_of("0123456789") != std::string::npos ||
        !ReadFile("/proc/" + pid + "/stat", &stat))
        return false;
    // After the command name (which may hold anything): state, parent, group, session.
    const size_t nameEnd = stat.rfind(')');
    return nameEnd != std::string::npos &&
           std::sscanf(stat.c_str() + nameEnd + 1, " %c %*d %*d %ld", state, session) == 2;
}

// The live processes of session sid (zombies left out).
std::vector<pid_t> SessionMembers(pid_t sid) {
    std::vector<pid_t> found;
    for (const std::string& name : ListDir("/proc")) {
        char state = 0;
        long session = 0;
        if (ProcessState(name, &state, &session) && session == sid && state != 'Z' && state != 'X')
            found.push_back(std::stoi(name));
    }
    return found;
}

// Power goes away: the host and every command it started die. A process with SIGKILL
// pending runs no more code and completes no fork, so killing whatever of the session still
// lives, until nothing does, takes them all.
void KillHost(pid_t pid) {
    kill(pid, SIGKILL);
    std::vector<pid_t> alive;
    while (!(alive = SessionMembers(pid)).empty()) {
        for (pid_t p : alive) kill(p, SIGKILL);
    }
}

int WaitHost(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void SleepFor(Clock::duration d) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    struct timespec ts {
        static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)
    };
    while (nanosleep(&ts, &ts) != 0) {
    }
}

// gzip itself agrees with the inventory about every .gz left.
std::string GzipDisagrees(const Inventory& inv) {
    for (const auto& name : inv.names) {
        if (name.size() > 3 && name.compare(name.size() - 3, 3, ".gz") == 0) {
            std::string out;
            if (!Shell("gzip -t '" + kLogDir + "/" + name + "'", &out)) return name + ": " + out;
        }
    }
    return "";
}

class Crash : public ::testing::Test {
  protected:
    void SetUp() override {
        days_ = TheDays();
        ASSERT_TRUE(EmptyDir(kGolden));
        ASSERT_TRUE(
            AddDays(kGolden, {days_.p1, days_.p2, days_.p3}, kPastBytes, kSeed, &expected_));
        ASSERT_TRUE(AddDays(kGolden, {days_.t}, kTodayBytes, kSeed, &expected_));
        ASSERT_TRUE(WriteFile(kSinkFile, ""));
    }
    void TearDown() override { Shell("rm -rf '" + kGolden + "'"); }

    void Reset() {
        ASSERT_TRUE(EmptyDir(kLogDir));
        ASSERT_TRUE(CopyFiles(kGolden, kLogDir));
    }

    // What a kill left: checked for losses and mistakable files, and tallied.
    void CheckLeft(const std::string& when) {
        const Inventory inv = TakeInventory(kLogDir);
        EXPECT_EQ(LostLines(expected_, inv.lines), "") << when;
        EXPECT_TRUE(inv.damaged.empty()) << when << ": " << ::testing::PrintToString(inv.damaged);
        EXPECT_EQ(GzipDisagrees(inv), "") << when;
        const bool archived = Exists(kLogDir + "/pkg.tar.gz");
        const bool pastLogs = Exists(kLogDir + "/" + days_.p2 + ".log");
        ++seen_[!inv.partialTars.empty()                ? "a cut pkg.tar beside the untouched logs"
                : !inv.completeTars.empty() && pastLogs ? "a whole pkg.tar beside the logs it holds"
                : !inv.completeTars.empty() ? "a whole pkg.tar holding logs deleted since"
                : archived                  ? "pkg.tar.gz done"
                                            : "logs untouched"];
        if (!inv.tempFiles.empty()) ++seen_["a compressor's temporary file (*~gz)"];
    }

    // The next start of the trigger resolves what the kill left: the records go, every line is
    // still there, and neither a .tar nor a temporary is left.
    void CheckRecovered(const std::string& when) {
        RealLoop loop;
        LOG_COMP_TRIGGER_CONFIG config{{2, 0, 0}, nullptr};
        ASSERT_TRUE(LogToFile(kSinkFile));
        ASSERT_TRUE(loop.Start() && LogCompTriggerInit(loop.Get(), &config) == 0);
        ASSERT_TRUE(loop.Run([] {}));  // the recovery was queued ahead of this
        LogCompTriggerUninit();
        ASSERT_TRUE(loop.Run([] {}));
        loop.Stop();
        LogToStderr();
        const Inventory inv = TakeInventory(kLogDir);
        const std::string lost = LostLines(expected_, inv.lines);
        const auto records = ListDir(kLogDir + "/" + LOG_COMP_RECORD_DIR_NAME);
        const bool clean = lost.empty() && inv.damaged.empty() && inv.partialTars.empty() &&
                           inv.completeTars.empty() && inv.tempFiles.empty() && records.empty();
        EXPECT_TRUE(clean) << when << ": " << lost << ::testing::PrintToString(inv.names)
                           << ::testing::PrintToString(records);
        EXPECT_EQ(GzipDisagrees(inv), "") << when;
        ++recovered_[clean ? "clean" : "lines lost or leftovers"];
    }

    Days days_;
    LineSet expected_{true};
    std::map<std::string, int> seen_;
    std::map<std::string, int> recovered_;
};

TEST_F(Crash, KilledAtAnyMomentTheLogsSurviveAndTheNextStartClearsWhatWasLeft) {
    Reset();
    const auto start = Clock::now();
    const pid_t calibration = StartHost(days_);
    ASSERT_GT(calibration, 0);
    ASSERT_EQ(WaitHost(calibration), 0) << "an undisturbed run failed; see " << kSinkFile;
    const auto runTime = Clock::now() - start;
    CheckLeft("after an undisturbed run");
    ASSERT_EQ(seen_["pkg.tar.gz done"], 1);
    seen_.clear();

    const int kills = static_cast<int>(ForBuild(40, 12, 4));
    std::mt19937_64 rng(kSeed);
    for (int i = 0; i < kills; ++i) {
        Reset();
        // One moment in each of `kills` equal slices of the run (and a little beyond it).
        const double at = (i + std::uniform_real_distribution<double>(0, 1)(rng)) / kills * 1.1;
        const pid_t pid = StartHost(days_);
        ASSERT_GT(pid, 0);
        SleepFor(std::chrono::duration_cast<Clock::duration>(runTime * at));
        KillHost(pid);
        WaitHost(pid);
        const std::string when =
            "killed at " + std::to_string(static_cast<int>(at * 100)) + "% of a run";
        CheckLeft(when);
        CheckRecovered(when);
    }
    printf("%s build: %d kills over a run of %lld ms; what each left:\n", BuildKind(), kills,
           static_cast<long long>(
               std::chrono::duration_cast<std::chrono::milliseconds>(runTime).count()));
    for (const auto& [what, n] : seen_) printf("  %3d  %s\n", n, what.c_str());
    printf("after the next start's recovery:\n");
    for (const auto& [what, n] : recovered_) printf("  %3d  %s\n", n, what.c_str());
}

}  // namespace
}  // namespace rel
