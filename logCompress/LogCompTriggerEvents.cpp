// Compression trigger: the events that hand a task's log files to the executor, either
// one by one or first packed into a tar archive.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "logCompress/LogCompExec.h"
#include "logCompress/LogCompLog.h"
#include "logCompress/LogCompTriggerInternal.h"

namespace {

LOG_COMP_TRIGGER_TASK_MAP* NewMapEntry(const char* strTaskId, uint64_t taskId) {
    auto* pEntry =
        static_cast<LOG_COMP_TRIGGER_TASK_MAP*>(calloc(1, sizeof(LOG_COMP_TRIGGER_TASK_MAP)));
    if (pEntry != nullptr) {
        pEntry->taskId = taskId;
        snprintf(pEntry->strTaskId, sizeof(pEntry->strTaskId), "%s", strTaskId);
    }
    return pEntry;
}

LOG_COMPEXEC_TASK MakeExecTask(LinkList list, uint64_t taskId, LOG_COMPEXEC_CALLBACK callback,
                               LOG_COMP_TRIGGER_TASK* pParam, uint32_t retryCnt) {
    LOG_COMPEXEC_TASK task{};
    task.compressList = list;
    task.taskId = taskId;
    task.callback = callback;
    task.userData = pParam;
    task.retryCnt = retryCnt;
    return task;
}

bool HasDates(const LOG_COMP_TRIGGER_TASK* pParam) {
    return pParam->pDateList != nullptr && pParam->pDateList->count > 0;
}

// The record that lets a later init resolve the task should this process die first.
bool WriteTaskRecord(LOG_COMP_TRIGGER_TASK* pParam, uint64_t taskId, const char* archive,
                     LinkList list) {
    if (!LCTRecordWrite(taskId, pParam->compressOption, archive, list)) {
        return false;
    }
    pParam->recordId = taskId;
    pParam->hasRecord = true;
    return true;
}

void DropTaskRecord(LOG_COMP_TRIGGER_TASK* pParam) {
    if (pParam->hasRecord) {
        LCTRecordRemove(pParam->recordId);
        pParam->hasRecord = false;
    }
}

}  // namespace

bool EventLogCompress(LOG_COMP_TRIGGER_TASK* pParam, LOG_COMPEXEC_CALLBACK callback,
                      uint32_t retryCnt) {
    if (!HasDates(pParam)) {
        LC_LOG(LEVEL_ERROR, "[%s]EventLogCompress failed, pDateList is NULL or count is 0",
               pParam->strTaskId);
        return false;
    }
    LinkList list = Init_LinkList();
    if (list == nullptr) {
        LC_LOG(LEVEL_ERROR, "[%s]EventLogCompress failed, Init_LinkList failed", pParam->strTaskId);
        return false;
    }
    int fileCount = LCTGetFileList(list, pParam, true);
    if (fileCount <= 0) {
        LC_LOG(LEVEL_ERROR, "[%s]EventLogCompress failed, no file to compress", pParam->strTaskId);
        LCTListDelAll(list);
        return false;
    }
    uint64_t taskId = LogCompGetNextTaskId();
    LOG_COMP_TRIGGER_TASK_MAP* pEntry = NewMapEntry(pParam->strTaskId, taskId);
    if (pEntry == nullptr) {
        LC_LOG(LEVEL_ERROR, "[%s]EventLogCompress failed, malloc taskMap failed",
               pParam->strTaskId);
        LCTListDelAll(list);
        return false;
    }
    if (!LCTHashSafeAdd(&sLogCompTriggerObj, pEntry)) {
        LC_LOG(LEVEL_ERROR, "[%s]EventLogCompress failed, HashSafeAdd failed", pParam->strTaskId);
        LCTListDelAll(list);
        free(pEntry);
        return false;
    }
    if (!WriteTaskRecord(pParam, taskId, nullptr, list)) {
        LC_LOG(LEVEL_ERROR, "[%s]EventLogCompress failed, cannot write the task's record",
               pParam->strTaskId);
        LCTListDelAll(list);
        LCTHashSafeDel(&sLogCompTriggerObj, pParam->strTaskId);
        return false;
    }
    LOG_COMPEXEC_TASK task = MakeExecTask(list, taskId, callback, pParam, retryCnt);
    LC_LOG(LEVEL_INFO, "[%s]EventLogCompress add compress task, taskId = %llu, fileCount = %d",
           pParam->strTaskId, static_cast<unsigned long long>(taskId), fileCount);
    if (LogCompExecAddTask(&task) != 0) {
        LCTListDelAll(list);
        LCTHashSafeDel(&sLogCompTriggerObj, pParam->strTaskId);
        DropTaskRecord(pParam);
        return false;
    }
    return true;
}

bool EventLogPackageAndCompress(LOG_COMP_TRIGGER_TASK* pParam) {
    if (!HasDates(pParam)) {
        LC_LOG(LEVEL_ERROR,
               "[%s]EventLogPackageAndCompress failed, pDateList is NULL or count is 0",
               pParam->strTaskId);
        return false;
    }
    if (strlen(pParam->outputPath) <= 7 || !EndsWith(pParam->outputPath, LCT_TAR_GZ_SUFFIX) ||
        !LCTIsSafeArchivePath(pParam->outputPath)) {
        LC_LOG(LEVEL_ERROR,
               "[%s]EventLogPackageAndCompress failed, outputPath is empty or not ends with %s",
               pParam->strTaskId, LCT_TAR_GZ_SUFFIX);
        return false;
    }
    if (!LCTOutputPathIsFree(pParam)) {
        return false;
    }
    uint64_t taskId = LogCompGetNextTaskId();
    LOG_COMP_TRIGGER_TASK_MAP* pEntry = NewMapEntry(pParam->strTaskId, taskId);
    if (pEntry == nullptr) {
        LC_LOG(LEVEL_ERROR, "[%s]EventLogPackageAndCompress failed, malloc taskMap failed",
               pParam->strTaskId);
        return false;
    }
    if (!LCTHashSafeAdd(&sLogCompTriggerObj, pEntry)) {
        LC_LOG(LEVEL_ERROR, "[%s]EventLogPackageAndCompress failed, HashSafeAdd failed",
               pParam->strTaskId);
        free(pEntry);
        return false;
    }
    LinkList list = Init_LinkList();
    if (list == nullptr) {
        LC_LOG(LEVEL_ERROR, "[%s]EventLogPackageAndCompress failed, Init_LinkList failed",
               pParam->strTaskId);
        LCTHashSafeDel(&sLogCompTriggerObj, pParam->strTaskId);
        return false;
    }
    int fileCount = LCTGetFileList(list, pParam, false);
    if (fileCount <= 0) {
        LC_LOG(LEVEL_ERROR, "[%s]EventLogPackageAndCompress failed, no file to compress",
               pParam->strTaskId);
        LCTListDelAll(list);
        LCTHashSafeDel(&sLogCompTriggerObj, pParam->strTaskId);
        return false;
    }
    char archive[kLctPathMax];
    if (!LCTArchiveOfOutput(pParam->outputPath, archive, sizeof(archive)) ||
        !WriteTaskRecord(pParam, taskId, archive, list)) {
        LC_LOG(LEVEL_ERROR, "[%s]EventLogPackageAndCompress failed, cannot write the task's record",
               pParam->strTaskId);
        LCTListDelAll(list);
        LCTHashSafeDel(&sLogCompTriggerObj, pParam->strTaskId);
        return false;
    }
    if (!LogCompPackageFiles(list, pParam->outputPath)) {
        LC_LOG(LEVEL_ERROR, "[%s]EventLogPackageAndCompress failed, PackageFiles failed",
               pParam->strTaskId);
        LCTListDelAll(list);
        LCTHashSafeDel(&sLogCompTriggerObj, pParam->strTaskId);
        DropTaskRecord(pParam);
        return false;
    }
    fileCount = Size_LinkList(list);
    LC_LOG(LEVEL_INFO, "[%s]EventLogPackageAndCompress package file success, fileCount = %d",
           pParam->strTaskId, fileCount);
    LOG_COMPEXEC_TASK task = MakeExecTask(list, taskId, TaskLogCompCallback, pParam, 0);
    LC_LOG(LEVEL_INFO,
           "[%s]EventLogPackageAndCompress add compress task, taskId = %llu, fileCount = %d",
           pParam->strTaskId, static_cast<unsigned long long>(taskId), fileCount);
    if (LogCompExecAddTask(&task) != 0) {
        // The packed files of past days are only in the archive: they come back.
        LCTRestoreTarFileList(list);
        LCTListDelAll(list);
        LCTHashSafeDel(&sLogCompTriggerObj, pParam->strTaskId);
        DropTaskRecord(pParam);
        return false;
    }
    return true;
}
