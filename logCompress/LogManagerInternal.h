// Storage guard internals: the state object, the timer callback and the oldest-entry search.
// Hidden from the shared library's users; declared here so tests can reach them.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

#include "event/uv_timer.h"
#include "logCompress/LogCompExport.h"
#include "logCompress/LogManager.h"

// How an entry of the log directory gets its time.
typedef enum ExtractDateType {
    EDT_FILENAME = 0,     // midnight UTC of the first DDDD-DD-DD date in the path
    EDT_MODIFY_TIME = 1,  // modification time of what the path names (links followed)
} EXTRACT_DATE_TYPE;

typedef struct LogManager {
    LOG_MANAGER_CONFIG config;  // the host's record as taken at init
    struct EvLoop* loop;        // not owned
    struct UvTimer* timer;
    std::atomic<unsigned char> inited;
    uint8_t printIntervalCnt;  // successful checks since the last usage line
} LOG_MANAGER_T;

extern LOGCOMP_HIDDEN LOG_MANAGER_T sLogManager;

// Midnight UTC of the first date in the path, 0 when there is none or it is out of range.
LOGCOMP_HIDDEN time_t ExtractDateUTCFromFilename(const char* filename);
// Modification time in whole seconds, 0 (with a log line) when the path cannot be queried.
LOGCOMP_HIDDEN time_t ExtractDateUTCFromModifyTime(const char* filename);
// "dirPath/name" of the oldest entry as a heap string for free(), or NULL.
LOGCOMP_HIDDEN char* FindOldestFileUTCSinglePass(const char* dirPath,
                                                 EXTRACT_DATE_TYPE extractType);
// The periodic check; ptr is &sLogManager.
LOGCOMP_HIDDEN void LogManagerOnTimer(struct UvTimer* pTimer, void* ptr);
