// Deadlock watchdog; see rel_watchdog.h.
#include "tests/reliability/rel_watchdog.h"

#include <dirent.h>
#include <execinfo.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/reliability/rel_env.h"

namespace rel {
namespace {

constexpr char kGdb[] = "/usr/bin/gdb";
constexpr int kGdbSeconds = 60;

std::atomic<bool> gDumped{false};

void PrintOwnStack(int) {
    void* frames[64];
    const int n = backtrace(frames, 64);
    char head[64];
    const int len =
        snprintf(head, sizeof head, "---- thread %ld\n", static_cast<long>(syscall(SYS_gettid)));
    (void)!write(STDERR_FILENO, head, static_cast<size_t>(len));
    backtrace_symbols_fd(frames, n, STDERR_FILENO);
    gDumped.store(true);
}

// gdb attached to this process; false when it cannot run here.
bool DumpWithGdb() {
    if (Emulated() || access(kGdb, X_OK) != 0) return false;
    (void)prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    const std::string pid = std::to_string(getpid());
    const char* argv[] = {kGdb,   "-batch", "-nx", "-p", pid.c_str(), "-ex", "thread apply all bt",
                          nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    pid_t child = -1;
    const int rc = posix_spawn(&child, kGdb, &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    for (int i = 0; i < kGdbSeconds * 10; ++i) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        usleep(100000);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return false;
}

// Each thread prints its own backtrace from a signal handler, one after the other.
void DumpWithSignals() {
    void* warm[1];
    (void)backtrace(warm, 1);  // loads the unwinder before any handler needs it
    struct sigaction sa {};
    sa.sa_handler = PrintOwnStack;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR2, &sa, nullptr);
    DIR* d = opendir("/proc/self/task");
    if (d == nullptr) return;
    std::vector<long> tids;
    while (const dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') tids.push_back(std::strtol(e->d_name, nullptr, 10));
    }
    closedir(d);
    for (long tid : tids) {
        gDumped.store(false);
        if (syscall(SYS_tgkill, getpid(), tid, SIGUSR2) != 0) continue;
        for (int i = 0; i < 100 && !gDumped.load(); ++i) usleep(10000);
    }
}

}  // namespace

void DumpAllThreads() {
    fprintf(stderr, "==== stacks of every thread (pid %d)\n", getpid());
    fflush(stderr);
    if (!DumpWithGdb()) DumpWithSignals();
    fprintf(stderr, "==== end of stacks\n");
    fflush(stderr);
}

Watchdog::Watchdog(std::function<std::string()> probe)
    : probe_(std::move(probe)), thread_([this] { Run(); }) {}

Watchdog::~Watchdog() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

void Watchdog::Run() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!cv_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; })) {
        lock.unlock();
        const std::string stall = probe_();
        if (!stall.empty()) {
            fprintf(stderr, "\nwatchdog: no progress: %s\n", stall.c_str());
            DumpAllThreads();
            abort();
        }
        lock.lock();
    }
}

}  // namespace rel
