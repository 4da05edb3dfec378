// Storage guard: a 10-second check of the data card that deletes the oldest entry of the log
// directory, one per check, while the file system's usage is at or above the threshold.
#include "logCompress/LogManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device/devStatus.h"
#include "event/uv_timer.h"
#include "logCompress/LogCompLog.h"
#include "logCompress/LogCompPaths.h"
#include "logCompress/LogManagerInternal.h"

LOG_MANAGER_T sLogManager{};

namespace {

constexpr size_t kPathSize = 512;  // the search's path buffers, NUL included
constexpr uint8_t kDefaultThreshold = 70;
constexpr uint8_t kMaxThreshold = 100;
constexpr uint8_t kSilentChecks = 6;  // successful checks between two usage lines
constexpr unsigned kMbShift = 20;
constexpr int kTmYearBase = 1900;
constexpr int kMinYear = 1900;
constexpr int kMaxYear = 2100;
constexpr size_t kDateLen = 10;  // DDDD-DD-DD

// ---- the date written in a path

bool DateFitsAt(const char* p) {
    for (size_t i = 0; i < kDateLen; ++i) {
        const char c = p[i];  // a NUL fits neither branch, so the test never reads past it
        const bool fits = (i == 4 || i == 7) ? c == '-' : (c >= '0' && c <= '9');
        if (!fits) {
            return false;
        }
    }
    return true;
}

int ReadDigits(const char* p, size_t count) {
    int value = 0;
    for (size_t i = 0; i < count; ++i) {
        value = value * 10 + (p[i] - '0');
    }
    return value;
}

const char* FirstDate(const char* path) {
    for (const char* p = path; *p != '\0'; ++p) {
        if (DateFitsAt(p)) {
            return p;
        }
    }
    return nullptr;
}

// ---- the search's path buffers

// Writes s at buf[at], cut so that the whole text stays within kPathSize - 1 characters.
size_t PutText(char* buf, size_t at, const char* s) {
    const size_t n = strnlen(s, kPathSize - 1 - at);
    std::memcpy(buf + at, s, n);
    buf[at + n] = '\0';
    return at + n;
}

bool IsKnownType(EXTRACT_DATE_TYPE extractType) {
    return extractType == EDT_FILENAME || extractType == EDT_MODIFY_TIME;
}

// Named like the path-only form so that its message names the same function. The search
// passes the open directory and the entry's name, which spares the kernel a walk of the whole
// path per entry; what is queried, links followed, is the same entry.
time_t ExtractDateUTCFromModifyTime(int dirFd, const char* name, const char* path) {
    struct stat64 st {};
    if (fstatat64(dirFd, name, &st, 0) != 0) {
        LC_LOG(LEVEL_ERROR, "ExtractDateUTCFromModifyTime stat64 error: %s!", path);
        return 0;
    }
    return st.st_mtim.tv_sec;
}

// A cut path no longer names the entry read, so only a whole one is looked up by name.
time_t EntryTime(const char* fullPath, DIR* dir, const char* name, bool wholeName,
                 EXTRACT_DATE_TYPE extractType) {
    if (extractType == EDT_FILENAME) {
        return ExtractDateUTCFromFilename(fullPath);
    }
    return wholeName ? ExtractDateUTCFromModifyTime(dirfd(dir), name, fullPath)
                     : ExtractDateUTCFromModifyTime(AT_FDCWD, fullPath, fullPath);
}

bool IsDotEntry(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// The trigger's records of tasks in flight: deleting them would lose what a crash recovery
// needs, so the search never offers them.
bool IsSkipped(const char* name) {
    return IsDotEntry(name) || std::strcmp(name, LOG_COMP_RECORD_DIR_NAME) == 0;
}

// ---- the periodic check

// The guard deletes only what lies directly inside the log directory: "dir/name" with a
// name that is neither a dot entry nor a path of its own.
bool IsDirectEntryOf(const char* dir, const char* path) {
    const size_t dirLen = std::strlen(dir);
    if (std::strncmp(path, dir, dirLen) != 0 || path[dirLen] != '/') {
        return false;
    }
    const char* name = path + dirLen + 1;
    return name[0] != '\0' && !IsDotEntry(name) && std::strchr(name, '/') == nullptr;
}

// remove() unlinks a symbolic link itself and never descends into a directory, so a link out
// of the log directory or a non-empty sub-directory leaves everything else alone.
bool RemoveDirectEntry(const char* dir, const char* path) {
    return IsDirectEntryOf(dir, path) && remove(path) == 0;
}

// Counts a successful check; true on the checks that print the usage line.
bool UsageLineDue(LOG_MANAGER_T* manager) {
    const uint8_t noted = manager->printIntervalCnt++;
    if (noted < kSilentChecks) {
        return false;
    }
    manager->printIntervalCnt = 0;
    return true;
}

constexpr unsigned long long WholeMb(unsigned long long bytes) {
    return bytes >> kMbShift;
}

bool IsTerminated(const char (&text)[sizeof(LOG_MANAGER_CONFIG::logDir)]) {
    return std::memchr(text, '\0', sizeof(text)) != nullptr;
}

}  // namespace

time_t ExtractDateUTCFromFilename(const char* filename) {
    const char* date = filename != nullptr ? FirstDate(filename) : nullptr;
    if (date == nullptr) {
        return 0;
    }
    const int year = ReadDigits(date, 4);
    const int month = ReadDigits(date + 5, 2);
    const int day = ReadDigits(date + 8, 2);
    if (year < kMinYear || year > kMaxYear || month < 1 || month > 12 || day < 1 || day > 31) {
        return 0;
    }
    struct tm tm {};
    tm.tm_year = year - kTmYearBase;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    return timegm(&tm);  // normalises a day past the month's end into the next month
}

time_t ExtractDateUTCFromModifyTime(const char* filename) {
    if (filename == nullptr) {
        LC_LOG(LEVEL_ERROR, "ExtractDateUTCFromModifyTime stat64 error: %s!", "(null)");
        return 0;
    }
    return ExtractDateUTCFromModifyTime(AT_FDCWD, filename, filename);
}

// One pass, no list and no sorting: only the best candidate so far is kept.
char* FindOldestFileUTCSinglePass(const char* dirPath, EXTRACT_DATE_TYPE extractType) {
    char fullPath[kPathSize] = {};
    char oldestFile[kPathSize] = {};
    time_t oldestTime = 0;
    bool found = false;
    DIR* dir = dirPath != nullptr ? opendir(dirPath) : nullptr;
    if (dir == nullptr) {
        LC_LOG(LEVEL_ERROR, "FindOldestFileUTCSinglePass failed, opendir %s failed",
               dirPath != nullptr ? dirPath : "(null)");
        return nullptr;
    }
    // "dirPath/" is written once; each entry only rewrites the name behind it.
    const size_t prefixLen = PutText(fullPath, PutText(fullPath, 0, dirPath), "/");
    for (const struct dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
        if (IsSkipped(entry->d_name)) {
            continue;
        }
        const size_t pathLen = PutText(fullPath, prefixLen, entry->d_name);
        if (!IsKnownType(extractType)) {
            LC_LOG(LEVEL_ERROR, "FindOldestFileUTCSinglePass failed, unknown extractType %d",
                   static_cast<int>(extractType));
            break;
        }
        const bool wholeName = entry->d_name[pathLen - prefixLen] == '\0';
        const time_t time = EntryTime(fullPath, dir, entry->d_name, wholeName, extractType);
        if (time > 0 && (!found || time < oldestTime)) {  // ties keep the first one read
            oldestTime = time;
            std::memcpy(oldestFile, fullPath, pathLen + 1);
            found = true;
        }
    }
    closedir(dir);
    if (!found) {
        LC_LOG(LEVEL_ERROR, "No files found in directory %s\n", dirPath);
        return nullptr;
    }
    return strdup(oldestFile);
}

// Every message of the check carries this function's name, so the steps stay in one body.
void LogManagerOnTimer(struct UvTimer* /*pTimer*/, void* ptr) {
    if (ptr == nullptr) {
        LC_LOG(LEVEL_ERROR, "LogManagerOnTimer failed, ptr is NULL");
        return;
    }
    auto* manager = static_cast<LOG_MANAGER_T*>(ptr);
    if (DEV_getSdStatus() != SD_STATUS_OK) {
        LC_LOG(LEVEL_INFO, "LogManagerOnTimer, sd card not ready, skip");
        return;
    }
    if (access(manager->config.logDir, F_OK) != 0) {
        LC_LOG(LEVEL_ERROR, "LogManagerOnTimer failed, logDir %s not exist",
               manager->config.logDir);
        return;
    }
    Dev_Filesystem_Usage usage{};
    if (DEV_getFilesystemUsage(manager->config.logDir, &usage) != 0) {
        LC_LOG(LEVEL_ERROR, "LogManagerOnTimer failed, DEV_getFilesystemUsage failed");
        return;
    }
    if (UsageLineDue(manager)) {
        LC_LOG(LEVEL_INFO,
               "SD Usage totalBytes %llu MB, usedBytes %llu MB, availableBytes %llu MB, Usage: "
               "%.1f%%",
               WholeMb(usage.totalBytes), WholeMb(usage.usedBytes), WholeMb(usage.availableBytes),
               usage.usageRatio);
    }
    if (usage.usageRatio < static_cast<double>(manager->config.storageThreshold)) {
        return;
    }
    char* oldest = FindOldestFileUTCSinglePass(manager->config.logDir, EDT_MODIFY_TIME);
    if (oldest == nullptr) {
        return;  // the search has logged why
    }
    if (RemoveDirectEntry(manager->config.logDir, oldest)) {
        LC_LOG(LEVEL_INFO, "LogManagerOnTimer, delete oldest file %s success", oldest);
    } else {
        LC_LOG(LEVEL_ERROR, "LogManagerOnTimer, delete oldest file %s failed", oldest);
    }
    free(oldest);
}

int LogManagerInit(struct EvLoop* loop, LOG_MANAGER_CONFIG* pConfig) {
    if (sLogManager.inited.load() == 1) {
        LC_LOG(LEVEL_WARN, "LogManagerInit already inited!");
        return 0;
    }
    if (loop == nullptr || pConfig == nullptr) {
        LC_LOG(LEVEL_ERROR, "LogManagerInit failed, loop is NULL or pConfig is NULL");
        return -1;
    }
    if (!IsTerminated(pConfig->logDir)) {
        LC_LOG(LEVEL_ERROR, "LogManagerInit failed, logDir is not NUL-terminated");
        return -1;
    }
    if (access(pConfig->logDir, F_OK) != 0) {
        LC_LOG(LEVEL_ERROR, "LogManagerInit failed, logDir %s not exist", pConfig->logDir);
        return -1;
    }
    if (pConfig->storageThreshold == 0 || pConfig->storageThreshold > kMaxThreshold) {
        pConfig->storageThreshold = kDefaultThreshold;
        LC_LOG(LEVEL_INFO, "LogManagerInit, use default storageThreshold value %d",
               kDefaultThreshold);
    }
    struct UvTimer* timer = UvTimerInit(loop);
    if (timer == nullptr) {
        LC_LOG(LEVEL_ERROR, "LogManagerInit failed, UvTimerInit failed");
        return -1;
    }
    sLogManager.timer = timer;
    sLogManager.config = *pConfig;
    sLogManager.loop = loop;
    UvTimerStart(timer, LogManagerOnTimer, &sLogManager, LOG_MANAGER_CHECK_MS, true);
    sLogManager.inited.store(1);
    LC_LOG(LEVEL_INFO, "LogManager Init success, logDir %s, storageThreshold %d",
           sLogManager.config.logDir, sLogManager.config.storageThreshold);
    return 0;
}

void LogManagerUninit(void) {
    if (sLogManager.inited.load() == 0) {
        LC_LOG(LEVEL_WARN, "LogManagerUninit not inited!");
        return;
    }
    UvTimerUninit(sLogManager.timer);
    sLogManager.timer = nullptr;
    sLogManager.inited.store(0);
    LC_LOG(LEVEL_INFO, "LogManager Uninit success");
}
