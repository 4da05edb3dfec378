// Compression executor: a registry of tasks and one worker thread that compresses their
// files one task at a time, in slices, so that pause, dynamic mode and cancellation take
// effect between two slices.
#include "logCompress/LogCompExec.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <type_traits>

#include "logCompress/LogCompExecInternal.h"
#include "logCompress/LogCompLog.h"

LOG_COMPEXEC_T sLogCompExecObj;

namespace {

// Entries are released with free(): nothing may need a destructor.
static_assert(std::is_trivially_destructible<LOG_COMPEXEC_TASK_MAP>::value,
              "registry entries are freed without running a destructor");

std::atomic<LogCompExecThreadCreateFn> sThreadCreate{pthread_create};
std::atomic<LogCompExecSleepFn> sPauseSleep{sleep};

// Zero-filled, as the registry expects of a fresh entry; null when out of memory.
LOG_COMPEXEC_TASK_MAP* NewEntry() {
    void* mem = calloc(1, sizeof(LOG_COMPEXEC_TASK_MAP));
    return mem == nullptr ? nullptr : new (mem) LOG_COMPEXEC_TASK_MAP();
}

void FreeEntry(LOG_COMPEXEC_TASK_MAP* pTask) {
    free(pTask);
}

void Deliver(const LOG_COMPEXEC_TASK& task, int status) {
    if (task.callback != nullptr) {
        task.callback(task.taskId, task.compressList, status, task.userData);
    }
}

LOG_COMPEXEC_TASK_MAP* FindEntry(LOG_COMPEXEC_T* pObj, uint64_t taskId) {
    LOG_COMPEXEC_TASK_MAP* pFound = nullptr;
    HASH_FIND(hh, pObj->taskMap, &taskId, sizeof(uint64_t), pFound);
    return pFound;
}

unsigned long long Id(const LOG_COMPEXEC_TASK_MAP* pTask) {
    return static_cast<unsigned long long>(pTask->task.taskId);
}

// Waits for work; returns the oldest task, now marked running, or null once told to end.
LOG_COMPEXEC_TASK_MAP* TakeOldestTask(LOG_COMPEXEC_T* pObj) {
    // The registry and threadExit are only consistent under the lock; the wait releases it.
    pthread_mutex_lock(&pObj->condMutex);
    while (pObj->taskMap == nullptr && !pObj->threadExit.load()) {
        pthread_cond_wait(&pObj->cond, &pObj->condMutex);
    }
    LOG_COMPEXEC_TASK_MAP* pTask = nullptr;
    if (!pObj->threadExit.load()) {
        pTask = pObj->taskMap;  // uthash keeps insertion order: the head is the oldest
        pTask->isRunning = true;
    }
    pthread_mutex_unlock(&pObj->condMutex);
    return pTask;
}

void RemoveFinishedTask(LOG_COMPEXEC_T* pObj, LOG_COMPEXEC_TASK_MAP* pTask) {
    // Deleting from the registry races with add/delete on other threads.
    pthread_mutex_lock(&pObj->condMutex);
    HASH_DEL(pObj->taskMap, pTask);
    pthread_mutex_unlock(&pObj->condMutex);
    FreeEntry(pTask);
}

bool CancelRequested(const LOG_COMPEXEC_T* pObj, const LOG_COMPEXEC_TASK_MAP* pTask) {
    return pObj->threadExit.load() || pObj->needExit.load() || pTask->needExitTask.load();
}

// The checks before a slice, then the slice. False, with *ret CANCELLED, when the file is to
// end; while paused it holds the open file and looks again after each pause period.
bool RunNextSlice(const LOG_COMPEXEC_T* pObj, const LOG_COMPEXEC_TASK_MAP* pTask,
                  FILE_COMPRESS_HANDLE handle, uint32_t* delayMs, int* ret) {
    while (!CancelRequested(pObj, pTask)) {
        if (pObj->needPause.load()) {
            (void)sPauseSleep.load()(kLogCompExecPauseSeconds);
            continue;
        }
        if (pObj->needDynamic.load()) {
            *delayMs = kLogCompExecDynamicDelayMs;  // kept to the end of this file
        }
        *ret = FileCompress_Run(handle, *delayMs);
        return true;
    }
    *ret = FILE_COMPRESS_STATUS_CANCELLED;
    return false;
}

void Stop(FILE_COMPRESS_HANDLE handle) {
    if (handle != nullptr) {
        (void)FileCompress_Stop(handle);
    }
}

}  // namespace

void LogCompExecSetThreadCreateHook(LogCompExecThreadCreateFn fn) {
    sThreadCreate.store(fn != nullptr ? fn : pthread_create);
}

void LogCompExecSetPauseSleepHook(LogCompExecSleepFn fn) {
    sPauseSleep.store(fn != nullptr ? fn : sleep);
}

bool HashSafeAdd(LOG_COMPEXEC_T* pObj, LOG_COMPEXEC_TASK_MAP* pTask) {
    if (HASH_COUNT(pObj->taskMap) >= kLogCompExecMaxTasks) {
        LC_LOG(LEVEL_ERROR, "LogCompExecAddTask failed, task list is full");
        return false;
    }
    if (FindEntry(pObj, pTask->task.taskId) != nullptr) {
        return false;
    }
    HASH_ADD(hh, pObj->taskMap, task.taskId, sizeof(uint64_t), pTask);
    return true;
}

void HashDelAll(LOG_COMPEXEC_T* pObj) {
    LOG_COMPEXEC_TASK_MAP* pTask = nullptr;
    LOG_COMPEXEC_TASK_MAP* pNext = nullptr;
    HASH_ITER(hh, pObj->taskMap, pTask, pNext) {
        HASH_DEL(pObj->taskMap, pTask);
        Deliver(pTask->task, FILE_COMPRESS_STATUS_CANCELLED);
        FreeEntry(pTask);
    }
}

int LogCompExecInit(void) {
    LOG_COMPEXEC_T* pObj = &sLogCompExecObj;
    if (pObj->inited.load() == 1) {
        LC_LOG(LEVEL_WARN, "LogCompExecInit already inited!");
        return 0;
    }
    pObj->taskMap = nullptr;
    if (pthread_cond_init(&pObj->cond, nullptr) != 0) {
        LC_LOG(LEVEL_ERROR, "LogCompExecInit pthread_cond_init error!");
        return -1;
    }
    if (pthread_mutex_init(&pObj->condMutex, nullptr) != 0) {
        LC_LOG(LEVEL_ERROR, "LogCompExecInit pthread_mutex_init error!");
        pthread_cond_destroy(&pObj->cond);
        return -1;
    }
    pObj->needDynamic.store(false);
    pObj->needPause.store(false);
    pObj->needExit.store(false);
    pObj->threadExit.store(false);
    if (sThreadCreate.load()(&pObj->taskThread, nullptr, LogCompExecTaskThread, pObj) != 0) {
        // Without a worker nothing would ever run: stay stopped so a later init can retry.
        LC_LOG(LEVEL_ERROR, "LogCompExecInit pthread_create error!");
        pthread_cond_destroy(&pObj->cond);
        pthread_mutex_destroy(&pObj->condMutex);
        return -1;
    }
    pObj->inited.store(1);
    LC_LOG(LEVEL_INFO, "LogCompExec Init Success");
    return 0;
}

void LogCompExecUninit(void) {
    LOG_COMPEXEC_T* pObj = &sLogCompExecObj;
    if (pObj->inited.load() == 0) {
        LC_LOG(LEVEL_WARN, "LogCompExecUninit not inited!");
        return;
    }
    pObj->inited.store(0);
    // threadExit is written under the lock so the worker cannot miss the wake-up between
    // its check of the registry and its wait.
    pthread_mutex_lock(&pObj->condMutex);
    pObj->threadExit.store(true);
    pthread_cond_broadcast(&pObj->cond);
    pthread_mutex_unlock(&pObj->condMutex);
    pthread_join(pObj->taskThread, nullptr);
    pthread_cond_destroy(&pObj->cond);
    pthread_mutex_destroy(&pObj->condMutex);
    HashDelAll(pObj);
    pObj->taskMap = nullptr;
    LC_LOG(LEVEL_INFO, "LogCompExec Uninit Success");
}

int LogCompExecAddTask(const LOG_COMPEXEC_TASK* task) {
    LOG_COMPEXEC_T* pObj = &sLogCompExecObj;
    if (pObj->inited.load() == 0 || task == nullptr) {
        return -1;
    }
    LOG_COMPEXEC_TASK_MAP* pTask = NewEntry();
    if (pTask == nullptr) {
        return -1;
    }
    pTask->isRunning = false;
    pTask->needExitTask.store(false);
    pTask->task = *task;
    int result = -1;
    // The registry is shared with the worker and with other requesters.
    pthread_mutex_lock(&pObj->condMutex);
    if (HashSafeAdd(pObj, pTask)) {
        pthread_cond_broadcast(&pObj->cond);
        LC_LOG(LEVEL_INFO, "LogCompExec Add Task Success, taskId = %llu", Id(pTask));
        result = 0;
    } else {
        if (HASH_COUNT(pObj->taskMap) < kLogCompExecMaxTasks) {
            LC_LOG(LEVEL_ERROR, "LogCompExec Add Task: taskId %llu already exists", Id(pTask));
        }
        FreeEntry(pTask);
    }
    pthread_mutex_unlock(&pObj->condMutex);
    return result;
}

int LogCompExecDelTask(uint64_t taskId) {
    LOG_COMPEXEC_T* pObj = &sLogCompExecObj;
    if (pObj->inited.load() == 0) {
        return -1;
    }
    // Held across the callback of a waiting task so that the worker cannot take it meanwhile.
    pthread_mutex_lock(&pObj->condMutex);
    LOG_COMPEXEC_TASK_MAP* pTask = FindEntry(pObj, taskId);
    if (pTask != nullptr && pTask->isRunning) {
        pTask->needExitTask.store(true);
        LC_LOG(LEVEL_INFO, "LogCompExec Delete Task: taskId %llu is running, will interrupt it",
               Id(pTask));
    } else if (pTask != nullptr) {
        HASH_DEL(pObj->taskMap, pTask);
        Deliver(pTask->task, FILE_COMPRESS_STATUS_CANCELLED);
        FreeEntry(pTask);
        LC_LOG(LEVEL_INFO, "LogCompExec Delete Task Success, taskId = %lu",
               static_cast<unsigned long>(taskId));
    }
    pthread_mutex_unlock(&pObj->condMutex);
    return 0;
}

void LogCompExecSetDynamic(bool needDynamic) {
    if (sLogCompExecObj.inited.load() == 1) {
        sLogCompExecObj.needDynamic.store(needDynamic);
        LC_LOG(LEVEL_INFO, "LogCompExec Set Dynamic: %d", needDynamic ? 1 : 0);
    }
}

void LogCompExecSetPause(bool needPause) {
    if (sLogCompExecObj.inited.load() == 1) {
        sLogCompExecObj.needPause.store(needPause);
        LC_LOG(LEVEL_INFO, "LogCompExec Set Pause: %d", needPause ? 1 : 0);
    }
}

void LogCompExecSetExit(bool needExit) {
    if (sLogCompExecObj.inited.load() == 1) {
        sLogCompExecObj.needExit.store(needExit);
        LC_LOG(LEVEL_INFO, "LogCompExec Set Exit: %d", needExit ? 1 : 0);
    }
}

void* LogCompExecTaskThread(void* arg) {
    auto* pObj = static_cast<LOG_COMPEXEC_T*>(arg);
    LC_LOG(LEVEL_INFO, "LogCompExecTaskThread start...");
    while (!pObj->threadExit.load()) {
        LOG_COMPEXEC_TASK_MAP* pTask = TakeOldestTask(pObj);
        if (pTask == nullptr) {
            break;  // told to end; waiting tasks stay for the uninit drain
        }
        (void)LogCompExecRun(pObj, pTask);
        RemoveFinishedTask(pObj, pTask);
    }
    LC_LOG(LEVEL_INFO, "LogCompExecTaskThread exit...");
    return nullptr;
}

int LogCompExecRun(LOG_COMPEXEC_T* pObj, LOG_COMPEXEC_TASK_MAP* pTask) {
    const LinkList list = pTask->task.compressList;
    const int count = Size_LinkList(list);
    int result = FILE_COMPRESS_STATUS_FAILED;
    if (count <= 0) {
        LC_LOG(LEVEL_ERROR, "[TaskId = %llu]LogCompExecRun failed, compressList is empty",
               Id(pTask));
    } else {
        LC_LOG(LEVEL_INFO, "[TaskId = %llu]Compress File Count = %d", Id(pTask), count);
        int i = 0;
        for (;; ++i) {
            auto* pConfig = static_cast<FILE_COMPRESS_CONFIG*>(Get_LinkList(list, i));
            if (pConfig == nullptr) {
                break;
            }
            LC_LOG(LEVEL_INFO,
                   "[TaskId = %llu](retry cnt = %u) Start Compress File[%d], compressLevel = %u, "
                   "segmentSize = %u Bytes",
                   Id(pTask), pTask->task.retryCnt, i + 1, pConfig->compressLevel,
                   pConfig->segmentSize);
            result = LogCompExecOne(pObj, pTask, pConfig);
            if (result != FILE_COMPRESS_STATUS_FINISHED) {
                break;
            }
        }
        if (result == FILE_COMPRESS_STATUS_FINISHED && i < count) {
            // A null entry inside the list: the files after it were never compressed.
            LC_LOG(LEVEL_ERROR,
                   "[TaskId = %llu]LogCompExecRun failed, compressList entry %d is null", Id(pTask),
                   i + 1);
            result = FILE_COMPRESS_STATUS_FAILED;
        }
        LC_LOG(LEVEL_INFO, "[TaskId = %llu] Compress File Finished, status = %d", Id(pTask),
               result);
    }
    Deliver(pTask->task, result);
    return 0;
}

int LogCompExecOne(LOG_COMPEXEC_T* pObj, LOG_COMPEXEC_TASK_MAP* pTask,
                   FILE_COMPRESS_CONFIG* pConfig) {
    int ret = FILE_COMPRESS_STATUS_ONGOING;
    char outFile[kLogCompExecOutFileLen] = {};
    FILE_COMPRESS_HANDLE handle = FileCompress_Start(pConfig, outFile, kLogCompExecOutFileLen);
    if (handle == nullptr) {
        LC_LOG(LEVEL_ERROR, "FileCompress_Start failed, taskId = %llu", Id(pTask));
        return FILE_COMPRESS_STATUS_FAILED;
    }
    uint32_t delayMs = kLogCompExecDelayMs;
    while (RunNextSlice(pObj, pTask, handle, &delayMs, &ret)) {
        if (ret == FILE_COMPRESS_STATUS_FINISHED ||
            (ret == FILE_COMPRESS_STATUS_FAILED && pTask->task.retryCnt == 0)) {
            break;
        }
        if (ret == FILE_COMPRESS_STATUS_FAILED) {
            --pTask->task.retryCnt;
            LC_LOG(LEVEL_WARN, "[TaskId = %llu] Compress File Failed, remain retryCnt = %u",
                   Id(pTask), pTask->task.retryCnt);
            Stop(handle);
            handle = FileCompress_Start(pConfig, outFile, kLogCompExecOutFileLen);
            if (handle == nullptr) {
                LC_LOG(LEVEL_ERROR, "Retry FileCompress_Start failed, taskId = %llu", Id(pTask));
                break;
            }
        }
    }
    Stop(handle);
    if (ret != FILE_COMPRESS_STATUS_FINISHED) {
        (void)remove(outFile);
    }
    return ret;
}
