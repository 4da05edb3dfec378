// Compression trigger: the daily run. A ten-minute tick watches the UTC date and, once a
// day from the configured time of day on, posts yesterday's logs for compression.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "logCompress/DateParse.h"
#include "logCompress/LogCompLog.h"
#include "logCompress/LogCompTriggerInternal.h"

namespace {

constexpr time_t kSecondsPerDay = 86400;

// Wide enough that no configured time of day overflows.
long long SecondOfDay(long long hour, long long minute, long long second) {
    return hour * 3600 + minute * 60 + second;
}

}  // namespace

void LogCompTriggerOnTimer(struct UvTimer* pTimer, void* ptr) {
    (void)pTimer;
    if (ptr == nullptr) {
        LC_LOG(LEVEL_ERROR, "LogCompTriggerOnTimer failed, ptr is NULL");
        return;
    }
    auto* pObj = static_cast<LOG_COMP_TRIGGER_T*>(ptr);
    time_t t = time(nullptr) - kSecondsPerDay;
    struct tm tm;
    memset(&tm, 0, sizeof(tm));
    gmtime_r(&t, &tm);
    if (CompareDates(&tm, &pObj->timeCache) != 0) {
        LC_LOG(LEVEL_INFO, "LogCompTriggerOnTimer: New Day");
        pObj->needTriggerEveryDay.store(true);
        pObj->timeCache = tm;
    }
    if (pObj->config.isAllowedCallback != nullptr && !pObj->config.isAllowedCallback()) {
        LC_LOG(LEVEL_INFO, "LogCompTriggerOnTimer: compress is not allowed");
        return;
    }
    if (!pObj->needTriggerEveryDay.load()) {
        return;
    }
    const LOG_COMP_TRIGGER_TIME& at = pObj->config.triggerTime;
    if (SecondOfDay(tm.tm_hour, tm.tm_min, tm.tm_sec) <
        SecondOfDay(at.hour, at.minute, at.second)) {
        return;
    }
    LC_LOG(LEVEL_INFO, "LogCompTriggerOnTimer: trigger at %04d-%02d-%02d %02d:%02d:%02d",
           tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    // The posted task cannot end before this tick returns, so its cancellation can only
    // re-arm the flag after it is cleared here.
    if (PreHandleLogCompTrigger(pObj, &tm)) {
        pObj->needTriggerEveryDay.store(false);
    }
}

bool PreHandleLogCompTrigger(LOG_COMP_TRIGGER_T* pObj, struct tm* tm) {
    if (pObj == nullptr || tm == nullptr) {
        LC_LOG(LEVEL_ERROR, "PreHandleLogCompTrigger failed, pObj or tm is NULL");
        return false;
    }
    auto* pTask = static_cast<LOG_COMP_TRIGGER_TASK*>(calloc(1, sizeof(LOG_COMP_TRIGGER_TASK)));
    if (pTask == nullptr) {
        LC_LOG(LEVEL_ERROR, "PreHandleLogCompTrigger malloc failed");
        return true;
    }
    pTask->compressOption = LOG_COMPRESS_OPTION_TIMER;
    snprintf(pTask->strTaskId, sizeof(pTask->strTaskId), "%s", LCT_DAILY_TASK_ID);
    pTask->taskCallback = nullptr;
    char strDate[64];
    memset(strDate, 0, sizeof(strDate));
    snprintf(strDate, sizeof(strDate), "%04d-%02d-%02d", tm->tm_year + 1900, tm->tm_mon + 1,
             tm->tm_mday);
    pTask->pDateList = CreateDateList(1);
    if (pTask->pDateList == nullptr) {
        LC_LOG(LEVEL_ERROR, "PreHandleLogCompTrigger CreateDateList failed");
        free(pTask);
        return false;
    }
    if (!AddDateToList(pTask->pDateList, strDate)) {
        LC_LOG(LEVEL_ERROR, "PreHandleLogCompTrigger AddDateToList failed");
        FreeDateList(pTask->pDateList);
        free(pTask);
        return false;
    }
    LCTRunInLoop(pObj->loop.load(), LogCompTriggerEventProc, pTask);
    return true;
}
