// Helpers of the host tests: a directory of one test, threads started at once, and a tmpfs for one
// test, mounted in a child process's own mount namespace, so that it vanishes with the child and
// nothing reaches the machine's mounts.
#pragma once

#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "tests/support/files.h"

namespace hosttest {

using rel::TempDir;

// Runs body(0) to body(n - 1) on n threads at once and waits for them.
inline void OnThreads(int n, const std::function<void(int)>& body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < n; ++t) threads.emplace_back(body, t);
    for (auto& thread : threads) thread.join();
}

// Runs body in a child with a tmpfs of `size` (mount's size= option) on dir, and returns what
// body returned there ("" for success), or nullopt where this machine allows no private mount.
inline std::optional<std::string> InPrivateTmpfs(const std::string& dir, const std::string& size,
                                                 const std::function<std::string()>& body) {
    // Shared with the child, read once it ended.
    auto* shared = static_cast<char*>(
        mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (shared == MAP_FAILED) return "no shared memory";
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(120);  // a hung body ends as a failure
        const bool mounted = unshare(CLONE_NEWNS) == 0 &&
                             mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                             mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
        if (mounted) snprintf(shared, 4096, "%s", body().c_str());
        exit(mounted ? 0 : 77);  // exit(), not _exit(): the sanitizers' leak check runs here too
    }
    int status = -1;  // stays so where no child was made or reaped
    if (pid > 0) waitpid(pid, &status, 0);
    const std::string verdict(shared);
    munmap(shared, 4096);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) return std::nullopt;
    return status == 0 ? verdict : verdict + " (child status " + std::to_string(status) + ")";
}

}  // namespace hosttest
