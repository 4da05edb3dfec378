// Host device status from the file system itself: statvfs for the figures, the mount table
// for whether the card is there at all.
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstring>
#include <mutex>

#include "device/devStatus.h"
#include "device/devStatus_host.h"
#include "logsys/host_log.h"

namespace {

constexpr char kDefaultMountPoint[] = DEV_DEFAULT_SD_MOUNT_POINT;

std::mutex sMountMu;
char sMountPoint[PATH_MAX] = DEV_DEFAULT_SD_MOUNT_POINT;  // sMountMu

// Undoes the octal escapes (\040 for a space, ...) of a mountinfo field, in place.
void Unescape(char* field) {
    char* out = field;
    for (const char* in = field; *in != '\0'; ++out) {
        if (in[0] == '\\' && in[1] >= '0' && in[1] <= '3' && in[2] >= '0' && in[2] <= '7' &&
            in[3] >= '0' && in[3] <= '7') {
            *out = static_cast<char>((in[1] - '0') * 64 + (in[2] - '0') * 8 + (in[3] - '0'));
            in += 4;
        } else {
            *out = *in++;
        }
    }
    *out = '\0';
}

// True when the mount table lists path (canonical) as a mount point: catches bind mounts
// and mounts of the parent's own file system, which share the parent's st_dev.
bool ListedInMountTable(const char* path) {
    FILE* table = fopen("/proc/self/mountinfo", "re");
    if (table == nullptr) {
        return false;
    }
    bool found = false;
    char* line = nullptr;
    size_t lineCap = 0;
    while (!found && getline(&line, &lineCap, table) > 0) {
        // Fields: mount id, parent id, major:minor, root, mount point, ...
        char* save = nullptr;
        char* field = strtok_r(line, " ", &save);
        for (int i = 1; field != nullptr && i < 5; ++i) {
            field = strtok_r(nullptr, " ", &save);
        }
        if (field != nullptr) {
            Unescape(field);
            found = strcmp(field, path) == 0;
        }
    }
    free(line);
    fclose(table);
    return found;
}

bool IsMountPoint(const char* path, const struct stat& st) {
    char parentPath[PATH_MAX + 4];
    snprintf(parentPath, sizeof parentPath, "%s/..", path);
    struct stat parent {};
    if (stat(parentPath, &parent) != 0) {
        return false;
    }
    if (st.st_dev != parent.st_dev || st.st_ino == parent.st_ino) {
        return true;  // another file system, or the root
    }
    return ListedInMountTable(path);
}

}  // namespace

extern "C" {

void DEV_setSdMountPoint(const char* path) {
    const char* next = path != nullptr ? path : kDefaultMountPoint;
    if (strlen(next) >= PATH_MAX) {
        HOST_LOG(LEVEL_ERROR, "mount point path too long: kept the previous one");
        return;
    }
    std::lock_guard<std::mutex> lock(sMountMu);
    snprintf(sMountPoint, sizeof sMountPoint, "%s", next);
}

int DEV_getSdStatus(void) {
    char configured[PATH_MAX];
    {
        std::lock_guard<std::mutex> lock(sMountMu);
        memcpy(configured, sMountPoint, sizeof configured);
    }
    char path[PATH_MAX];
    struct stat st {};
    if (realpath(configured, path) == nullptr || stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) {
        return SD_STATUS_FORMAT_ERR;
    }
    if (!IsMountPoint(path, st)) {
        return SD_STATUS_UNMOUNT;
    }
    struct statvfs fs {};
    if (statvfs(path, &fs) != 0) {
        return SD_STATUS_FORMAT_ERR;
    }
    return (fs.f_flag & ST_RDONLY) != 0 ? SD_STATUS_READ_ONLY : SD_STATUS_OK;
}

// Figures as df shows them: blocks reserved for root count neither as used nor available.
int DEV_getFilesystemUsage(const char* path, Dev_Filesystem_Usage* usage) {
    if (path == nullptr || usage == nullptr) {
        HOST_LOG(LEVEL_ERROR, "bad arguments: path %s, usage %s", path ? "set" : "NULL",
                 usage ? "set" : "NULL");
        return -1;
    }
    struct statvfs fs {};
    if (statvfs(path, &fs) != 0) {
        char reason[128];
        HOST_LOG(LEVEL_ERROR, "statvfs %s failed: %s", path,
                 strerror_r(errno, reason, sizeof reason));
        return -1;
    }
    using ull = unsigned long long;
    const ull frsize = fs.f_frsize;
    const ull usedBlocks = fs.f_blocks >= fs.f_bfree ? fs.f_blocks - fs.f_bfree : 0;
    usage->totalBytes = static_cast<ull>(fs.f_blocks) * frsize;
    usage->availableBytes = static_cast<ull>(fs.f_bavail) * frsize;
    usage->usedBytes = usedBlocks * frsize;
    const double counted =
        static_cast<double>(usage->usedBytes) + static_cast<double>(usage->availableBytes);
    usage->usageRatio = counted > 0 ? static_cast<double>(usage->usedBytes) / counted * 100.0 : 0.0;
    return 0;
}

}  // extern "C"
