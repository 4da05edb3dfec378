// Compression trigger: start and stop, request intake, and the dispatcher that runs each
// request on the host's event loop.
//
// DESIGN
// A request travels one road, and at each step exactly one holder owns its record:
//
// 1. Post, on any host thread. LogCompTriggerPostTask checks that the trigger runs and that
//    the host allows compression, copies the request into a heap LOG_COMP_TRIGGER_TASK with
//    the dates of its range, and hands it to the loop (EvRunInLoop). The loop owns it now.
// 2. Dispatch, on the loop thread. LogCompTriggerEventProc runs the event of the option
//    (LogCompTriggerEvents.cpp). A compression selects the dates' regular log files
//    (LogCompTriggerSelect.cpp), registers the task in the map (requester's id to executor
//    task id, LogCompTriggerMap.cpp), writes the task's record under <log dir>/.logcomp
//    (LogCompTriggerRecord.cpp) and hands the files to the executor. A package registers
//    first, then selects, writes the record, packs with tar, reads the archive back, syncs it
//    and deletes the packed files of past days (LogCompTriggerPackage.cpp), and hands the
//    archive to the executor. A stop looks its id up in the map and deletes that executor
//    task. A dispatch that fails is only logged; the record is freed here.
// 3. Compression, on the executor's worker thread: the files slice by slice, the record riding
//    along as the task's user data (LogCompExec.cpp).
// 4. Completion, on the worker thread, or on the loop thread for a task cancelled while it
//    waited (LogCompTriggerDone.cpp). A failed or cancelled package is put back first (only
//    the files missing from the log directory, LogCompTriggerRestore.cpp), then the requester
//    hears the result, the list is freed and the record goes back to the loop.
// 5. Release, on the loop thread. LCTReleaseTaskInLoop removes the map entry and the task's
//    record file and frees the record; the id may be used again.
//
// The daily run posts a record of its own from its ten-minute tick (LogCompTriggerDaily.cpp)
// and takes the compression's road, answering nobody. Init queues the recovery of whatever an
// earlier process left (LogCompTriggerRecover.cpp) ahead of every request; uninit queues
// LCTReleaseAllInLoop, which cancels every task and stops the executor. The task map and the
// daily cache belong to the loop thread alone; the executor's registry holds the only lock;
// a post reads nothing but atomics.
#include "logCompress/LogCompTrigger.h"

#include <cstdlib>
#include <cstring>

#include "event/ev_loop.h"
#include "event/uv_timer.h"
#include "logCompress/DateParse.h"
#include "logCompress/LogCompExec.h"
#include "logCompress/LogCompLog.h"
#include "logCompress/LogCompTriggerInternal.h"

LOG_COMP_TRIGGER_T sLogCompTriggerObj;

namespace {

// Copies a whole text array and terminates it at its last byte: a requester's text that
// fills its array without a terminator is read as cut at the array's end.
template <size_t N>
void CopyTextArray(char (&dst)[N], const char (&src)[N]) {
    memcpy(dst, src, N);
    dst[N - 1] = '\0';
}

DateList* BuildDateRange(const LOG_COMP_TRIGGER_REQ* req) {
    char beginTime[sizeof(req->beginTime)];
    char endTime[sizeof(req->endTime)];
    CopyTextArray(beginTime, req->beginTime);
    CopyTextArray(endTime, req->endTime);
    return GenerateDateRange(beginTime, endTime, 0);
}

bool IsCompressAllowed(const LOG_COMP_TRIGGER_T* pObj) {
    LOG_COMPRESS_ALLOWED_CALLBACK allowed = pObj->isAllowedCallback.load();
    return allowed == nullptr || allowed();
}

}  // namespace

void LCTRunInLoop(struct EvLoop* loop, TaskCallback fn, void* ptr) {
    EV_TASK_T task{};
    task.task = fn;
    task.pUser = ptr;
    task.userDataSize = 0;
    EvRunInLoop(loop, task);
}

int LogCompTriggerInit(struct EvLoop* loop, LOG_COMP_TRIGGER_CONFIG* pConfig) {
    LOG_COMP_TRIGGER_T* pObj = &sLogCompTriggerObj;
    if (pObj->inited.load() == 1) {
        LC_LOG(LEVEL_WARN, "LogCompTriggerInit already inited!");
        return 0;
    }
    if (loop == nullptr || pConfig == nullptr) {
        LC_LOG(LEVEL_ERROR, "LogCompTriggerInit failed, loop is NULL or pConfig is NULL");
        return -1;
    }
    if (pObj->releasePending.load()) {
        LC_LOG(LEVEL_ERROR,
               "LogCompTriggerInit failed, release of the previous run is still pending");
        return -1;
    }
    // The map is left alone: the release of the previous run emptied it, and a dispatch of a
    // post that was late for that run may be using it on the loop right now.
    pObj->loop.store(loop);
    pObj->timer = UvTimerInit(loop);
    if (pObj->timer == nullptr) {
        LC_LOG(LEVEL_ERROR, "LogCompTriggerInit failed, UvTimerInit failed");
        return -1;
    }
    if (LogCompExecInit() != 0) {
        LC_LOG(LEVEL_ERROR, "LogCompTriggerInit failed, LogCompExecInit failed");
        UvTimerUninit(pObj->timer);
        return -1;
    }
    pObj->config = *pConfig;
    pObj->isAllowedCallback.store(pConfig->isAllowedCallback);
    pObj->needTriggerEveryDay.store(true);
    memset(&pObj->timeCache, 0, sizeof(pObj->timeCache));
    UvTimerStart(pObj->timer, LogCompTriggerOnTimer, pObj, LOG_COMP_TRIGGER_TICK_MS, true);
    // Ahead of every request: what an earlier process left is resolved first.
    LCTRunInLoop(loop, LCTRecoverInLoop, pObj);
    pObj->inited.store(1);
    pObj->taskIdCnt.store(0);
    LC_LOG(LEVEL_INFO, "LogCompTrigger Init success, triggerTime %02d:%02d:%02d",
           pObj->config.triggerTime.hour, pObj->config.triggerTime.minute,
           pObj->config.triggerTime.second);
    return 0;
}

void LogCompTriggerUninit(void) {
    LOG_COMP_TRIGGER_T* pObj = &sLogCompTriggerObj;
    if (pObj->inited.load() == 0) {
        LC_LOG(LEVEL_WARN, "LogCompTriggerUninit not inited!");
        return;
    }
    UvTimerUninit(pObj->timer);
    pObj->inited.store(0);
    // Before the queueing: the loop may run the release at once on its own thread.
    pObj->releasePending.store(true);
    EV_TASK_T task{};
    task.task = LCTReleaseAllInLoop;
    task.pUser = pObj;
    task.userDataSize = 0;
    EvQueueInLoop(pObj->loop.load(), task);
    LC_LOG(LEVEL_INFO, "LogCompTrigger Uninit success");
}

int LogCompTriggerPostTask(const LOG_COMP_TRIGGER_REQ* req) {
    LOG_COMP_TRIGGER_T* pObj = &sLogCompTriggerObj;
    if (pObj->inited.load() == 0) {
        LC_LOG(LEVEL_WARN, "LogCompTriggerPostTask not inited!");
        return -1;
    }
    if (req == nullptr) {
        LC_LOG(LEVEL_ERROR, "LogCompTriggerPostTask failed, req is NULL");
        return -1;
    }
    if (!IsCompressAllowed(pObj)) {
        LC_LOG(LEVEL_INFO, "LogCompTriggerPostTask: compress is not allowed");
        return -1;
    }
    auto* pTask = static_cast<LOG_COMP_TRIGGER_TASK*>(calloc(1, sizeof(LOG_COMP_TRIGGER_TASK)));
    if (pTask == nullptr) {
        LC_LOG(LEVEL_ERROR, "LogCompTriggerPostTask malloc failed");
        return -1;
    }
    if (req->compressOption != LOG_COMPRESS_OPTION_STOP) {
        pTask->pDateList = BuildDateRange(req);
        if (pTask->pDateList == nullptr) {
            LC_LOG(LEVEL_ERROR, "LogCompTriggerPostTask GenerateDateRange failed");
            free(pTask);
            return -1;
        }
    }
    pTask->compressOption = req->compressOption;
    CopyTextArray(pTask->outputPath, req->outputPath);
    CopyTextArray(pTask->strTaskId, req->strTaskId);
    pTask->taskCallback = req->cb;
    LCTRunInLoop(pObj->loop.load(), LogCompTriggerEventProc, pTask);
    return 0;
}

void LogCompTriggerEventProc(void* ptr) {
    if (ptr == nullptr) {
        LC_LOG(LEVEL_ERROR, "LogCompTriggerEventProc failed, ptr is NULL");
        return;
    }
    auto* pParam = static_cast<LOG_COMP_TRIGGER_TASK*>(ptr);
    uint8_t needDelParam = 0;
    bool res = true;
    switch (pParam->compressOption) {
        case LOG_COMPRESS_OPTION_STOP:
            LC_LOG(LEVEL_INFO, "[%s]LogCompress Event Stop", pParam->strTaskId);
            res = EventStopLogCompress(pParam, &needDelParam);
            break;
        case LOG_COMPRESS_OPTION_FULL:
            LC_LOG(LEVEL_INFO, "[%s]LogCompress Event Package&Compress", pParam->strTaskId);
            res = EventLogPackageAndCompress(pParam);
            break;
        case LOG_COMPRESS_OPTION_ONLY_COMPRESS:
            LC_LOG(LEVEL_INFO, "[%s]LogCompress Event Only Compress", pParam->strTaskId);
            res = EventLogCompress(pParam, TaskLogCompCallback, 0);
            break;
        case LOG_COMPRESS_OPTION_TIMER:
            LC_LOG(LEVEL_INFO, "[%s]LogCompress Event Timer", pParam->strTaskId);
            res = EventLogCompress(pParam, TimerLogCompCallback, 0);
            break;
        default:
            // Nobody else holds such a record: it ends here.
            LC_LOG(LEVEL_WARN, "[%s]LogCompTriggerEventProc unknown compressOption %d",
                   pParam->strTaskId, pParam->compressOption);
            needDelParam = 1;
            break;
    }
    // Only pDateList is touched once the executor holds the record: nobody else reads it.
    if (pParam->pDateList != nullptr) {
        FreeDateList(pParam->pDateList);
        pParam->pDateList = nullptr;
    }
    if (!res) {
        needDelParam = 1;
        LC_LOG(LEVEL_ERROR, "[%s]LogCompTriggerEventProc failed, compressOption %d",
               pParam->strTaskId, pParam->compressOption);
    }
    if (needDelParam != 0) {
        free(pParam);
    }
}

bool EventStopLogCompress(LOG_COMP_TRIGGER_TASK* pParam, uint8_t* needDelMem) {
    if (needDelMem != nullptr) {
        *needDelMem = 1;
    }
    if (pParam == nullptr) {
        return false;
    }
    LOG_COMP_TRIGGER_TASK_MAP* pEntry = nullptr;
    HASH_FIND_STR(sLogCompTriggerObj.pTaskMap, pParam->strTaskId, pEntry);
    if (pEntry == nullptr) {
        return false;
    }
    // A waiting task's completion runs inside this call; the entry is not used after it.
    return LogCompExecDelTask(pEntry->taskId) == 0;
}
