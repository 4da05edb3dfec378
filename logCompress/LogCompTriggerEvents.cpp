// Compression trigger: the events that hand a task's log files to the executor, either
// one by one or first packed into a tar archive.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fileUtils/file_utils.h"
#include "logCompress/LogCompExec.h"
#include "logCompress/LogCompLog.h"
#include "logCompress/LogCompTriggerInternal.h"

namespace {

constexpr size_t kCommandLen = 4096;
constexpr size_t kOutputLen = 256;
constexpr size_t kFileWordLen = LCTShellQuotedMax(sizeof(FILE_COMPRESS_CONFIG::file)) + 1;

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

// Appends " " and `word` to `command` (bounded by its buffer, always terminated).
void AppendWord(char (&command)[kCommandLen], const char* word) {
    size_t len = strlen(command);
    snprintf(command + len, kCommandLen - len, " %s", word);
}

// Appends the archive's own order to the drained list; false when out of memory.
bool AppendArchiveOrder(LinkList fileCompList, const char* tarPath) {
    auto* pConfig = static_cast<FILE_COMPRESS_CONFIG*>(calloc(1, sizeof(FILE_COMPRESS_CONFIG)));
    if (pConfig == nullptr) {
        return false;
    }
    snprintf(pConfig->file, sizeof(pConfig->file), "%s", tarPath);
    pConfig->compressLevel = FILE_COMPRESS_LEVEL_4;
    pConfig->segmentSize = 0;
    pConfig->needDelete = true;
    if (PushBack_LinkList(fileCompList, pConfig) != 0) {
        free(pConfig);
        return false;
    }
    return true;
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
    LOG_COMPEXEC_TASK task = MakeExecTask(list, taskId, callback, pParam, retryCnt);
    LC_LOG(LEVEL_INFO, "[%s]EventLogCompress add compress task, taskId = %llu, fileCount = %d",
           pParam->strTaskId, static_cast<unsigned long long>(taskId), fileCount);
    if (LogCompExecAddTask(&task) != 0) {
        LCTListDelAll(list);
        LCTHashSafeDel(&sLogCompTriggerObj, pParam->strTaskId);
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
    if (!LogCompPackageFiles(list, pParam->outputPath)) {
        LC_LOG(LEVEL_ERROR, "[%s]EventLogPackageAndCompress failed, PackageFiles failed",
               pParam->strTaskId);
        LCTListDelAll(list);
        LCTHashSafeDel(&sLogCompTriggerObj, pParam->strTaskId);
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
        LCTListDelAll(list);
        LCTHashSafeDel(&sLogCompTriggerObj, pParam->strTaskId);
        return false;
    }
    return true;
}

bool LogCompPackageFiles(LinkList fileCompList, const char* outputPath) {
    size_t pathLen = strlen(outputPath);
    char tarPath[sizeof(LOG_COMP_TRIGGER_TASK::outputPath)] = {0};
    snprintf(tarPath, sizeof(tarPath), "%.*s", static_cast<int>(pathLen > 3 ? pathLen - 3 : 0),
             outputPath);
    char word[kFileWordLen];
    LCTShellQuote(tarPath, word, sizeof(word));
    char commandTar[kCommandLen] = {0};
    char commandDel[kCommandLen] = {0};
    char output[kOutputLen] = {0};
    snprintf(commandTar, sizeof(commandTar), "cd %s && tar -cvf %s", LCTLogDirWord(), word);
    snprintf(commandDel, sizeof(commandDel), "cd %s && rm -rf", LCTLogDirWord());
    int count = 0;
    void* pItem = nullptr;
    while ((pItem = RemoveByPos_LinkList(fileCompList, 0)) != nullptr) {
        auto* pConfig = static_cast<FILE_COMPRESS_CONFIG*>(pItem);
        size_t wordLen = LCTShellQuote(pConfig->file, word, sizeof(word));
        size_t cmdLen = strlen(commandTar);
        if (kCommandLen - 1 - cmdLen <= wordLen + 1) {
            LC_LOG(LEVEL_WARN, "LogCompPackageFiles: command is too long[cmdLen=%d], skip file",
                   static_cast<int>(cmdLen));
        } else {
            count++;
            AppendWord(commandTar, word);
            if (pConfig->needDelete) {
                AppendWord(commandDel, word);
            }
        }
        free(pConfig);
    }
    if (count == 0) {
        LC_LOG(LEVEL_ERROR, "LogCompPackageFiles: no file to package");
        return false;
    }
    if (FILE_system(commandTar, output, kOutputLen - 1) < 0) {
        LC_LOG(LEVEL_ERROR, "LogCompPackageFiles: package failed, output = %s", output);
        return false;
    }
    if (access(tarPath, F_OK) != 0) {
        LCTRestoreTarFile(tarPath);
        LC_LOG(LEVEL_ERROR, "LogCompPackageFiles: tarPath %s is not exist", tarPath);
        return false;
    }
    if (FILE_system(commandDel, output, kOutputLen - 1) < 0) {
        LCTRestoreTarFile(tarPath);
        LC_LOG(LEVEL_ERROR, "LogCompPackageFiles: delete failed, output = %s", output);
        return false;
    }
    if (!AppendArchiveOrder(fileCompList, tarPath)) {
        LCTRestoreTarFile(tarPath);
        LC_LOG(LEVEL_ERROR, "LogCompPackageFiles: malloc pConfig failed");
        LC_LOG(LEVEL_ERROR, "tarPath = %s", tarPath);
        return false;
    }
    return true;
}
