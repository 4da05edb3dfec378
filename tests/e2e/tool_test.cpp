// The logcomp tool through real processes: logcomp-testdir (the tool on the library variant
// whose log directory is the build tree's test directory), generated station logs, real tar
// and gzip, real signals. Exit statuses and outputs are what a script would rely on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/loggen/station_log_gen.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
constexpr auto kDeadline = 120s;  // generous: sanitizer builds on a shared machine
const std::string kTool = LOGCOMP_BINARY_DIR "/tools/logcomp-testdir";
const std::string kLogDir = LOGCOMP_TEST_LOG_DIR;
const std::string kOutDir = LOGCOMP_BINARY_DIR "/tool-test-out";

bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

std::string Shell(const std::string& cmd, int* status = nullptr) {
    std::string out;
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int rc = pclose(p);
    if (status != nullptr) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

// FNV-1a of a file's bytes; 0 when it cannot be read.
uint64_t Digest(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return 0;
    uint64_t h = 1469598103934665603ull;
    std::vector<unsigned char> buf(1 << 20);
    for (size_t n; (n = fread(buf.data(), 1, buf.size(), f)) > 0;) {
        for (size_t i = 0; i < n; ++i) h = (h ^ buf[i]) * 1099511628211ull;
    }
    fclose(f);
    return h;
}

std::map<std::string, uint64_t> Digests(const std::string& date) {
    std::map<std::string, uint64_t> out;
    for (const std::string& name : loggen::DayFileNames(date))
        out[name] = Digest(kLogDir + "/" + name);
    return out;
}

// A child process with its stdout and stderr collected while it runs.
class Child {
  public:
    // With ownGroup, the tool leads a process group of its own, as a terminal's foreground job.
    explicit Child(const std::vector<std::string>& args, bool ownGroup = false) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        std::vector<char*> argv{const_cast<char*>(kTool.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        if (ownGroup) posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        const int rc = posix_spawn(&pid_, kTool.c_str(), &actions, &attr, argv.data(), environ);
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        if (rc != 0) pid_ = -1;
        collector_ = std::thread(&Child::Collect, this, out[0], err[0]);
    }
    ~Child() {
        if (!exited_ && pid_ > 0) kill(pid_, SIGKILL);
        if (collector_.joinable()) collector_.join();
    }

    // True once `text` shows in stderr (or stdout); false when the child ended first.
    bool WaitFor(const std::string& text, bool inStdout = false) {
        std::unique_lock<std::mutex> lock(mu_);
        const std::string& s = inStdout ? out_ : err_;
        cv_.wait_for(lock, kDeadline, [&] { return s.find(text) != std::string::npos || exited_; });
        return s.find(text) != std::string::npos;
    }
    void Signal(int signo) { kill(pid_, signo); }
    void SignalGroup(int signo) { kill(-pid_, signo); }
    // The exit status, or -1 when the child did not end in time (it is then killed).
    int Wait() {
        std::unique_lock<std::mutex> lock(mu_);
        if (!cv_.wait_for(lock, kDeadline, [&] { return exited_; })) return -1;
        return status_;
    }
    std::string Out() {
        std::lock_guard<std::mutex> lock(mu_);
        return out_;
    }
    std::string Err() {
        std::lock_guard<std::mutex> lock(mu_);
        return err_;
    }

  private:
    void Collect(int outFd, int errFd) {
        pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
        for (int open = 2; open > 0;) {
            if (poll(fds, 2, -1) < 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || fds[i].revents == 0) continue;
                char buf[4096];
                const ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n <= 0) {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                    continue;
                }
                std::lock_guard<std::mutex> lock(mu_);
                (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(n));
                cv_.notify_all();
            }
        }
        int status = 0;
        const bool reaped = pid_ > 0 && waitpid(pid_, &status, 0) == pid_;
        std::lock_guard<std::mutex> lock(mu_);
        status_ = reaped && WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        exited_ = true;
        cv_.notify_all();
    }

    pid_t pid_ = -1;
    std::thread collector_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::string out_, err_;
    bool exited_ = false;
    int status_ = -1;
};

void Empty(const std::string& dir) {
    ASSERT_EQ(system(("mkdir -p '" + dir + "' && find '" + dir +
                      "' -mindepth 1 -maxdepth 1 -exec rm -rf {} +")
                         .c_str()),
              0);
}

class ToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Empty(kLogDir);
        Empty(kOutDir);
    }
    void TearDown() override {  // the big days are hundreds of MB: leave no copy behind
        Empty(kLogDir);
        Empty(kOutDir);
    }
    static void Generate(const std::string& date, size_t bytes) {
        ASSERT_TRUE(loggen::GenerateDay(kLogDir, date, {7, bytes}));
    }
};

// As a back office asks: RFC 3339 times, the answer as JSON.
TEST_F(ToolTest, PackageOfPastDaysGivesAValidArchiveAndRemovesThePackedFiles) {
    std::vector<std::string> dates;
    ASSERT_TRUE(loggen::GenerateDaysEndingToday(kLogDir, 4, {3, 1u << 20}, &dates));
    const auto firstBefore = Digests(dates[0]);
    const auto todayBefore = Digests(dates[3]);
    const std::string archive = kOutDir + "/two-days.tar.gz";
    // 23:30 at UTC-2 is the next day in UTC: the range starts on dates[1].
    Child tool({"package", "--json", "--from", dates[0] + "T23:30:00.5-02:00", "--to",
                dates[2] + "T08:00:00Z", "--output", archive});
    ASSERT_EQ(tool.Wait(), 0) << tool.Out() << tool.Err();
    const auto out = nlohmann::json::parse(tool.Out(), nullptr, false);
    const nlohmann::json expected = {{"option", "package"}, {"from", dates[1]}, {"to", dates[2]},
                                     {"result", "success"}, {"result_code", 2}, {"log_files", 8},
                                     {"exit_status", 0},    {"signal", nullptr}};
    for (const auto& [key, value] : expected.items()) EXPECT_EQ(out[key], value) << tool.Out();
    EXPECT_EQ(out["archive"]["path"], archive) << tool.Out();
    EXPECT_EQ(out["archive"]["members"], 8) << tool.Out();

    int status = -1;
    Shell("gzip -t '" + archive + "'", &status);
    EXPECT_EQ(status, 0) << "gzip -t rejects the archive";
    const std::string members = Shell("tar -tzf '" + archive + "' | sort", &status);
    EXPECT_EQ(status, 0) << members;
    for (int d = 1; d < 3; ++d) {
        for (const std::string& name : loggen::DayFileNames(dates[d])) {
            EXPECT_NE(members.find(name + "\n"), std::string::npos) << name << " not packed";
            EXPECT_FALSE(Exists(kLogDir + "/" + name)) << name << " of a past day was kept";
        }
    }
    EXPECT_EQ(Digests(dates[0]), firstBefore) << "the day before the range was packed";
    EXPECT_EQ(Digests(dates[3]), todayBefore) << "today's logs are not part of the range";
    EXPECT_FALSE(Exists(kOutDir + "/two-days.tar"));
}

TEST_F(ToolTest, BadCommandLinesExitWith2AndSayWhy) {
    const std::string today = loggen::UtcDate(0);
    Generate(today, 64 << 10);
    ASSERT_EQ(system(("touch '" + kOutDir + "/taken.tar.gz'").c_str()), 0);
    // Leftover .tar files: logs all present, the same cut short, one log no longer present.
    std::string names;
    for (const std::string& name : loggen::DayFileNames(today)) names += " " + name;
    ASSERT_EQ(system(("cd '" + kOutDir + "' && tar -cf whole.tar -C '" + kLogDir + "'" + names +
                      " && head -c 700 whole.tar >cut.tar && echo x >2001-01-01.log &&"
                      " tar -cf kept.tar 2001-01-01.log && rm 2001-01-01.log")
                         .c_str()),
              0);
    constexpr const char* kKeep = "holds 1 log file no longer in";
    const struct {
        std::vector<std::string> args;
        const char* message;
    } kCases[] = {
        {{}, "no command given"},
        {{"squash"}, "unknown command 'squash'"},
        {{"compress", "--from", "2024-02-30x"}, "bad date '2024-02-30x'"},
        {{"compress", "--from", "31/31/2024"}, "bad date '31/31/2024'"},
        {{"compress", "--from", "1899-12-31", "--to", "1900-01-02"}, "years 1900 to 2099"},
        {{"compress", "--from", "2026-12-05T10:00:00"}, "bad date '2026-12-05T10:00:00'"},
        {{"compress", "--from", "2026-02-29T10:00:00Z"}, "bad date '2026-02-29T10:00:00Z'"},
        {{"compress", "--from", "2026-12-05T24:00:00Z"}, "bad date '2026-12-05T24:00:00Z'"},
        {{"compress", "--to", today}, "--from DATE is required"},
        {{"package", "--from", today}, "--output PATH.tar.gz is required"},
        {{"package", "--from", today, "--output", kOutDir + "/a.tgz"}, "ending in .tar.gz"},
        {{"package", "--from", today, "--output", kOutDir + "/.tar.gz"}, "ending in .tar.gz"},
        {{"package", "--from", today, "--output", kOutDir + "/no/a.tar.gz"}, "does not exist"},
        {{"package", "--from", today, "--output", kOutDir + "/taken.tar.gz"}, "already exists"},
        {{"package", "--from", today, "--output", kOutDir + "/whole.tar.gz"}, "logs all still in"},
        {{"package", "--from", today, "--output", kOutDir + "/cut.tar.gz"}, "a cut copy"},
        {{"package", "--from", today, "--output", kOutDir + "/kept.tar.gz"}, kKeep},
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
    const auto before = Digests(today);
    for (const auto& c : kCases) {
        Child tool(c.args);
        EXPECT_EQ(tool.Wait(), 2) << c.message;
        EXPECT_NE(tool.Err().find(c.message), std::string::npos) << tool.Err();
        EXPECT_EQ(tool.Out(), "") << c.message;
        EXPECT_TRUE(c.message != kKeep || tool.Err().find("remov") == std::string::npos);
    }
    EXPECT_EQ(Digests(today), before) << "a refused command line touched the logs";
}

// Without log files the library drops the request on the loop and never answers.
TEST_F(ToolTest, ARequestTheLibraryDropsIsReportedWhateverItsId) {
    const std::string id = "%s] x: " + std::string(120, 'i');  // 127 bytes: kept whole
    Child tool({"compress", "--from", "2001-01-01", "--id", id});
    ASSERT_EQ(tool.Wait(), 1) << tool.Out() << tool.Err();
    EXPECT_NE(tool.Err().find("dropped the request"), std::string::npos) << tool.Err();
}

TEST_F(ToolTest, SigtermStopsRunModeCleanlyWithEveryDailyTaskAnswered) {
    const std::string yesterday = loggen::UtcDate(1);
    Generate(yesterday, 96u << 20);
    const auto before = Digests(yesterday);
    // A daily tick every 1.2 s; a guard on an empty directory that never reaches 100 %.
    Child tool({"run", "--trigger-time", "00:00:00", "--guard-period-ms", "20", "--guard-dir",
                kOutDir, "--threshold", "100"});
    ASSERT_TRUE(tool.WaitFor("files handed to the executor", true)) << tool.Out() << tool.Err();
    tool.Signal(SIGTERM);
    ASSERT_EQ(tool.Wait(), 0) << tool.Out() << tool.Err();
    EXPECT_NE(tool.Out().find("daily tasks: 1 started, 1 answered"), std::string::npos)
        << tool.Out();
    // Each of yesterday's files is either untouched or compressed whole: nothing is lost.
    for (const auto& [name, digest] : before) {
        const std::string path = kLogDir + "/" + name;
        if (Exists(path)) {
            EXPECT_EQ(Digest(path), digest) << name;
            continue;
        }
        int status = -1;
        Shell("gzip -t '" + path + ".gz'", &status);
        EXPECT_EQ(status, 0) << name << " is gone without a valid .gz";
    }
}

// As the service runs: JSON Lines on stdout, and the log directory's lock held, so that a
// second logcomp on the same directory is refused before it touches anything.
TEST_F(ToolTest, RunWritesJsonLinesAndLocksOutASecondInstance) {
    Child run({"run", "--json", "--guard-dir", kOutDir, "--threshold", "100"});
    ASSERT_TRUE(run.WaitFor(R"("event":"started")", true)) << run.Out() << run.Err();
    Child second({"compress", "--from", loggen::UtcDate(1)});
    EXPECT_EQ(second.Wait(), 3) << second.Out() << second.Err();
    EXPECT_NE(second.Err().find(kLogDir + ".lock"), std::string::npos) << second.Err();
    run.Signal(SIGTERM);
    ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    std::istringstream lines(run.Out());
    nlohmann::json last;
    for (std::string line; std::getline(lines, line);) {
        last = nlohmann::json::parse(line, nullptr, false);
        ASSERT_FALSE(last.is_discarded()) << line;
    }
    EXPECT_EQ(last["event"], "stopped") << run.Out();
    EXPECT_EQ(last["exit_status"], 0) << run.Out();
}

// True once the library unpacks a stopped package (its staging directory exists).
bool WaitForRestore() {
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = -1;
        Shell("ls -d '" + kLogDir + "'/.logcomp/restore-*", &status);
        if (status == 0) return true;
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

// A dropped terminal session (SIGHUP) stops like Ctrl-C; the status is 128 + the signal's
// number. A terminal sends Ctrl-C to its whole foreground group: pressed again while the
// packed files are put back, it must not cut the restore short.
TEST_F(ToolTest, StopSignalsDuringPackageRestoreThePackedFiles) {
    const std::string day = loggen::UtcDate(2);
    Generate(day, 256u << 20);
    const auto before = Digests(day);
    const std::string archive = kOutDir + "/big.tar.gz";
    struct {
        int signo;
        int status;
        bool groupTwice;
    } cases[] = {{SIGINT, 130, false}, {SIGHUP, 129, false}, {SIGINT, 130, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.signo);
        Child tool({"package", "--from", day, "--output", archive}, c.groupTwice);
        ASSERT_TRUE(tool.WaitFor("compressing file 1 of 1")) << tool.Out() << tool.Err();
        if (c.groupTwice) {
            tool.SignalGroup(c.signo);
            ASSERT_TRUE(WaitForRestore()) << tool.Out() << tool.Err();
            tool.SignalGroup(c.signo);
        } else {
            tool.Signal(c.signo);
        }
        ASSERT_EQ(tool.Wait(), c.status) << tool.Out() << tool.Err();
        EXPECT_NE(tool.Out().find("result     0 cancelled"), std::string::npos) << tool.Out();
        EXPECT_NE(tool.Out().find("restored   4 of 4"), std::string::npos) << tool.Out();
        EXPECT_EQ(Digests(day), before) << "the packed files are not back byte for byte";
        EXPECT_FALSE(Exists(archive));
        EXPECT_FALSE(Exists(kOutDir + "/big.tar"));
    }
}

}  // namespace
