// The storage guard end to end: a real small tmpfs in a private mount namespace, the reference
// device status and a real libuv loop. The guard deletes oldest-first, one entry per check,
// until the usage falls below the threshold, and touches nothing newer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "device/devStatus.h"
#include "device/devStatus_host.h"
#include "event/ev_host.h"
#include "event/ev_loop.h"
#include "logCompress/LogManager.h"
#include "logCompress/LogManagerInternal.h"
#include "logsys/log_sys_host.h"

namespace {

constexpr int kSkipCode = 77;
constexpr unsigned kChildTimeoutS = 120;
constexpr size_t kFileBytes = 256 * 1024;
constexpr uint8_t kThreshold = 60;
// mtime rank of each file by name: the guard must follow the times, not the names.
constexpr int kRank[] = {5, 2, 9, 0, 7, 11, 3, 10, 1, 6, 8, 4};
constexpr int kFiles = sizeof(kRank) / sizeof(kRank[0]);

// Failures of the scenario, collected in the child and reported through the pipe.
class Report {
  public:
    void Check(bool ok, const std::string& what) {
        if (!ok) out_ << what << "\n";
    }
    std::string Text() const { return out_.str(); }

  private:
    std::ostringstream out_;
};

struct Outcome {
    int code = -1;
    std::string text;
};

std::string ReadAll(int fd) {
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

// exit(), not _exit(): the sanitizer builds check for leaks and races on the way out and
// turn what they find into a failing exit status.
[[noreturn]] void ChildExit(int fd, int code, const std::string& text) {
    (void)!write(fd, text.data(), text.size());
    close(fd);
    exit(code);
}

// Runs body in a child with a tmpfs of `size` mounted on mountDir in a mount namespace of its
// own; the mount vanishes with the child. kSkipCode when this machine does not allow it.
Outcome RunOnPrivateTmpfs(const std::string& mountDir, const char* size,
                          const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return {-1, "pipe failed"};
    fflush(nullptr);  // the child must not write the parent's buffered output again
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        alarm(kChildTimeoutS);  // a hung scenario ends as a failure, not a hung test run
        const std::string options = std::string("size=") + size;
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", mountDir.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            ChildExit(fds[1], kSkipCode,
                      std::string("cannot mount a tmpfs in a private mount namespace here: ") +
                          strerror(errno));
        }
        const std::string failures = body();
        ChildExit(fds[1], failures.empty() ? 0 : 1, failures);
    }
    close(fds[1]);
    Outcome outcome;
    outcome.text = pid > 0 ? ReadAll(fds[0]) : "fork failed";
    close(fds[0]);
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid) {
        outcome.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return outcome;
}

// ---- the scenario, run inside the child

std::string FileName(int i) {
    return "station_" + std::to_string(i) + ".log";
}

time_t MtimeOf(int i) {
    return 1700000000 + kRank[i] * 60;
}

bool WriteFile(const std::string& path, time_t mtime) {
    const std::string data(kFileBytes, 'x');
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    const bool ok = fd >= 0 && write(fd, data.data(), data.size()) == ssize_t(data.size()) &&
                    futimens(fd, times) == 0;
    return fd >= 0 && close(fd) == 0 && ok;
}

double UsageOf(const std::string& dir) {
    Dev_Filesystem_Usage usage{};
    return DEV_getFilesystemUsage(dir.c_str(), &usage) == 0 ? usage.usageRatio : -1.0;
}

// The files still there, with their sizes and times untouched.
std::vector<int> Remaining(const std::string& dir, Report& report) {
    std::vector<int> left;
    for (int i = 0; i < kFiles; ++i) {
        struct stat st {};
        if (stat((dir + "/" + FileName(i)).c_str(), &st) != 0) continue;
        left.push_back(i);
        report.Check(st.st_size == off_t(kFileBytes) && st.st_mtim.tv_sec == MtimeOf(i),
                     FileName(i) + " was changed");
    }
    return left;
}

int OldestOf(const std::vector<int>& files) {
    return *std::min_element(files.begin(), files.end(),
                             [](int a, int b) { return kRank[a] < kRank[b]; });
}

// One storage check on the loop's thread, waited for.
class LoopCheck {
  public:
    explicit LoopCheck(EvLoop* loop) : loop_(loop) {}
    bool Run() {
        std::unique_lock<std::mutex> lock(mu_);
        const int target = done_ + 1;
        lock.unlock();
        EvRunInLoop(loop_, EV_TASK_T{&LoopCheck::OnLoop, this, 0});
        lock.lock();
        return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return done_ >= target; });
    }

  private:
    static void OnLoop(void* self) {
        auto* check = static_cast<LoopCheck*>(self);
        LogManagerOnTimer(nullptr, &sLogManager);
        std::lock_guard<std::mutex> lock(check->mu_);
        ++check->done_;
        check->cv_.notify_all();
    }
    EvLoop* loop_;
    std::mutex mu_;
    std::condition_variable cv_;
    int done_ = 0;
};

// Checks until the usage is below the threshold (and a few more), each time expecting the
// oldest remaining file gone exactly when the usage was at or above it.
void CheckUntilBelow(const std::string& logDir, LoopCheck& check, Report& report) {
    std::vector<int> left = Remaining(logDir, report);
    for (int quiet = 0, round = 0; quiet < 3 && round < kFiles; ++round) {
        const bool above = UsageOf(logDir) >= kThreshold;
        const int oldest = OldestOf(left);
        if (!check.Run()) {
            report.Check(false, "a check did not run on the loop");
            return;
        }
        std::vector<int> expected = left;
        if (above) expected.erase(std::find(expected.begin(), expected.end(), oldest));
        left = Remaining(logDir, report);
        report.Check(left == expected, "round " + std::to_string(round) + ": wrong files left");
        quiet += above ? 0 : 1;
    }
}

int CountLines(const std::string& path, const std::string& fragment, const std::string& end) {
    std::ifstream in(path);
    int count = 0;
    for (std::string line; std::getline(in, line);) {
        count += line.find(fragment) != std::string::npos && line.size() >= end.size() &&
                 line.compare(line.size() - end.size(), end.size(), end) == 0;
    }
    return count;
}

std::string GuardScenario(const std::string& mountDir, const std::string& logFile) {
    Report report;
    const std::string logDir = mountDir + "/log";
    report.Check(mkdir(logDir.c_str(), 0755) == 0, "mkdir " + logDir);
    DEV_setSdMountPoint(mountDir.c_str());
    report.Check(DEV_getSdStatus() == SD_STATUS_OK, "the tmpfs is not reported ready");
    LogSysSetFile(logFile.c_str());
    for (int i = 0; i < kFiles && report.Text().empty(); ++i) {
        report.Check(WriteFile(logDir + "/" + FileName(i), MtimeOf(i)), "write " + FileName(i));
    }
    report.Check(UsageOf(logDir) >= kThreshold + 10, "the files do not fill the tmpfs enough");
    if (!report.Text().empty()) return report.Text();

    EvLoop* loop = EvLoopCreate();
    report.Check(loop != nullptr && EvLoopStartThread(loop) == 0, "no running loop");
    LOG_MANAGER_CONFIG config{};
    snprintf(config.logDir, sizeof config.logDir, "%s", logDir.c_str());
    config.storageThreshold = kThreshold;
    report.Check(LogManagerInit(loop, &config) == 0, "LogManagerInit failed");
    if (report.Text().empty()) {
        LoopCheck check(loop);
        CheckUntilBelow(logDir, check, report);
    }
    LogManagerUninit();
    EvLoopStopAndJoin(loop);
    EvLoopDestroy(loop);
    LogSysSetFile(nullptr);

    const int deleted = kFiles - int(Remaining(logDir, report).size());
    report.Check(deleted >= 2, "fewer than two files deleted");
    report.Check(UsageOf(logDir) < kThreshold, "usage still at or above the threshold");
    const std::string line = "LogManagerOnTimer, delete oldest file " + logDir + "/";
    report.Check(CountLines(logFile, line, " success") == deleted,
                 "not one success line per deleted file");
    report.Check(CountLines(logFile, line, " failed") == 0, "a deletion failed");
    return report.Text();
}

TEST(ManagerGuard, DeletesOldestFirstOnePerCheckUntilBelowTheThreshold) {
    char mountDir[] = "/tmp/mgr_guard_XXXXXX";
    ASSERT_NE(mkdtemp(mountDir), nullptr);
    const std::string logFile = std::string(mountDir) + ".log";
    const Outcome outcome =
        RunOnPrivateTmpfs(mountDir, "4m", [&] { return GuardScenario(mountDir, logFile); });
    rmdir(mountDir);
    std::ifstream log(logFile);
    const std::string logText((std::istreambuf_iterator<char>(log)), {});
    unlink(logFile.c_str());
    if (outcome.code == kSkipCode) GTEST_SKIP() << outcome.text;
    EXPECT_EQ(outcome.code, 0) << outcome.text << "\nlog:\n" << logText;
}

}  // namespace
