/* Compression trigger: compression requests from the host, and a daily run over
 * yesterday's logs, turned into executor tasks whose outcome is reported back. */
#ifndef LOG_COMP_TRIGGER_H
#define LOG_COMP_TRIGGER_H

#include <stdbool.h>
#include <stdint.h>

#include "event/ev_loop.h"
#include "logCompress/LogCompExport.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    LOG_COMPRESS_OPTION_STOP = 0,          /* stop the task with the same strTaskId */
    LOG_COMPRESS_OPTION_FULL = 1,          /* pack into one tar archive, then compress it */
    LOG_COMPRESS_OPTION_ONLY_COMPRESS = 2, /* compress each log file */
    LOG_COMPRESS_OPTION_MAX = 3,
};

enum {
    LOG_COMP_TRIGGER_RESULT_REJECT = 0, /* cancelled */
    LOG_COMP_TRIGGER_RESULT_ONGOING = 1,
    LOG_COMP_TRIGGER_RESULT_SUCCESS = 2,
    LOG_COMP_TRIGGER_RESULT_FAILED = 3,
};

typedef struct LogCompTriggerRes {
    char strTaskId[128];
    char* errMsg; /* static text: never free or write it */
    int result;   /* LOG_COMP_TRIGGER_RESULT_* */
    uint16_t progress;
    uint16_t mode;
} LOG_COMP_TRIGGER_RES;

/* Runs on the executor's worker thread, or on the loop thread for a task cancelled while
 * waiting. The record lives only for the duration of the call. */
typedef void (*LOG_COMPRESS_RES_CALLBACK)(const LOG_COMP_TRIGGER_RES* res);
/* True when compression may start now. */
typedef bool (*LOG_COMPRESS_ALLOWED_CALLBACK)(void);

typedef struct LogCompTriggerReq {
    char strTaskId[128];
    char outputPath[256]; /* LOG_COMPRESS_OPTION_FULL only; must end in ".tar.gz" */
    char beginTime[64];
    char endTime[64];
    int compressOption; /* LOG_COMPRESS_OPTION_* */
    LOG_COMPRESS_RES_CALLBACK cb;
} LOG_COMP_TRIGGER_REQ;

/* Period of the daily run's tick: from the trigger time on, yesterday's logs are compressed on
 * the first tick the host allows. */
#define LOG_COMP_TRIGGER_TICK_MS 600000

typedef struct LogCompTriggerTime {
    int hour;
    int minute;
    int second;
} LOG_COMP_TRIGGER_TIME;

typedef struct LogCompTriggerConfig {
    LOG_COMP_TRIGGER_TIME triggerTime; /* UTC time of day of the daily run */
    LOG_COMPRESS_ALLOWED_CALLBACK isAllowedCallback;
} LOG_COMP_TRIGGER_CONFIG;

/* Starts the trigger on the host's loop (the executor and the daily ten-minute tick with
 * it). 0 when it runs afterwards, also when it ran already; -1 on failure, and also while
 * the release queued by the previous uninit has not yet run on the loop. */
LOGCOMP_API int LogCompTriggerInit(struct EvLoop* loop, LOG_COMP_TRIGGER_CONFIG* pConfig);
/* Stops the daily tick and refuses further posts at once; the release of every task and
 * of the executor runs later on the loop. */
LOGCOMP_API void LogCompTriggerUninit(void);
/* Copies the request and hands it to the loop; the caller keeps `req`. 0 when handed over
 * (later failures are only logged, and the requester then hears nothing), -1 when refused.
 * For LOG_COMPRESS_OPTION_FULL, outputPath must be absolute and name neither an existing file
 * nor one whose ".tar" sibling exists, nor lie inside an entry named like one of the request's
 * logs; such a request is refused on the loop. */
LOGCOMP_API int LogCompTriggerPostTask(const LOG_COMP_TRIGGER_REQ* req);

#ifdef __cplusplus
}
#endif

#endif /* LOG_COMP_TRIGGER_H */
