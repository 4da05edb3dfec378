// One logcomp per log directory: two would pack, compress and put back the same files. The
// lock is a file beside the directory, not in it, so that the library's scans never list it
// and the storage guard never deletes it. It holds the pid of its holder, for the refusal.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/logcomp/logcomp.h"

namespace logcomp {
namespace {

// Only a hint for another instance's refusal: failing to write it changes nothing.
void WritePid(int fd) {
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) < 0) return;
}

// "process 1234", from the holder's pid; a holder that has not written it yet is "a process".
std::string Holder(int fd) {
    char text[24] = {};
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    const long pid = n > 0 ? std::strtol(text, nullptr, 10) : 0;
    return pid > 0 ? "process " + std::to_string(pid) : "a process";
}

}  // namespace

std::string LockPath() {
    std::string dir = LogDir();
    dir.erase(dir.find_last_not_of('/') + 1);  // "/media/data/log/" locks beside it too
    return dir + ".lock";
}

// The descriptor stays open, unexported (O_CLOEXEC keeps the library's tar and gzip from
// holding the lock after the tool), until the process ends and the kernel lets go.
int LockLogDir(Console& console) {
    const std::string path = LockPath();
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        console.Error("cannot open the lock %s: %s", path.c_str(), std::strerror(errno));
        return kExitFailed;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        WritePid(fd);
        return kExitOk;
    }
    const int error = errno;
    const std::string holder = Holder(fd);
    close(fd);
    if (error != EWOULDBLOCK) {
        console.Error("cannot lock %s: %s", path.c_str(), std::strerror(error));
        return kExitFailed;
    }
    console.Error("another logcomp (%s) works on %s: it holds the lock %s", holder.c_str(),
                  LogDir(), path.c_str());
    return kExitLocked;
}

}  // namespace logcomp
