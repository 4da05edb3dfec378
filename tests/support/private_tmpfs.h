// A tmpfs for one test: mounted in a child process's own mount namespace, so it vanishes with
// the child and nothing reaches the machine's mounts.
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

namespace hosttest {

// Runs body in a child with a tmpfs of `size` (mount's size= option) on dir, and returns what
// body returned there ("" for success), or nullopt where this machine allows no private mount.
// The child ends with exit(), so that the sanitizers' leak check runs in it too.
inline std::optional<std::string> InPrivateTmpfs(const std::string& dir, const std::string& size,
                                                 const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        alarm(120);  // a hung body ends as a failure
        const bool mounted = unshare(CLONE_NEWNS) == 0 &&
                             mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                             mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
        const std::string verdict = mounted ? body() : "";
        (void)!write(fds[1], verdict.data(), verdict.size());
        exit(mounted ? 0 : 77);
    }
    close(fds[1]);
    std::string verdict;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) != 0 && (n > 0 || errno == EINTR);)
        verdict.append(buf, n > 0 ? static_cast<size_t>(n) : 0);
    close(fds[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return "no child";
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) return std::nullopt;
    if (status != 0) verdict += " (child status " + std::to_string(status) + ")";
    return verdict;
}

}  // namespace hosttest
