// The logcomp tool through real processes: logcomp-testdir (the tool on the library variant
// whose log directory is the build tree's test directory), generated station logs, real tar
// and gzip, real signals. Exit statuses and outputs are what a script would rely on. Every
// date comes from one reading of the clock.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include "tests/support/realhost.h"

namespace rel {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = 120s;  // generous: sanitizer builds on a shared machine
const std::string kTool = LOGCOMP_BINARY_DIR "/tools/logcomp-testdir";
const std::string kLogDir = LOGCOMP_TEST_LOG_DIR;
const std::string kOutDir = LOGCOMP_BINARY_DIR "/tool-test-out";
const std::string kIoDir = LOGCOMP_BINARY_DIR "/tool-test-io";
const std::string kToday = loggen::UtcDate();

std::string Output(const std::string& cmd) {
    std::string out;
    return Shell(cmd, &out), out;
}
// A checksum per log of a date, of what its .gz holds once it is gone, or why it has none.
std::string Sums(const std::string& date) {
    std::string sums;
    for (const std::string& name : loggen::DayFileNames(date)) {
        const std::string path = kLogDir + "/" + name;
        sums +=
            Output(Exists(path) ? "cksum <'" + path + "'" : "gzip -dc '" + path + ".gz' | cksum");
    }
    return sums;
}
// The tool as a child process, its stdout and stderr in files; with ownGroup, it leads a
// process group of its own, as a terminal's foreground job.
class Tool {
  public:
    explicit Tool(std::vector<std::string> args, bool ownGroup = false) {
        static int count = 0;
        io_ = kIoDir + "/" + std::to_string(count++);
        args.insert(args.begin(), kTool);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if ((pid_ = fork()) == 0) {
            if (ownGroup) setpgid(0, 0);
            if (freopen((io_ + ".out").c_str(), "w", stdout) &&
                freopen((io_ + ".err").c_str(), "w", stderr))
                execv(kTool.c_str(), argv.data());
            _exit(127);
        }
    }
    ~Tool() {
        if (Wait(0s) == -1) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
    }
    std::string Out(const char* which = ".out") const {
        std::string text;
        return ReadFile(io_ + which, &text), text;
    }
    std::string Err() const { return Out(".err"); }
    void Signal(int signo, bool group = false) { kill(group ? -pid_ : pid_, signo); }
    // True once `text` shows in its stderr (or stdout); false when it ended first.
    bool WaitFor(const std::string& text, bool inStdout = false) {
        auto seen = [&] { return (inStdout ? Out() : Err()).find(text) != std::string::npos; };
        return Until([&] { return seen() || Wait(0s) != -1; }, kDeadline) && seen();
    }
    // The exit status (-2 for a signal), or -1 when the tool did not end in time.
    int Wait(Clock::duration limit = kDeadline) {
        const auto reaped = [&] {
            int st = 0;
            if (status_ == -1 && waitpid(pid_, &st, WNOHANG) == pid_)
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -2;
            return status_ != -1;
        };
        return Until(reaped, limit), status_;
    }

  private:
    std::string io_;
    pid_t pid_ = -1;
    int status_ = -1;
};

std::string Generate(int daysBack, size_t bytes) {
    const std::string date = ShiftDate(kToday, -daysBack);
    EXPECT_TRUE(loggen::GenerateDay(kLogDir, date, {7, bytes}));
    return date;
}
// The big days are hundreds of MB: nothing is left behind.
struct ToolTest : ::testing::Test {
    void SetUp() override {
        for (const std::string& dir : {kLogDir, kOutDir, kIoDir}) ASSERT_TRUE(EmptyDir(dir));
    }
    void TearDown() override { SetUp(); }
};

// As a back office asks: RFC 3339 times, the answer as JSON; 23:30 at UTC-2 is the next day in
// UTC, so the range starts on the second day. What a package leaves is shown end to end on the
// library; here, only that the tool's answer tells it.
TEST_F(ToolTest, PackageOfPastDaysAnswersInJson) {
    std::vector<std::string> dates;
    for (int back = 3; back >= 0; --back) dates.push_back(Generate(back, 1u << 20));
    const auto kept = Sums(dates[0]) + Sums(dates[3]);
    const std::string archive = kOutDir + "/two-days.tar.gz";
    Tool tool({"package", "--json", "--from", dates[0] + "T23:30:00.5-02:00", "--to",
               dates[2] + "T08:00:00Z", "--output", archive});
    ASSERT_EQ(tool.Wait(), 0) << tool.Out() << tool.Err();
    const auto out = nlohmann::json::parse(tool.Out(), nullptr, false);
    const nlohmann::json expected = {{"option", "package"}, {"from", dates[1]}, {"to", dates[2]},
                                     {"result", "success"}, {"result_code", 2}, {"log_files", 8},
                                     {"exit_status", 0},    {"signal", nullptr}};
    for (const auto& [key, value] : expected.items()) EXPECT_EQ(out[key], value) << tool.Out();
    EXPECT_TRUE(out["archive"]["path"] == archive && out["archive"]["members"] == 8) << tool.Out();
    EXPECT_EQ(Output("tar -tzf '" + archive + "' | wc -l"), "8\n");
    EXPECT_EQ(Sums(dates[0]) + Sums(dates[3]), kept) << "a day outside the range was packed";
}

// Exit 2 and why for a bad command line, before anything is touched; exit 1 for a request the
// library drops on the loop (no log files), whatever its id.
TEST_F(ToolTest, BadCommandLinesAndDroppedRequests) {
    const std::string today = Generate(0, 64 << 10);
    // Taken output names; leftover .tar files: logs all present, the same cut short, one log
    // no longer present (which a refused command line must never remove).
    std::string names;
    for (const std::string& name : loggen::DayFileNames(today)) names += " " + name;
    ASSERT_TRUE(Shell("cd '" + kOutDir + "' && touch taken.tar.gz && tar -cf whole.tar -C '" +
                      kLogDir + "'" + names +
                      " && head -c 700 whole.tar >cut.tar && echo x >2001-01-01.log &&"
                      " tar -cf kept.tar 2001-01-01.log && rm 2001-01-01.log"));
    const auto pkg = [&](const std::string& output) {
        return std::vector<std::string>{"package", "--from", today, "--output", kOutDir + output};
    };
    const auto compress = [&](std::vector<std::string> more) {
        more.insert(more.begin(), {"compress", "--from", today});
        return more;
    };
    const struct {
        std::vector<std::string> args;
        const char* message;
        int status = 2;
    } kCases[] = {
        // clang-format off
        // the command and its options
        {{}, "no command given"}, {{"run", "--bogus"}, "unknown option '--bogus'"},
        {{"compress", "--from"}, "--from needs a value"}, {{"compress", "--to", today}, "--from DATE is required"},
        {{"package", "--from", today}, "--output PATH.tar.gz is required"},
        {compress({"--output", kOutDir + "/a.tar.gz"}), "does not apply"},
        // dates: the calendar, a time without its offset or past the day
        {{"compress", "--from", "2024-02-30x"}, "bad date '2024-02-30x'"},
        {{"compress", "--from", "2026-12-05T10:00:00"}, "bad date '2026-12-05T10:00:00'"},
        {{"compress", "--from", "2026-12-05T24:00:00Z"}, "bad date '2026-12-05T24:00:00Z'"},
        // the output: its name, its directory, and what is there already
        {pkg("/a.tgz"), "ending in .tar.gz"}, {pkg("/no/a.tar.gz"), "does not exist"},
        {pkg("/taken.tar.gz"), "already exists"}, {pkg("/whole.tar.gz"), "logs all still in"},
        {pkg("/cut.tar.gz"), "a cut copy"}, {pkg("/kept.tar.gz"), "holds 1 log file no longer in"},
        // ids
        {compress({"--id", std::string(128, 'x')}), "bad --id"}, {compress({"--id", "two\nlines"}), "bad --id"},
        // the service's settings
        {{"run", "--threshold", "0"}, "bad --threshold '0'"},
        {{"run", "--trigger-time", "24:00:00"}, "bad --trigger-time '24:00:00'"},
        {{"run", "--guard-dir", kOutDir + "/none"}, "is not an existing directory"},
        // dropped by the library; the id (127 bytes, kept whole) is no format
        {{"compress", "--from", "2001-01-01", "--id", "%s] x: " + std::string(120, 'i')}, "dropped the request", 1},
        // clang-format on
    };
    const auto before = Sums(today);
    for (const auto& c : kCases) {
        Tool tool(c.args);
        EXPECT_EQ(tool.Wait(), c.status) << c.message;
        EXPECT_NE(tool.Err().find(c.message), std::string::npos) << tool.Err();
        // A leftover .tar that holds a log no longer there is kept, and not offered for removal.
        EXPECT_TRUE(!strstr(c.message, "no longer in") ||
                    tool.Err().find("remov") == std::string::npos)
            << tool.Err();
        EXPECT_EQ(tool.Out().empty(), c.status == 2) << c.message;
    }
    EXPECT_EQ(Sums(today), before) << "a refused command line touched the logs";
    EXPECT_TRUE(Exists(kOutDir + "/kept.tar"));
}

// As the service runs: JSON Lines on stdout; the log directory's lock held, so that a second
// logcomp on it is refused before it touches anything; and SIGTERM ends it cleanly once the
// daily task it started was answered.
TEST_F(ToolTest, RunModeHoldsTheLockAndStopsOnSigtermWithEveryDailyTaskAnswered) {
    const std::string yesterday = Generate(1, 96u << 20);
    const auto before = Sums(yesterday);
    // A daily tick every 1.2 s; a guard on an empty directory that never reaches 100 %.
    Tool run({"run", "--json", "--trigger-time", "00:00:00", "--guard-period-ms", "20",
              "--guard-dir", kOutDir, "--threshold", "100"});
    ASSERT_TRUE(run.WaitFor(R"("unit":"daily","event":"started")", true)) << run.Err();
    Tool second({"compress", "--from", yesterday});
    EXPECT_EQ(second.Wait(), 3) << second.Err();
    EXPECT_NE(second.Err().find(kLogDir + ".lock"), std::string::npos) << second.Err();
    run.Signal(SIGTERM);
    ASSERT_EQ(run.Wait(), 0) << run.Err();
    std::istringstream lines(run.Out());
    nlohmann::json last;
    for (std::string line; std::getline(lines, line);) {
        last = nlohmann::json::parse(line, nullptr, false);
        ASSERT_FALSE(last.is_discarded()) << line;
    }
    const nlohmann::json expected = {
        {"event", "stopped"}, {"exit_status", 0}, {"daily_started", 1}, {"daily_answered", 1}};
    for (const auto& [key, value] : expected.items()) EXPECT_EQ(last[key], value) << run.Out();
    // Each of yesterday's files is either untouched or compressed whole: nothing is lost.
    EXPECT_EQ(Sums(yesterday), before);
}

// A dropped terminal session (SIGHUP) stops like Ctrl-C; the status is 128 + the signal's
// number. A terminal sends Ctrl-C to its whole foreground group: pressed again while the
// packed files are put back (the restore's staging directory exists), it must not cut the
// restore short.
TEST_F(ToolTest, StopSignalsDuringPackageRestoreThePackedFiles) {
    const std::string day = Generate(2, 256u << 20);
    const auto before = Sums(day);
    const std::string archive = kOutDir + "/big.tar.gz";
    const struct {
        int signo;
        int status;
        bool twice;
    } cases[] = {{SIGINT, 130, false}, {SIGHUP, 129, false}, {SIGINT, 130, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.signo);
        Tool tool({"package", "--from", day, "--output", archive}, c.twice);
        ASSERT_TRUE(tool.WaitFor("compressing file 1 of 1")) << tool.Err();
        tool.Signal(c.signo, c.twice);
        ASSERT_TRUE(
            !c.twice ||
            Until([] { return Shell("ls -d '" + kLogDir + "'/.logcomp/restore-*"); }, kDeadline))
            << tool.Err();
        if (c.twice) tool.Signal(c.signo, true);
        ASSERT_EQ(tool.Wait(), c.status) << tool.Err();
        EXPECT_NE(tool.Out().find("result     0 cancelled"), std::string::npos) << tool.Out();
        EXPECT_NE(tool.Out().find("restored   4 of 4"), std::string::npos) << tool.Out();
        EXPECT_EQ(Sums(day), before) << "the packed files are not back byte for byte";
        EXPECT_FALSE(Exists(archive) || Exists(kOutDir + "/big.tar"));
    }
}

}  // namespace
}  // namespace rel
