// The logcomp tool through real processes: logcomp-testdir (the tool on the library variant
// whose log directory is the build tree's test directory), generated station logs, real tar
// and gzip, real signals. Exit statuses and outputs are what a script would rely on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include "tests/support/files.h"
#include "tools/loggen/station_log_gen.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = 120s;  // generous: sanitizer builds on a shared machine
const std::string kTool = LOGCOMP_BINARY_DIR "/tools/logcomp-testdir";
const std::string kLogDir = LOGCOMP_TEST_LOG_DIR;
const std::string kOutDir = LOGCOMP_BINARY_DIR "/tool-test-out";
const std::string kIoDir = LOGCOMP_BINARY_DIR "/tool-test-io";

std::string Read(const std::string& path) {
    std::string text;
    rel::ReadFile(path, &text);
    return text;
}
std::string Shell(const std::string& cmd, bool* ok = nullptr) {
    std::string out;
    const bool exited0 = rel::Shell(cmd, &out);
    if (ok != nullptr) *ok = exited0;
    return out;
}

// The checksum of a log, or of what its .gz holds once it is gone.
std::string Sum(const std::string& name) {
    const std::string path = kLogDir + "/" + name;
    return Shell(rel::Exists(path) ? "cksum <'" + path + "'"
                                   : "gzip -dc '" + path + ".gz' | cksum");
}
// A checksum per log of a date, or why it has none.
std::string Sums(const std::string& date) {
    std::string names;
    for (const std::string& name : loggen::DayFileNames(date)) names += " " + name;
    return Shell("cd '" + kLogDir + "' && cksum" + names);
}

// The tool as a child process, its stdout and stderr in files.
class Tool {
  public:
    // With ownGroup, it leads a process group of its own, as a terminal's foreground job.
    explicit Tool(std::vector<std::string> args, bool ownGroup = false) {
        static int count = 0;
        io_ = kIoDir + "/" + std::to_string(count++);
        args.insert(args.begin(), kTool);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int out = open((io_ + ".out").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        const int err = open((io_ + ".err").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        pid_ = fork();
        if (pid_ == 0) {
            if (ownGroup) setpgid(0, 0);
            dup2(out, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            execv(kTool.c_str(), argv.data());
            _exit(127);
        }
        close(out);
        close(err);
    }
    ~Tool() {
        if (!Exited()) kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    std::string Out() const { return Read(io_ + ".out"); }
    std::string Err() const { return Read(io_ + ".err"); }
    std::string Both() const { return Out() + Err(); }
    void Signal(int signo, bool group = false) { kill(group ? -pid_ : pid_, signo); }

    // True once `text` shows in its stderr (or stdout); false when it ended first.
    bool WaitFor(const std::string& text, bool inStdout = false) {
        auto seen = [&] { return (inStdout ? Out() : Err()).find(text) != std::string::npos; };
        for (const auto end = Clock::now() + kDeadline; Clock::now() < end && !Exited();) {
            if (seen()) return true;
            std::this_thread::sleep_for(5ms);
        }
        return seen();
    }
    // The exit status, or -1 when the tool did not end in time.
    int Wait() {
        for (const auto end = Clock::now() + kDeadline; !Exited(); std::this_thread::sleep_for(5ms))
            if (Clock::now() > end) return -1;
        return status_;
    }

  private:
    bool Exited() {
        int status = 0;
        if (status_ == kRunning && waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        }
        return status_ != kRunning;
    }
    static constexpr int kRunning = -100;
    std::string io_;
    pid_t pid_ = -1;
    int status_ = kRunning;
};

class ToolTest : public ::testing::Test {
  protected:
    // The big days are hundreds of MB: nothing is left behind.
    void SetUp() override { Empty(); }
    void TearDown() override { Empty(); }
    static void Empty() {
        for (const std::string& dir : {kLogDir, kOutDir, kIoDir}) ASSERT_TRUE(rel::EmptyDir(dir));
    }
    static void Generate(const std::string& date, size_t bytes) {
        ASSERT_TRUE(loggen::GenerateDay(kLogDir, date, {7, bytes}));
    }
};

// As a back office asks: RFC 3339 times, the answer as JSON.
TEST_F(ToolTest, PackageOfPastDaysGivesAValidArchiveAndRemovesThePackedFiles) {
    std::vector<std::string> dates;
    ASSERT_TRUE(loggen::GenerateDaysEndingToday(kLogDir, 4, {3, 1u << 20}, &dates));
    const auto firstBefore = Sums(dates[0]);
    const auto todayBefore = Sums(dates[3]);
    const std::string archive = kOutDir + "/two-days.tar.gz";
    // 23:30 at UTC-2 is the next day in UTC: the range starts on dates[1].
    Tool tool({"package", "--json", "--from", dates[0] + "T23:30:00.5-02:00", "--to",
               dates[2] + "T08:00:00Z", "--output", archive});
    ASSERT_EQ(tool.Wait(), 0) << tool.Both();
    const auto out = nlohmann::json::parse(tool.Out(), nullptr, false);
    const nlohmann::json expected = {{"option", "package"}, {"from", dates[1]}, {"to", dates[2]},
                                     {"result", "success"}, {"result_code", 2}, {"log_files", 8},
                                     {"exit_status", 0},    {"signal", nullptr}};
    for (const auto& [key, value] : expected.items()) EXPECT_EQ(out[key], value) << tool.Out();
    EXPECT_EQ(out["archive"]["path"], archive) << tool.Out();
    EXPECT_EQ(out["archive"]["members"], 8) << tool.Out();

    bool ok = false;
    const std::string members =
        Shell("gzip -t '" + archive + "' && tar -tzf '" + archive + "'", &ok);
    EXPECT_TRUE(ok) << members;
    for (int d = 1; d < 3; ++d) {
        for (const std::string& name : loggen::DayFileNames(dates[d])) {
            EXPECT_NE(members.find(name + "\n"), std::string::npos) << name << " not packed";
            EXPECT_FALSE(rel::Exists(kLogDir + "/" + name)) << name << " of a past day was kept";
        }
    }
    EXPECT_EQ(Sums(dates[0]), firstBefore) << "the day before the range was packed";
    EXPECT_EQ(Sums(dates[3]), todayBefore) << "today's logs are not part of the range";
    EXPECT_FALSE(rel::Exists(kOutDir + "/two-days.tar"));
}

TEST_F(ToolTest, BadCommandLinesExitWith2AndSayWhy) {
    const std::string today = loggen::UtcDate(0);
    Generate(today, 64 << 10);
    // Taken output names; leftover .tar files: logs all present, the same cut short, one log
    // no longer present (which a refused command line must never remove).
    std::string names;
    for (const std::string& name : loggen::DayFileNames(today)) names += " " + name;
    ASSERT_EQ(system(("cd '" + kOutDir + "' && touch taken.tar.gz && tar -cf whole.tar -C '" +
                      kLogDir + "'" + names +
                      " && head -c 700 whole.tar >cut.tar && echo x >2001-01-01.log &&"
                      " tar -cf kept.tar 2001-01-01.log && rm 2001-01-01.log")
                         .c_str()),
              0);
    const auto pkg = [&](const std::string& output) {
        return std::vector<std::string>{"package", "--from", today, "--output", kOutDir + output};
    };
    constexpr const char* kKeep = "holds 1 log file no longer in";  // and it is not removed
    const struct {
        std::vector<std::string> args;
        const char* message;
    } kCases[] = {
        {{}, "no command given"},
        {{"squash"}, "unknown command 'squash'"},
        {{"compress", "--from", "2024-02-30x"}, "bad date '2024-02-30x'"},
        {{"compress", "--from", "1899-12-31", "--to", "1900-01-02"}, "years 1900 to 2099"},
        {{"compress", "--from", "2026-12-05T10:00:00"}, "bad date '2026-12-05T10:00:00'"},
        {{"compress", "--from", "2026-02-29T10:00:00Z"}, "bad date '2026-02-29T10:00:00Z'"},
        {{"compress", "--from", "2026-12-05T24:00:00Z"}, "bad date '2026-12-05T24:00:00Z'"},
        {{"compress", "--to", today}, "--from DATE is required"},
        {{"package", "--from", today}, "--output PATH.tar.gz is required"},
        {pkg("/a.tgz"), "ending in .tar.gz"},
        {pkg("/.tar.gz"), "ending in .tar.gz"},
        {pkg("/no/a.tar.gz"), "does not exist"},
        {pkg("/taken.tar.gz"), "already exists"},
        {pkg("/whole.tar.gz"), "logs all still in"},
        {pkg("/cut.tar.gz"), "a cut copy"},
        {pkg("/kept.tar.gz"), kKeep},
        {{"compress", "--from", today, "--output", kOutDir + "/a.tar.gz"}, "does not apply"},
        {{"compress", "--from", today, "--id", std::string(128, 'x')}, "bad --id"},
        {{"compress", "--from", today, "--id", "two\nlines"}, "bad --id"},
        {{"compress", "--from", today, "--log-level", "loud"}, "bad --log-level 'loud'"},
        {{"compress", "--from"}, "--from needs a value"},
        {{"run", "--threshold", "0"}, "bad --threshold '0'"},
        {{"run", "--trigger-time", "24:00:00"}, "bad --trigger-time '24:00:00'"},
        {{"run", "--guard-dir", kOutDir + "/none"}, "is not an existing directory"},
        {{"run", "--guard-period-ms", "0"}, "bad --guard-period-ms '0'"},
        {{"run", "--bogus"}, "unknown option '--bogus'"},
    };
    const auto before = Sums(today);
    for (const auto& c : kCases) {
        Tool tool(c.args);
        EXPECT_EQ(tool.Wait(), 2) << c.message;
        EXPECT_NE(tool.Err().find(c.message), std::string::npos) << tool.Err();
        EXPECT_TRUE(c.message != kKeep || tool.Err().find("remov") == std::string::npos);
        EXPECT_EQ(tool.Out(), "") << c.message;
    }
    EXPECT_EQ(Sums(today), before) << "a refused command line touched the logs";
}

// Without log files the library drops the request on the loop and never answers.
TEST_F(ToolTest, ARequestTheLibraryDropsIsReportedWhateverItsId) {
    const std::string id = "%s] x: " + std::string(120, 'i');  // 127 bytes: kept whole
    Tool tool({"compress", "--from", "2001-01-01", "--id", id});
    ASSERT_EQ(tool.Wait(), 1) << tool.Both();
    EXPECT_NE(tool.Err().find("dropped the request"), std::string::npos) << tool.Err();
}

// As the service runs: JSON Lines on stdout; the log directory's lock held, so that a second
// logcomp on it is refused before it touches anything; and SIGTERM ends it cleanly once the
// daily task it started was answered.
TEST_F(ToolTest, RunModeHoldsTheLockAndStopsOnSigtermWithEveryDailyTaskAnswered) {
    const std::string yesterday = loggen::UtcDate(1);
    Generate(yesterday, 96u << 20);
    std::map<std::string, std::string> before;
    for (const std::string& name : loggen::DayFileNames(yesterday)) before[name] = Sum(name);
    // A daily tick every 1.2 s; a guard on an empty directory that never reaches 100 %.
    Tool run({"run", "--json", "--trigger-time", "00:00:00", "--guard-period-ms", "20",
              "--guard-dir", kOutDir, "--threshold", "100"});
    ASSERT_TRUE(run.WaitFor(R"("unit":"daily","event":"started")", true)) << run.Both();
    Tool second({"compress", "--from", yesterday});
    EXPECT_EQ(second.Wait(), 3) << second.Both();
    EXPECT_NE(second.Err().find(kLogDir + ".lock"), std::string::npos) << second.Err();
    run.Signal(SIGTERM);
    ASSERT_EQ(run.Wait(), 0) << run.Both();
    std::istringstream lines(run.Out());
    nlohmann::json last;
    for (std::string line; std::getline(lines, line);) {
        last = nlohmann::json::parse(line, nullptr, false);
        ASSERT_FALSE(last.is_discarded()) << line;
    }
    EXPECT_EQ(last["event"], "stopped") << run.Out();
    EXPECT_EQ(last["exit_status"], 0) << run.Out();
    EXPECT_EQ(last["daily_started"], 1) << run.Out();
    EXPECT_EQ(last["daily_answered"], 1) << run.Out();
    // Each of yesterday's files is either untouched or compressed whole: nothing is lost.
    for (const auto& [name, sum] : before) EXPECT_EQ(Sum(name), sum) << name;
}

// A dropped terminal session (SIGHUP) stops like Ctrl-C; the status is 128 + the signal's
// number. A terminal sends Ctrl-C to its whole foreground group: pressed again while the
// packed files are put back (the restore's staging directory exists), it must not cut the
// restore short.
TEST_F(ToolTest, StopSignalsDuringPackageRestoreThePackedFiles) {
    const std::string day = loggen::UtcDate(2);
    Generate(day, 256u << 20);
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
        ASSERT_TRUE(tool.WaitFor("compressing file 1 of 1")) << tool.Both();
        tool.Signal(c.signo, c.twice);
        if (c.twice) {
            bool restoring = false;
            for (const auto end = Clock::now() + kDeadline; !restoring && Clock::now() < end;) {
                Shell("ls -d '" + kLogDir + "'/.logcomp/restore-*", &restoring);
            }
            ASSERT_TRUE(restoring) << tool.Both();
            tool.Signal(c.signo, true);
        }
        ASSERT_EQ(tool.Wait(), c.status) << tool.Both();
        EXPECT_NE(tool.Out().find("result     0 cancelled"), std::string::npos) << tool.Out();
        EXPECT_NE(tool.Out().find("restored   4 of 4"), std::string::npos) << tool.Both();
        EXPECT_EQ(Sums(day), before) << "the packed files are not back byte for byte";
        EXPECT_FALSE(rel::Exists(archive));
        EXPECT_FALSE(rel::Exists(kOutDir + "/big.tar"));
    }
}

}  // namespace
