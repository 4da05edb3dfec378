/* Every host service as a no-op that reports failure, but for a timer handle so that the
 * trigger can start. Links a copy of the library with --no-undefined, which proves that the
 * host services declared by these headers are all the library needs beyond the C and C++
 * runtimes, and is the host of the installed-package consumers (tests/consumer). Never
 * shipped. */
#include "device/devStatus.h"
#include "event/ev_loop.h"
#include "event/uv_timer.h"
#include "fileUtils/file_compress.h"
#include "fileUtils/file_utils.h"
#include "list/link_list.h"
#include "logsys/log_sys.h"

void log_sendByLevelFile(int logClass, ZLOG_LEVEL level, const char* func, int line,
                         const char* fmt, ...) {
    (void)logClass, (void)level, (void)func, (void)line, (void)fmt;
}

void EvRunInLoop(struct EvLoop* loop, EV_TASK_T task) {
    (void)loop, (void)task;
}
void EvQueueInLoop(struct EvLoop* loop, EV_TASK_T task) {
    (void)loop, (void)task;
}

struct UvTimer* UvTimerInit(struct EvLoop* loop) {
    (void)loop;
    return (struct UvTimer*)loop; /* any non-null handle: the timer never fires */
}
void UvTimerStart(struct UvTimer* timer, UvTimerCallback cb, void* ptr, uint64_t periodMs,
                  bool repeat) {
    (void)timer, (void)cb, (void)ptr, (void)periodMs, (void)repeat;
}
void UvTimerUninit(struct UvTimer* timer) {
    (void)timer;
}

LinkList Init_LinkList(void) {
    return 0;
}
int PushBack_LinkList(LinkList list, void* data) {
    (void)list, (void)data;
    return -1;
}
int Size_LinkList(LinkList list) {
    (void)list;
    return 0;
}
void* Get_LinkList(LinkList list, int index) {
    (void)list, (void)index;
    return 0;
}
void* RemoveByPos_LinkList(LinkList list, int index) {
    (void)list, (void)index;
    return 0;
}
void Destroy_LinkList(LinkList list) {
    (void)list;
}

FILE_COMPRESS_HANDLE FileCompress_Start(FILE_COMPRESS_CONFIG* config, char* outFile,
                                        uint16_t outFileLen) {
    (void)config, (void)outFile, (void)outFileLen;
    return 0;
}
int FileCompress_Run(FILE_COMPRESS_HANDLE handle, uint32_t delayMs) {
    (void)handle, (void)delayMs;
    return FILE_COMPRESS_STATUS_FAILED;
}
int FileCompress_Stop(FILE_COMPRESS_HANDLE handle) {
    (void)handle;
    return -1;
}

int FILE_system(const char* cmd, char* output, int outputLen) {
    (void)cmd, (void)output, (void)outputLen;
    return -1;
}

int DEV_getSdStatus(void) {
    return SD_STATUS_UNMOUNT;
}
int DEV_getFilesystemUsage(const char* path, Dev_Filesystem_Usage* usage) {
    (void)path, (void)usage;
    return -1;
}
