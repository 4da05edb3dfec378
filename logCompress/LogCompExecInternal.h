// Executor internals: the state object, the task registry entry and the worker's operations.
// Not part of the exported API; declared here so the unit tests can reach them.
#ifndef LOG_COMP_EXEC_INTERNAL_H
#define LOG_COMP_EXEC_INTERNAL_H

#include <pthread.h>
#include <uthash.h>

#include <atomic>
#include <cstdint>

#include "fileUtils/file_compress.h"
#include "logCompress/LogCompExec.h"
#include "logCompress/LogCompExport.h"

// At most this many tasks are registered at once, waiting and running together.
constexpr unsigned kLogCompExecMaxTasks = 1024;
// Capacity of the output path buffer handed to the compressor.
constexpr uint16_t kLogCompExecOutFileLen = 256;
// Slice delay of the compressor in normal and in dynamic mode, in milliseconds.
constexpr uint32_t kLogCompExecDelayMs = 1;
constexpr uint32_t kLogCompExecDynamicDelayMs = 5;
// How long the worker sleeps per pass while paused, in seconds.
constexpr unsigned kLogCompExecPauseSeconds = 5;

// One registry entry. Allocated zero-filled; uthash threads the registry through `hh`.
typedef struct LogCompExecTaskMap {
    LOG_COMPEXEC_TASK task;          // the requester's record, copied; its retryCnt is counted down
    bool isRunning;                  // set once the worker took the task, never cleared
    std::atomic<bool> needExitTask;  // cancellation request for the running task
    UT_hash_handle hh;
} LOG_COMPEXEC_TASK_MAP;

typedef struct LogCompExec {
    pthread_t taskThread;
    pthread_cond_t cond;
    pthread_mutex_t condMutex;  // guards taskMap, each entry's isRunning, writes of threadExit
    std::atomic<bool> threadExit;
    LOG_COMPEXEC_TASK_MAP* taskMap;  // registry head, null when empty; oldest entry first
    std::atomic<bool> needDynamic;
    std::atomic<bool> needPause;
    std::atomic<bool> needExit;
    std::atomic<unsigned char> inited;
} LOG_COMPEXEC_T;

LOGCOMP_HIDDEN extern LOG_COMPEXEC_T sLogCompExecObj;

// Inserts with condMutex held; false when the registry is full or the id is registered.
LOGCOMP_HIDDEN bool HashSafeAdd(LOG_COMPEXEC_T* pObj, LOG_COMPEXEC_TASK_MAP* pTask);
// Removes every entry, oldest first, reporting each one cancelled; no lock (shutdown only).
LOGCOMP_HIDDEN void HashDelAll(LOG_COMPEXEC_T* pObj);

LOGCOMP_HIDDEN void* LogCompExecTaskThread(void* arg);
LOGCOMP_HIDDEN int LogCompExecRun(LOG_COMPEXEC_T* pObj, LOG_COMPEXEC_TASK_MAP* pTask);
LOGCOMP_HIDDEN int LogCompExecOne(LOG_COMPEXEC_T* pObj, LOG_COMPEXEC_TASK_MAP* pTask,
                                  FILE_COMPRESS_CONFIG* pConfig);

// Test hooks. Passing null restores the production function (pthread_create, sleep).
using LogCompExecThreadCreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*),
                                          void*);
using LogCompExecSleepFn = unsigned (*)(unsigned seconds);
LOGCOMP_HIDDEN void LogCompExecSetThreadCreateHook(LogCompExecThreadCreateFn fn);
LOGCOMP_HIDDEN void LogCompExecSetPauseSleepHook(LogCompExecSleepFn fn);

#endif  // LOG_COMP_EXEC_INTERNAL_H
