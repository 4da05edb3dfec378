/* Compression executor: one worker thread that compresses the files of queued tasks,
 * one task at a time, in slices through the host file compressor. */
#ifndef LOG_COMP_EXEC_H
#define LOG_COMP_EXEC_H

#include <stdbool.h>
#include <stdint.h>

#include "fileUtils/file_compress.h"
#include "list/link_list.h"
#include "logCompress/LogCompExport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Called exactly once per accepted task with its final FILE_COMPRESS_STATUS_*. Runs on the
 * worker thread, or on the deleting thread (executor lock held) for a task deleted while
 * waiting, or on the uninit thread for a task still waiting at shutdown. */
typedef void (*LOG_COMPEXEC_CALLBACK)(uint64_t taskId, LinkList list, int sta, void* userData);

typedef struct LogCompExecTask {
    LinkList compressList; /* of FILE_COMPRESS_CONFIG*, lent until the callback returns */
    uint64_t taskId;
    LOG_COMPEXEC_CALLBACK callback;
    void* userData;
    uint32_t retryCnt; /* failed slices that may be retried, shared by all files */
} LOG_COMPEXEC_TASK;

LOGCOMP_API int LogCompExecInit(void);
LOGCOMP_API void LogCompExecUninit(void);
LOGCOMP_API int LogCompExecAddTask(const LOG_COMPEXEC_TASK* task);
LOGCOMP_API int LogCompExecDelTask(uint64_t taskId);
LOGCOMP_API void LogCompExecSetDynamic(bool needDynamic);
LOGCOMP_API void LogCompExecSetPause(bool needPause);
LOGCOMP_API void LogCompExecSetExit(bool needExit);

#ifdef __cplusplus
}
#endif

#endif /* LOG_COMP_EXEC_H */
