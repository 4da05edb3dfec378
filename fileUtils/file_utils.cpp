// Host shell runner: `/bin/sh -c line` through posix_spawn, with stdout and stderr on one
// pipe. No global state, and every descriptor is close-on-exec, so that several threads can
// run commands at once without one child holding another's pipe open.
#include "fileUtils/file_utils.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "logsys/host_log.h"

namespace {

// Owns one descriptor.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return fd_; }
    void Reset() {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = -1;
    }

  private:
    int fd_;
};

// No blocked signals and default dispositions (a host that ignores SIGPIPE must not break the
// command's pipelines), and a process group of its own (a Ctrl-C meant for the host must not
// cut it short).
void SetChildAttributes(posix_spawnattr_t* attr) {
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(attr, &none);
    posix_spawnattr_setsigdefault(attr, &all);
    posix_spawnattr_setpgroup(attr, 0);
    posix_spawnattr_setflags(
        attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
}

// The child gets stdin from /dev/null and the pipe as stdout and stderr.
int Spawn(const char* cmd, int outFd, pid_t* pid) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDERR_FILENO);
    SetChildAttributes(&attr);
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(cmd),
                    nullptr};
    int rc = posix_spawn(pid, "/bin/sh", &actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return rc;
}

// Reads until end of file, keeping what fits in out (terminated) and dropping the rest.
void Collect(int fd, char* out, int outLen) {
    const size_t cap = static_cast<size_t>(outLen) - 1;
    size_t kept = 0;
    char scratch[4096];
    for (;;) {
        bool room = kept < cap;
        ssize_t n = read(fd, room ? out + kept : scratch, room ? cap - kept : sizeof scratch);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        if (room) {
            kept += static_cast<size_t>(n);
        }
    }
    out[kept] = '\0';
}

// 0 for a clean exit, -1 (logged) for a non-zero exit, a signal or a lost child.
int Reap(pid_t pid, const char* cmd) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            char reason[128];
            HOST_LOG(LEVEL_ERROR, "waitpid failed for \"%.200s\": %s", cmd,
                     strerror_r(errno, reason, sizeof reason));
            return -1;
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return 0;
    }
    if (WIFSIGNALED(status)) {
        HOST_LOG(LEVEL_WARN, "\"%.200s\" killed by signal %d", cmd, WTERMSIG(status));
    } else {
        HOST_LOG(LEVEL_WARN, "\"%.200s\" exited with %d", cmd, WEXITSTATUS(status));
    }
    return -1;
}

}  // namespace

extern "C" int FILE_system(const char* cmd, char* output, int outputLen) {
    if (cmd == nullptr || output == nullptr || outputLen <= 0) {
        HOST_LOG(LEVEL_ERROR, "bad arguments: cmd %s, output %s, outputLen %d",
                 cmd ? "set" : "NULL", output ? "set" : "NULL", outputLen);
        return -1;
    }
    output[0] = '\0';
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        char reason[128];
        HOST_LOG(LEVEL_ERROR, "pipe failed: %s", strerror_r(errno, reason, sizeof reason));
        return -1;
    }
    Fd readEnd(fds[0]);
    Fd writeEnd(fds[1]);
    pid_t pid = -1;
    int rc = Spawn(cmd, writeEnd.Get(), &pid);
    writeEnd.Reset();  // the child holds the only write end now: end of file when it ends
    if (rc != 0) {
        char reason[128];
        HOST_LOG(LEVEL_ERROR, "cannot start /bin/sh for \"%.200s\": %s", cmd,
                 strerror_r(rc, reason, sizeof reason));
        return -1;
    }
    Collect(readEnd.Get(), output, outputLen);
    readEnd.Reset();
    return Reap(pid, cmd);
}
