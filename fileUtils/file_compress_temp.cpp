// The temporary an output grows in. O_EXCL and the lock make one compression the only writer
// of a temporary; a crash drops the lock with the process, which is how a leftover is told
// from a temporary in use.
#include "fileUtils/file_compress_temp.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "fileUtils/file_compress_log.h"

namespace {

bool TryLock(int fd) {
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

// Unlinks the file open as fd if it is a leftover: a regular file that nobody holds locked.
// True when the name may be created again.
bool UnlinkIfLeftover(const char* path, int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        HOST_LOG(LEVEL_ERROR, "FileCompress %s exists and is not a regular file: left alone", path);
        return false;
    }
    if (!TryLock(fd)) {
        HOST_LOG(LEVEL_ERROR, "FileCompress %s is being written by another compression", path);
        return false;
    }
    if (!FileCompressNamesFile(path, fd)) return true;  // removed or replaced meanwhile
    if (::unlink(path) != 0) {
        FileCompressLogErrno("removal of a leftover", path, errno);
        return false;
    }
    HOST_LOG(LEVEL_WARN, "FileCompress %s was left by an interrupted run: removed", path);
    return true;
}

// Whatever exists under the temporary's name: removed if it is a leftover, else left alone.
bool RemoveLeftover(const char* path) {
    // Non-blocking: a FIFO under that name must not hold the caller up.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return true;  // gone meanwhile
        FileCompressLogErrno("open of the existing temporary", path, errno);
        return false;
    }
    const bool removed = UnlinkIfLeftover(path, fd);
    ::close(fd);
    return removed;
}

// A file just created is locked at once; the name must still be ours then (another Start may
// have taken it, still unlocked, for a leftover and removed it).
int LockCreated(const char* path, int fd) {
    if (TryLock(fd) && FileCompressNamesFile(path, fd)) return fd;
    HOST_LOG(LEVEL_ERROR, "FileCompress %s was taken by another compression as it was created",
             path);
    ::close(fd);
    return -1;
}

int OpenExclusive(const char* path) {
    return ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
}

}  // namespace

int FileCompressTempCreate(const char* path) {
    int fd = OpenExclusive(path);
    if (fd < 0 && errno == EEXIST) {
        if (!RemoveLeftover(path)) return -1;
        fd = OpenExclusive(path);
    }
    if (fd < 0) {
        FileCompressLogErrno("create", path, errno);
        return -1;
    }
    return LockCreated(path, fd);
}

void FileCompressTempDiscard(const char* path, int fd) {
    if (FileCompressNamesFile(path, fd)) (void)::unlink(path);
    ::close(fd);
}

bool FileCompressNamesFile(const char* path, int fd) {
    struct stat named {};
    struct stat opened {};
    return ::lstat(path, &named) == 0 && ::fstat(fd, &opened) == 0 &&
           named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}
