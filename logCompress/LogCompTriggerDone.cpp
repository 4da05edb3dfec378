// Compression trigger: what happens when the executor is done with a task. Runs on the
// worker thread, or on the loop thread with the executor's lock held for a task cancelled
// while waiting: nothing here may call into the executor, and every release of a task
// record goes through the loop.
#include <cstdio>
#include <cstring>

#include "logCompress/LogCompLog.h"
#include "logCompress/LogCompTriggerInternal.h"

namespace {

// errMsg texts handed to requesters; they must neither free nor write them.
char sErrMsgNone[] = "";
char sErrMsgFailed[] = "log compress failed";
char sErrMsgCancelled[] = "log compress cancelled";

void ReleaseTask(LinkList list, LOG_COMP_TRIGGER_TASK* pTask) {
    if (list != nullptr) {
        LCTListDelAll(list);
    }
    LCTRunInLoop(sLogCompTriggerObj.loop.load(), LCTReleaseTaskInLoop, pTask);
}

}  // namespace

void TaskLogCompCallback(uint64_t taskId, LinkList list, int sta, void* userData) {
    auto* pTask = static_cast<LOG_COMP_TRIGGER_TASK*>(userData);
    if (pTask == nullptr) {
        LC_LOG(LEVEL_ERROR, "TaskLogCompCallback failed, userData is NULL");
        return;
    }
    LOG_COMP_TRIGGER_RES res;
    memset(&res, 0, sizeof(res));
    snprintf(res.strTaskId, sizeof(res.strTaskId), "%s", pTask->strTaskId);
    res.progress = 100;
    res.mode = 0;
    bool needCheckRestore = false;
    auto id = static_cast<unsigned long long>(taskId);
    if (sta == FILE_COMPRESS_STATUS_FINISHED) {
        LC_LOG(LEVEL_INFO, "[%s]TaskLogCompCallback: taskId %llu compress %d files success",
               pTask->strTaskId, id, Size_LinkList(list));
        res.result = LOG_COMP_TRIGGER_RESULT_SUCCESS;
        res.errMsg = sErrMsgNone;
    } else if (sta == FILE_COMPRESS_STATUS_ONGOING) {
        res.result = LOG_COMP_TRIGGER_RESULT_ONGOING;
        res.errMsg = sErrMsgNone;
    } else if (sta == FILE_COMPRESS_STATUS_CANCELLED) {
        LC_LOG(LEVEL_ERROR, "[%s]TaskLogCompCallback: taskId %llu compress cancelled, ret = %d",
               pTask->strTaskId, id, sta);
        res.result = LOG_COMP_TRIGGER_RESULT_REJECT;
        res.errMsg = sErrMsgCancelled;
        needCheckRestore = true;
    } else {
        // FILE_COMPRESS_STATUS_FAILED, and any status the executor should never deliver.
        LC_LOG(LEVEL_ERROR, "[%s]TaskLogCompCallback: taskId %llu compress failed, ret = %d",
               pTask->strTaskId, id, sta);
        res.result = LOG_COMP_TRIGGER_RESULT_FAILED;
        res.errMsg = sErrMsgFailed;
        needCheckRestore = true;
    }
    if (sta == FILE_COMPRESS_STATUS_ONGOING) {
        if (pTask->taskCallback != nullptr) {
            pTask->taskCallback(&res);
        }
        return;
    }
    // The archive is back in place before the requester hears of the failure.
    if (needCheckRestore && pTask->compressOption == LOG_COMPRESS_OPTION_FULL && list != nullptr) {
        LCTRestoreTarFileList(list);
    }
    if (pTask->taskCallback != nullptr) {
        pTask->taskCallback(&res);
    }
    ReleaseTask(list, pTask);
}

void TimerLogCompCallback(uint64_t taskId, LinkList list, int sta, void* userData) {
    auto* pTask = static_cast<LOG_COMP_TRIGGER_TASK*>(userData);
    if (pTask == nullptr) {
        LC_LOG(LEVEL_ERROR, "TimerLogCompCallback failed, userData is NULL");
        return;
    }
    auto id = static_cast<unsigned long long>(taskId);
    if (sta == FILE_COMPRESS_STATUS_FINISHED) {
        LC_LOG(LEVEL_INFO, "[%s]TimerLogCompCallback: taskId %llu compress %d files success",
               pTask->strTaskId, id, Size_LinkList(list));
    } else if (sta == FILE_COMPRESS_STATUS_ONGOING) {
        LC_LOG(LEVEL_WARN, "[%s]TimerLogCompCallback: taskId %llu compress is ongoing???",
               pTask->strTaskId, id);
        return;
    } else {
        LC_LOG(LEVEL_ERROR, "[%s]TimerLogCompCallback: taskId %llu compress failed, ret = %d",
               pTask->strTaskId, id, sta);
        if (sta == FILE_COMPRESS_STATUS_CANCELLED) {
            // Fire again for the same date on the next tick.
            sLogCompTriggerObj.needTriggerEveryDay.store(true);
        }
    }
    ReleaseTask(list, pTask);
}
