// Child processes of the reliability tests; see rel_child.h.
#include "tests/reliability/rel_child.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace rel {
namespace {

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

// exit(), not _exit(): the sanitizers check for leaks and races on the way out and turn what
// they find into a failing exit status.
[[noreturn]] void ChildExit(int fd, int code, const std::string& text) {
    (void)!write(fd, text.data(), text.size());
    close(fd);
    exit(code);
}

}  // namespace

ChildOutcome RunOnPrivateTmpfs(const std::string& mountDir, const char* size,
                               const std::function<std::string()>& body, unsigned timeoutS) {
    int fds[2];
    if (pipe(fds) != 0) return {-1, "pipe failed"};
    fflush(nullptr);  // the child must not write the parent's buffered output again
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        alarm(timeoutS);  // a hung scenario ends as a failure, not as a hung test run
        const std::string options = std::string("size=") + size;
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", mountDir.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            ChildExit(fds[1], kSkipCode,
                      std::string("cannot mount a tmpfs in a private mount namespace here: ") +
                          strerror(errno));
        }
        const std::string findings = body();
        ChildExit(fds[1], findings.empty() ? 0 : 1, findings);
    }
    close(fds[1]);
    ChildOutcome outcome;
    outcome.text = pid > 0 ? ReadAll(fds[0]) : "fork failed";
    close(fds[0]);
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid) {
        outcome.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return outcome;
}

bool FillDisk(const std::string& path) {
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::vector<char> block(1 << 20, 'F');
    for (size_t chunk = block.size(); chunk > 0;) {
        const ssize_t n = write(fd, block.data(), chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != ENOSPC) break;
        if (n <= 0) chunk /= 2;  // full at this size: try smaller pieces down to one byte
    }
    struct statvfs vfs {};
    const bool full = fstatvfs(fd, &vfs) == 0 && vfs.f_bavail == 0;
    close(fd);
    return full;
}

}  // namespace rel
