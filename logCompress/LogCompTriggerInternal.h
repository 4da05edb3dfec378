// Private records and routines of the compression trigger, shared by its sources and
// reachable from the tests.
#ifndef LOG_COMP_TRIGGER_INTERNAL_H
#define LOG_COMP_TRIGGER_INTERNAL_H

#include <uthash.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "event/uv_timer.h"
#include "fileUtils/file_compress.h"
#include "list/link_list.h"
#include "logCompress/DateParse.h"
#include "logCompress/LogCompExec.h"
#include "logCompress/LogCompExport.h"
#include "logCompress/LogCompTrigger.h"

// The station's log directory; test builds point it into their own tree.
#ifndef LOG_COMP_LOG_DIR
#define LOG_COMP_LOG_DIR "/media/data/log"
#endif

// The daily run's option: beyond the public options, never posted by a host.
constexpr int LOG_COMPRESS_OPTION_TIMER = 4;

// Suffix every packaging request's output path must carry.
constexpr const char* LCT_TAR_GZ_SUFFIX = ".tar.gz";
// Task id of the daily run, the same every day.
constexpr const char* LCT_DAILY_TASK_ID = "logCompTriggerTaskId";
// Period of the daily trigger's tick.
constexpr uint64_t LCT_TIMER_PERIOD_MS = 600000;

// One posted request or daily run, carried from the intake through the loop and the
// executor back to the loop's release.
typedef struct LogCompTriggerTask {
    char strTaskId[128];
    char outputPath[256];
    int compressOption;
    LOG_COMPRESS_RES_CALLBACK taskCallback;
    DateList* pDateList;  // owned; released by the dispatcher
} LOG_COMP_TRIGGER_TASK;

// Entry of the task map: requester's id to executor task id.
typedef struct LogCompTriggerTaskMap {
    char strTaskId[128];
    uint64_t taskId;
    UT_hash_handle hh;
} LOG_COMP_TRIGGER_TASK_MAP;

typedef struct LogCompTrigger {
    LOG_COMP_TRIGGER_CONFIG config;
    struct EvLoop* loop;
    struct UvTimer* timer;
    LOG_COMP_TRIGGER_TASK_MAP* pTaskMap;  // loop thread only
    struct tm timeCache;                  // loop thread only
    // Written by the daily completion callback on the worker thread as well.
    std::atomic<bool> needTriggerEveryDay;
    std::atomic<uint_fast64_t> taskIdCnt;
    std::atomic<unsigned char> inited;
    // Set by uninit until the loop has run the release it queued: an init in between
    // would otherwise see its executor stopped and its map emptied by that release.
    std::atomic<bool> releasePending;
} LOG_COMP_TRIGGER_T;

LOGCOMP_HIDDEN extern LOG_COMP_TRIGGER_T sLogCompTriggerObj;

enum LOG_NAME_RULE_INDEX {
    LOG_NAME_RULE_LOG = 0,
    LOG_NAME_RULE_CSMS_LOG = 1,
    LOG_NAME_RULE_NETWORK_SHELL_LOG = 2,
    LOG_NAME_RULE_CSMS_BROKER_LOG = 3,
};

// Hands `ptr` to `fn` on the loop thread, later than this call returns.
LOGCOMP_HIDDEN void LCTRunInLoop(struct EvLoop* loop, TaskCallback fn, void* ptr);

// Task ids and the task map.
LOGCOMP_HIDDEN uint64_t LogCompGetNextTaskId(void);
LOGCOMP_HIDDEN bool LCTHashSafeAdd(LOG_COMP_TRIGGER_T* pObj, LOG_COMP_TRIGGER_TASK_MAP* pTask);
LOGCOMP_HIDDEN void LCTHashSafeDel(LOG_COMP_TRIGGER_T* pObj, const char* strTaskId);
LOGCOMP_HIDDEN void LCTHashDelAll(LOG_COMP_TRIGGER_T* pObj);
LOGCOMP_HIDDEN void LCTListDelAll(LinkList list);
LOGCOMP_HIDDEN void LCTReleaseAllInLoop(void* ptr);
LOGCOMP_HIDDEN void LCTReleaseTaskInLoop(void* ptr);

// File selection.
LOGCOMP_HIDDEN int LCTGetFileList(LinkList fileCompList, LOG_COMP_TRIGGER_TASK* pParam,
                                  bool needFullPath);
LOGCOMP_HIDDEN bool LCTIsToday(const char* strDate);
LOGCOMP_HIDDEN bool EndsWith(const char* str, const char* suffix);

// Completion and restore.
LOGCOMP_HIDDEN void TaskLogCompCallback(uint64_t taskId, LinkList list, int sta, void* userData);
LOGCOMP_HIDDEN void TimerLogCompCallback(uint64_t taskId, LinkList list, int sta, void* userData);
LOGCOMP_HIDDEN void LCTRestoreTarFile(const char* tarPath);
LOGCOMP_HIDDEN void LCTRestoreTarFileList(LinkList list);

// Events run by the dispatcher.
LOGCOMP_HIDDEN bool EventLogCompress(LOG_COMP_TRIGGER_TASK* pParam, LOG_COMPEXEC_CALLBACK callback,
                                     uint32_t retryCnt);
LOGCOMP_HIDDEN bool EventLogPackageAndCompress(LOG_COMP_TRIGGER_TASK* pParam);
LOGCOMP_HIDDEN bool LogCompPackageFiles(LinkList fileCompList, const char* outputPath);
LOGCOMP_HIDDEN void LogCompTriggerEventProc(void* ptr);
LOGCOMP_HIDDEN bool EventStopLogCompress(LOG_COMP_TRIGGER_TASK* pParam, uint8_t* needDelMem);

// Daily trigger.
LOGCOMP_HIDDEN void LogCompTriggerOnTimer(struct UvTimer* pTimer, void* ptr);
LOGCOMP_HIDDEN bool PreHandleLogCompTrigger(LOG_COMP_TRIGGER_T* pObj, struct tm* tm);

// Shell words. Writes `word` into `out` as one POSIX shell word: unchanged when every
// character is a letter, a digit or one of _./:@%+,=- (and the word is not empty),
// otherwise in single quotes with each ' written as '\''. Returns the length of the full
// result (like snprintf); the output is always terminated and never overruns outSize.
LOGCOMP_HIDDEN size_t LCTShellQuote(const char* word, char* out, size_t outSize);
// Longest quoted form of a word of `len` characters.
constexpr size_t LCTShellQuotedMax(size_t len) {
    return len * 4 + 2;
}
// The log directory as one shell word.
LOGCOMP_HIDDEN const char* LCTLogDirWord(void);
// An archive path the shell commands may take: not empty, not read as an option by tar or
// rm (leading '-'), and not read by tar as a remote archive (':' before any '/').
LOGCOMP_HIDDEN bool LCTIsSafeArchivePath(const char* path);

#endif /* LOG_COMP_TRIGGER_INTERNAL_H */
