// Compression trigger: the file system calls behind packaging, restore and recovery. Nothing
// here follows a symbolic link: a link named like a log or an archive is never opened,
// synced, replaced or removed through.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "logCompress/LogCompTriggerInternal.h"

namespace {

bool SyncOpened(int fd) {
    bool ok = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return ok;
}

}  // namespace

bool LCTSyncFile(const char* path) {
    return SyncOpened(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
}

bool LCTSyncDir(const char* dir) {
    return SyncOpened(open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool LCTParentDir(const char* path, char* dir, size_t dirSize) {
    const char* slash = strrchr(path, '/');
    int n = 0;
    if (slash == nullptr) {
        n = snprintf(dir, dirSize, ".");
    } else if (slash == path) {
        n = snprintf(dir, dirSize, "/");
    } else {
        n = snprintf(dir, dirSize, "%.*s", static_cast<int>(slash - path), path);
    }
    return n > 0 && static_cast<size_t>(n) < dirSize;
}

bool LCTSyncFileAndDir(const char* path) {
    return LCTSyncFile(path) && LCTSyncParentDir(path);
}

bool LCTSyncParentDir(const char* path) {
    char dir[kLctPathMax];
    return LCTParentDir(path, dir, sizeof(dir)) && LCTSyncDir(dir);
}

bool LCTStatFile(const char* path, LCT_FILE_ID* id) {
    struct stat st {};
    if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    id->dev = static_cast<uint64_t>(st.st_dev);
    id->ino = static_cast<uint64_t>(st.st_ino);
    id->size = static_cast<uint64_t>(st.st_size);
    id->mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

bool LCTSameFile(const LCT_FILE_ID* a, const LCT_FILE_ID* b) {
    return a->dev == b->dev && a->ino == b->ino && a->size == b->size && a->mtimeNs == b->mtimeNs;
}

bool LCTEntryExists(const char* path) {
    struct stat st {};
    return lstat(path, &st) == 0 || errno != ENOENT;
}

bool LCTRemoveFile(const char* path) {
    struct stat st {};
    return lstat(path, &st) == 0 && S_ISREG(st.st_mode) && unlink(path) == 0;
}

bool LCTAbsoluteArchivePath(const char* path, char* out, size_t outSize) {
    int n = path[0] == '/' ? snprintf(out, outSize, "%s", path)
                           : snprintf(out, outSize, "%s/%s", LOG_COMP_LOG_DIR, path);
    return n > 0 && static_cast<size_t>(n) < outSize;
}

bool LCTArchiveOfOutput(const char* outputPath, char* out, size_t outSize) {
    char tarPath[kLctPathMax] = {0};
    size_t len = strlen(outputPath);
    snprintf(tarPath, sizeof(tarPath), "%.*s", static_cast<int>(len > 3 ? len - 3 : 0), outputPath);
    return LCTAbsoluteArchivePath(tarPath, out, outSize);
}

bool LCTMakeRecordDir(void) {
    if (mkdir(LCT_RECORD_DIR, 0700) == 0) {
        return LCTSyncDir(LOG_COMP_LOG_DIR);
    }
    struct stat st {};
    return errno == EEXIST && lstat(LCT_RECORD_DIR, &st) == 0 && S_ISDIR(st.st_mode);
}

DIR* LCTOpenDir(const char* path) {
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (dir == nullptr && fd >= 0) {
        close(fd);
    }
    return dir;
}

void LCTDropDir(const char* path) {
    DIR* dir = LCTOpenDir(path);
    if (dir == nullptr) {
        return;
    }
    for (const struct dirent* e = readdir(dir); e != nullptr; e = readdir(dir)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
            unlinkat(dirfd(dir), e->d_name, 0);
        }
    }
    closedir(dir);
    rmdir(path);
}
