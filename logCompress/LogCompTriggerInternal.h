// Private records and routines of the compression trigger, shared by its sources and
// reachable from the tests.
#ifndef LOG_COMP_TRIGGER_INTERNAL_H
#define LOG_COMP_TRIGGER_INTERNAL_H

#include <dirent.h>
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

#include "logCompress/LogCompPaths.h"

// Records of the tasks in flight, read back by the recovery at init.
#define LCT_RECORD_DIR LOG_COMP_LOG_DIR "/" LOG_COMP_RECORD_DIR_NAME
// Path buffers of packaging, restore and recovery: an archive path joined to the log
// directory fits.
constexpr size_t kLctPathMax = 512;
// Shell command lines that carry file names (packing, deleting, restoring).
constexpr size_t kLctCommandLen = 4096;

// The daily run's option: beyond the public options, never posted by a host.
constexpr int LOG_COMPRESS_OPTION_TIMER = 4;

// Suffix every packaging request's output path must carry.
#define LCT_TAR_GZ_SUFFIX ".tar.gz"
// Task id of the daily run, the same every day.
constexpr const char* LCT_DAILY_TASK_ID = "logCompTriggerTaskId";

// One posted request or daily run, carried from the intake through the loop and the
// executor back to the loop's release.
typedef struct LogCompTriggerTask {
    char strTaskId[128];
    char outputPath[256];
    int compressOption;
    LOG_COMPRESS_RES_CALLBACK taskCallback;
    DateList* pDateList;  // owned; released by the dispatcher
    uint64_t recordId;    // the task's record, when hasRecord: removed by the release
    bool hasRecord;
} LOG_COMP_TRIGGER_TASK;

// Entry of the task map: requester's id to executor task id.
typedef struct LogCompTriggerTaskMap {
    char strTaskId[128];
    uint64_t taskId;
    UT_hash_handle hh;
} LOG_COMP_TRIGGER_TASK_MAP;

typedef struct LogCompTrigger {
    LOG_COMP_TRIGGER_CONFIG config;  // loop thread, and init before the timer starts
    // Read by posts on host threads, which may still be on their way while a new init runs
    // (a post that passed the running check just before an uninit): atomics, and init never
    // resets the task map, which only the loop's release empties.
    std::atomic<struct EvLoop*> loop;
    std::atomic<LOG_COMPRESS_ALLOWED_CALLBACK> isAllowedCallback;
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
// A zero-filled compression order at level 4 with the compressor's default slice; null when
// out of memory or when `file` does not fit the order.
LOGCOMP_HIDDEN FILE_COMPRESS_CONFIG* LCTNewFileOrder(const char* file, bool needDelete);
LOGCOMP_HIDDEN int LCTGetFileList(LinkList fileCompList, LOG_COMP_TRIGGER_TASK* pParam,
                                  bool needFullPath);
LOGCOMP_HIDDEN bool LCTIsToday(const char* strDate);
// True when name is what a name rule gives for one of the dates.
LOGCOMP_HIDDEN bool LCTIsLogNameOf(const char* name, const DateList* pDateList);
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
// A package's output may be used: absolute, neither it nor its .tar there yet, and not inside
// a log entry of the request's dates. Logs the reason when not.
LOGCOMP_HIDDEN bool LCTOutputPathIsFree(const LOG_COMP_TRIGGER_TASK* pParam);
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

// Tar archives, read header by header without following links.
typedef struct LctTarMember {
    char name[257];  // "prefix/name" as written
    char type;       // '0' (or NUL) for a plain file
    uint64_t size;
    uint64_t mtime;
    bool renamed;  // named by an extension header this reader does not follow
} LCT_TAR_MEMBER;
typedef enum LctTarState {
    LCT_TAR_ABSENT,    // no such file (or not readable)
    LCT_TAR_FOREIGN,   // not a regular file, or not a tar archive at all
    LCT_TAR_CUT,       // ends before its end-of-archive block
    LCT_TAR_COMPLETE,  // every member whole, end-of-archive block present
} LCT_TAR_STATE;
typedef void (*LCTTarVisit)(const LCT_TAR_MEMBER* m, void* ctx);
// Calls visit (when set) for every member whose header is sound, in archive order.
LOGCOMP_HIDDEN LCT_TAR_STATE LCTTarWalk(const char* path, LCTTarVisit visit, void* ctx);
// A regular file with a bare name: the only kind of member ever unpacked.
LOGCOMP_HIDDEN bool LCTTarMemberIsPlainFile(const LCT_TAR_MEMBER* m);
// Not empty, no '/', not "." or "..", not read as an option.
LOGCOMP_HIDDEN bool LCTIsBareName(const char* name);

// File system helpers; none follows a symbolic link.
typedef struct LctFileId {
    uint64_t dev;
    uint64_t ino;
    uint64_t size;
    int64_t mtimeNs;
} LCT_FILE_ID;
LOGCOMP_HIDDEN bool LCTStatFile(const char* path, LCT_FILE_ID* id);  // regular files only
LOGCOMP_HIDDEN bool LCTSameFile(const LCT_FILE_ID* a, const LCT_FILE_ID* b);
LOGCOMP_HIDDEN bool LCTEntryExists(const char* path);  // anything, or unknown: true
LOGCOMP_HIDDEN bool LCTRemoveFile(const char* path);   // a regular file only
LOGCOMP_HIDDEN bool LCTSyncFile(const char* path);
LOGCOMP_HIDDEN bool LCTSyncDir(const char* dir);
LOGCOMP_HIDDEN bool LCTSyncParentDir(const char* path);
LOGCOMP_HIDDEN bool LCTSyncFileAndDir(const char* path);
LOGCOMP_HIDDEN bool LCTParentDir(const char* path, char* dir, size_t dirSize);
// The path tar writes for an archive path: a relative one lies in the log directory.
LOGCOMP_HIDDEN bool LCTAbsoluteArchivePath(const char* path, char* out, size_t outSize);
// The archive of an output path ("x.tar.gz" gives "x.tar"), absolute as above.
LOGCOMP_HIDDEN bool LCTArchiveOfOutput(const char* outputPath, char* out, size_t outSize);
LOGCOMP_HIDDEN bool LCTMakeRecordDir(void);
LOGCOMP_HIDDEN DIR* LCTOpenDir(const char* path);  // a directory, never through a link
LOGCOMP_HIDDEN void LCTDropDir(const char* path);  // its plain entries, then itself

// Records of tasks in flight.
typedef struct LctRecord {
    int option;
    char archive[kLctPathMax];  // packages: the absolute .tar path
    const char* files;          // cursor range over the record's text
    const char* filesEnd;
    int fileCount;
} LCT_RECORD;
LOGCOMP_HIDDEN void LCTRecordPath(uint64_t recordId, char* path, size_t pathSize);
// Written aside, synced and renamed into place; archive is null for a compression.
LOGCOMP_HIDDEN bool LCTRecordWrite(uint64_t recordId, int option, const char* archive,
                                   LinkList files);
LOGCOMP_HIDDEN void LCTRecordRemove(uint64_t recordId);
// Parses an untrusted record; rec points into text afterwards.
LOGCOMP_HIDDEN bool LCTRecordParse(const char* text, size_t len, LCT_RECORD* rec);
LOGCOMP_HIDDEN bool LCTRecordNextFile(const char** cursor, const LCT_RECORD* rec, char* name,
                                      size_t nameSize);
// Resolves every record an earlier process left; queued by init ahead of every request.
LOGCOMP_HIDDEN void LCTRecoverInLoop(void* ptr);

// Restore: only members missing from the log directory come back, never over an existing
// file; true when all of them are back and the archive is removed. A filter, when set,
// limits the members to those it accepts.
typedef bool (*LCTRestoreFilter)(const char* name, void* ctx);
LOGCOMP_HIDDEN bool LCTRestoreArchive(const char* tarPath, LCTRestoreFilter accept,
                                      void* acceptCtx);

#endif /* LOG_COMP_TRIGGER_INTERNAL_H */
