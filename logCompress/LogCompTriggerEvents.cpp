// Compression trigger: the events that hand a task's log files to the executor, either
// one by one or first packed into a tar archive. Each event takes its steps in order and, at
// the first that fails, logs why and takes back exactly what the earlier steps set up.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "logCompress/LogCompExec.h"
#include "logCompress/LogCompLog.h"
#include "logCompress/LogCompTriggerInternal.h"

namespace {

// What one event has set up so far.
struct EventRun {
    LOG_COMP_TRIGGER_TASK* pParam;
    const char* name;  // the event, as its messages name it
    LinkList list;
    uint64_t taskId;
    bool registered;  // in the task map under taskId
    bool packed;      // the archive holds files already deleted from the log directory
};

// Logs "[id]<event> failed, <why>" (when why is set) and undoes the event's steps.
bool Fail(EventRun* r, const char* why) {
    LOG_COMP_TRIGGER_TASK* pParam = r->pParam;
    if (why != nullptr) {
        LC_LOG_AS(r->name, LEVEL_ERROR, "[%s]%s failed, %s", pParam->strTaskId, r->name, why);
    }
    if (r->packed) {
        LCTRestoreTarFileList(r->list);  // the packed files of past days come back
    }
    if (r->list != nullptr) {
        LCTListDelAll(r->list);
    }
    if (r->registered) {
        LCTHashSafeDel(&sLogCompTriggerObj, pParam->strTaskId);
    }
    if (pParam->hasRecord) {
        LCTRecordRemove(pParam->recordId);
        pParam->hasRecord = false;
    }
    return false;
}

bool CheckDates(EventRun* r) {
    const DateList* dates = r->pParam->pDateList;
    return (dates != nullptr && dates->count > 0) || Fail(r, "pDateList is NULL or count is 0");
}

bool NewList(EventRun* r) {
    r->list = Init_LinkList();
    return r->list != nullptr || Fail(r, "Init_LinkList failed");
}

bool SelectFiles(EventRun* r, bool needFullPath, int* fileCount) {
    *fileCount = LCTGetFileList(r->list, r->pParam, needFullPath);
    return *fileCount > 0 || Fail(r, "no file to compress");
}

// Registers the task in the map under a fresh executor task id (the id is used up either way).
bool Register(EventRun* r) {
    r->taskId = LogCompGetNextTaskId();
    auto* pEntry =
        static_cast<LOG_COMP_TRIGGER_TASK_MAP*>(calloc(1, sizeof(LOG_COMP_TRIGGER_TASK_MAP)));
    if (pEntry == nullptr) {
        return Fail(r, "malloc taskMap failed");
    }
    pEntry->taskId = r->taskId;
    snprintf(pEntry->strTaskId, sizeof(pEntry->strTaskId), "%s", r->pParam->strTaskId);
    if (!LCTHashSafeAdd(&sLogCompTriggerObj, pEntry)) {
        free(pEntry);
        return Fail(r, "HashSafeAdd failed");
    }
    r->registered = true;
    return true;
}

// The record that lets a later init resolve the task should this process die first.
bool WriteRecord(EventRun* r, const char* archive) {
    LOG_COMP_TRIGGER_TASK* pParam = r->pParam;
    if (!LCTRecordWrite(r->taskId, pParam->compressOption, archive, r->list)) {
        return Fail(r, "cannot write the task's record");
    }
    pParam->recordId = r->taskId;
    pParam->hasRecord = true;
    return true;
}

// Hands the list to the executor, which owns it (and the record as userData) from here on.
bool HandOver(EventRun* r, LOG_COMPEXEC_CALLBACK callback, uint32_t retryCnt, int fileCount) {
    LOG_COMPEXEC_TASK task{};
    task.compressList = r->list;
    task.taskId = r->taskId;
    task.callback = callback;
    task.userData = r->pParam;
    task.retryCnt = retryCnt;
    LC_LOG_AS(r->name, LEVEL_INFO, "[%s]%s add compress task, taskId = %llu, fileCount = %d",
              r->pParam->strTaskId, r->name, static_cast<unsigned long long>(r->taskId), fileCount);
    return LogCompExecAddTask(&task) == 0 || Fail(r, nullptr);
}

bool CheckOutputPath(EventRun* r) {
    const char* output = r->pParam->outputPath;
    if (strlen(output) <= 7 || !EndsWith(output, LCT_TAR_GZ_SUFFIX) ||
        !LCTIsSafeArchivePath(output)) {
        return Fail(r, "outputPath is empty or not ends with " LCT_TAR_GZ_SUFFIX);
    }
    return LCTOutputPathIsFree(r->pParam) || Fail(r, nullptr);
}

// Packs the selected files; afterwards the list holds the archive's one order.
bool Package(EventRun* r, int* fileCount) {
    char archive[kLctPathMax];
    if (!LCTArchiveOfOutput(r->pParam->outputPath, archive, sizeof(archive))) {
        return Fail(r, "cannot write the task's record");
    }
    if (!WriteRecord(r, archive)) {
        return false;
    }
    if (!LogCompPackageFiles(r->list, r->pParam->outputPath)) {
        return Fail(r, "PackageFiles failed");
    }
    r->packed = true;
    *fileCount = Size_LinkList(r->list);
    LC_LOG_AS(r->name, LEVEL_INFO, "[%s]%s package file success, fileCount = %d",
              r->pParam->strTaskId, r->name, *fileCount);
    return true;
}

}  // namespace

bool EventLogCompress(LOG_COMP_TRIGGER_TASK* pParam, LOG_COMPEXEC_CALLBACK callback,
                      uint32_t retryCnt) {
    EventRun r{pParam, "EventLogCompress", nullptr, 0, false, false};
    int fileCount = 0;
    return CheckDates(&r) && NewList(&r) && SelectFiles(&r, true, &fileCount) && Register(&r) &&
           WriteRecord(&r, nullptr) && HandOver(&r, callback, retryCnt, fileCount);
}

// Unlike the compression, packaging registers the task before it selects and packs, so that
// a second request under the same id is refused before anything is packed.
bool EventLogPackageAndCompress(LOG_COMP_TRIGGER_TASK* pParam) {
    EventRun r{pParam, "EventLogPackageAndCompress", nullptr, 0, false, false};
    int fileCount = 0;
    return CheckDates(&r) && CheckOutputPath(&r) && Register(&r) && NewList(&r) &&
           SelectFiles(&r, false, &fileCount) && Package(&r, &fileCount) &&
           HandOver(&r, TaskLogCompCallback, 0, fileCount);
}
