// The public records cross the boundary between the library and the host application,
// which are built separately: their sizes and field offsets are pinned here, as numbers,
// for every target (x86-64 and the station's AArch64 are both LP64, so the figures agree).
// A change that moves a field breaks the build here before it breaks a station.
#include <gtest/gtest.h>

#include <cstddef>

#include "device/devStatus.h"
#include "event/ev_loop.h"
#include "fileUtils/file_compress.h"
#include "logCompress/DateParse.h"
#include "logCompress/LogCompExec.h"
#include "logCompress/LogCompTrigger.h"
#include "logCompress/LogManager.h"

#if !defined(__aarch64__) && !defined(__x86_64__)
#error "no pinned layout for this target"
#endif

#define AT(field, offset) (offsetof(S, field) == (offset))
#define PIN(T, size, align, fields)                     \
    static_assert(                                      \
        sizeof(T) == (size) && alignof(T) == (align) && \
            [] {                                        \
                using S = T;                            \
                return fields;                          \
            }(),                                        \
        "layout of " #T " changed")

PIN(FILE_COMPRESS_CONFIG, 268, 4,
    AT(file, 0) && AT(compressLevel, 256) && AT(segmentSize, 260) && AT(needDelete, 264));
PIN(LOG_COMPEXEC_TASK, 40, 8,
    AT(compressList, 0) && AT(taskId, 8) && AT(callback, 16) && AT(userData, 24) &&
        AT(retryCnt, 32));
PIN(LOG_COMP_TRIGGER_REQ, 528, 8,
    AT(strTaskId, 0) && AT(outputPath, 128) && AT(beginTime, 384) && AT(endTime, 448) &&
        AT(compressOption, 512) && AT(cb, 520));
PIN(LOG_COMP_TRIGGER_RES, 144, 8,
    AT(strTaskId, 0) && AT(errMsg, 128) && AT(result, 136) && AT(progress, 140) && AT(mode, 142));
PIN(LOG_COMP_TRIGGER_TIME, 12, 4, AT(hour, 0) && AT(minute, 4) && AT(second, 8));
PIN(LOG_COMP_TRIGGER_CONFIG, 24, 8, AT(triggerTime, 0) && AT(isAllowedCallback, 16));
PIN(LOG_MANAGER_CONFIG, 257, 1, AT(logDir, 0) && AT(storageThreshold, 256));
PIN(Dev_Filesystem_Usage, 32, 8,
    AT(totalBytes, 0) && AT(usedBytes, 8) && AT(availableBytes, 16) && AT(usageRatio, 24));
PIN(DateList, 16, 8, AT(dates, 0) && AT(count, 8) && AT(capacity, 12));
PIN(EV_TASK_T, 24, 8, AT(task, 0) && AT(pUser, 8) && AT(userDataSize, 16));

// The codes a host stores or compares are part of the same contract.
static_assert(LOG_COMPRESS_OPTION_STOP == 0 && LOG_COMPRESS_OPTION_FULL == 1 &&
              LOG_COMPRESS_OPTION_ONLY_COMPRESS == 2 && LOG_COMPRESS_OPTION_MAX == 3);
static_assert(LOG_COMP_TRIGGER_RESULT_REJECT == 0 && LOG_COMP_TRIGGER_RESULT_ONGOING == 1 &&
              LOG_COMP_TRIGGER_RESULT_SUCCESS == 2 && LOG_COMP_TRIGGER_RESULT_FAILED == 3);
static_assert(FILE_COMPRESS_STATUS_FINISHED == 0 && FILE_COMPRESS_STATUS_ONGOING == 1 &&
              FILE_COMPRESS_STATUS_FAILED == 2 && FILE_COMPRESS_STATUS_CANCELLED == 3);
static_assert(FILE_COMPRESS_LEVEL_9 == 9 && FILE_COMPRESS_LEVEL_MAX == 10);
static_assert(SD_STATUS_OK == 0 && SD_STATUS_UNMOUNT == 1 && SD_STATUS_FORMAT_ERR == 2 &&
              SD_STATUS_READ_ONLY == 3);

// Everything above is checked when this file compiles.
TEST(AbiLayout, PinnedForThisTarget) {}
