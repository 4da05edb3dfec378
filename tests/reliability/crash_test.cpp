// Power can go away at any moment. A child process runs the reference host with a package
// request and a compress-only request and is killed (SIGKILL, with the tar, rm and shell it
// started) at moments spread over the whole run. After every kill the directory still holds
// every log line and no file a later run would take for a complete archive (gzip and tar accept
// every .gz and .tar.gz); what the kill left is tallied. Then the trigger is started again, as
// after power came back: its recovery must leave every line, and no .tar, temporary or record.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <random>

#include "tests/support/env.h"
#include "tests/support/realhost.h"

namespace rel {
namespace {

using Clock = std::chrono::steady_clock;
const std::string kLogDir = LOGCOMP_TEST_LOG_DIR;
const std::string kGolden = LOGCOMP_BINARY_DIR "/rel-crash-golden";
const std::string kSinkFile = LOGCOMP_BINARY_DIR "/rel_crash.log";

// The host, in a session of its own that every command it runs shares: both requests, then
// both results. The exit is as abrupt as the kills: no release, no clean-up.
pid_t StartHost(const Days& d) {
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid != 0) return pid;
    setsid();
    alarm(120);
    TriggerHost host;
    const auto pkg = MakeReq("pkg", LOG_COMPRESS_OPTION_FULL, d.p2, d.t, kLogDir + "/pkg.tar.gz");
    const auto only = MakeReq("only", LOG_COMPRESS_OPTION_ONLY_COMPRESS, d.p1, d.p1);
    bool ok = host.Start(kSinkFile) && LogCompTriggerPostTask(&pkg) == 0 &&
              LogCompTriggerPostTask(&only) == 0 && gResults.WaitCount(2);
    for (const auto& r : gResults.All()) ok = ok && r.result == LOG_COMP_TRIGGER_RESULT_SUCCESS;
    _exit(ok ? 0 : 1);
}

// Power goes away: the host and every command it started die. A process with SIGKILL pending
// runs no more code and completes no fork, so killing whatever of the session still lives,
// until nothing does, takes them all.
void KillHost(pid_t sid) {
    kill(sid, SIGKILL);
    for (bool alive = true; alive;) {
        alive = false;
        for (const std::string& pid : ListDir("/proc")) {
            std::string stat;
            char state = 0;
            long session = 0;
            // After the command name (which may hold anything): state, parent, group, session.
            if (ReadFile("/proc/" + pid + "/stat", &stat) && stat.rfind(')') != std::string::npos &&
                sscanf(stat.c_str() + stat.rfind(')') + 1, " %c %*d %*d %ld", &state, &session) ==
                    2 &&
                session == sid && state != 'Z' && state != 'X')
                alive = (kill(std::stoi(pid), SIGKILL), true);
        }
    }
    waitpid(sid, nullptr, 0);
}

TEST(Crash, KilledAtAnyMomentTheLogsSurviveAndTheNextStartClearsWhatWasLeft) {
    const Days d = TheDays();
    Lines expected;
    ASSERT_TRUE(EmptyDir(kGolden) &&
                AddDays(kGolden, {d.p1, d.p2, d.p3}, 2 << 20, 99, &expected) &&  // several slices
                AddDays(kGolden, {d.t}, 1 << 20, 99, &expected));
    // What is left: every line, no .gz or .tar.gz that gzip or tar rejects; after the recovery
    // also no .tar, temporary or record.
    auto check = [&](const std::string& when, bool recovered) {
        const Inventory inv = TakeInventory(kLogDir);
        EXPECT_EQ(expected.MissingFrom(inv.lines), "") << when;
        const size_t left = inv.cutTars.size() + inv.wholeTars.size() + inv.temps.size() +
                            ListDir(kLogDir + "/" LOG_COMP_RECORD_DIR_NAME).size();
        EXPECT_EQ(inv.damaged.size() + (recovered ? left : 0), 0u)
            << when << ": " << ::testing::PrintToString(inv.names);
    };
    auto reset = [] {
        return EmptyDir(kLogDir) && Shell("cp '" + kGolden + "'/* '" + kLogDir + "'");
    };

    ASSERT_TRUE(reset());
    const auto start = Clock::now();
    int status = 0;
    ASSERT_GT(waitpid(StartHost(d), &status, 0), 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0 && Exists(kLogDir + "/pkg.tar.gz"))
        << "an undisturbed run failed; see " << kSinkFile;
    const auto runTime = Clock::now() - start;
    check("after an undisturbed run", false);

    const int kills = static_cast<int>(ForBuild(40, 12, 4));
    std::mt19937_64 rng(99);
    for (int i = 0; i < kills; ++i) {
        ASSERT_TRUE(reset());
        // One moment in each of `kills` equal slices of the run (and a little beyond it).
        const double at = (i + std::uniform_real_distribution<double>(0, 1)(rng)) / kills * 1.1;
        const pid_t pid = StartHost(d);
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(runTime * at);
        KillHost(pid);
        const std::string when = "killed at " + std::to_string(static_cast<int>(at * 100)) + "%";
        check(when, false);
        TriggerHost host;
        ASSERT_TRUE(host.Start(kSinkFile) && host.loop.Run());  // the recovery was queued first
        ASSERT_TRUE(host.Stop());
        check(when + ", after the recovery", true);
    }
    Shell("rm -rf '" + kGolden + "'");
}

}  // namespace
}  // namespace rel
