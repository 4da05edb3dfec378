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

#define AT(type, field, offset) (offsetof(type, field) == (offset))
#define PIN(type, size, align, fields)                                            \
    static_assert(sizeof(type) == (size) && alignof(type) == (align) && (fields), \
                  "layout of " #type " changed")

PIN(FILE_COMPRESS_CONFIG, 268, 4,
    AT(FILE_COMPRESS_CONFIG, file, 0) && AT(FILE_COMPRESS_CONFIG, compressLevel, 256) &&
        AT(FILE_COMPRESS_CONFIG, segmentSize, 260) && AT(FILE_COMPRESS_CONFIG, needDelete, 264));
PIN(LOG_COMPEXEC_TASK, 40, 8,
    AT(LOG_COMPEXEC_TASK, compressList, 0) && AT(LOG_COMPEXEC_TASK, taskId, 8) &&
        AT(LOG_COMPEXEC_TASK, callback, 16) && AT(LOG_COMPEXEC_TASK, userData, 24) &&
        AT(LOG_COMPEXEC_TASK, retryCnt, 32));
PIN(LOG_COMP_TRIGGER_REQ, 528, 8,
    AT(LOG_COMP_TRIGGER_REQ, strTaskId, 0) && AT(LOG_COMP_TRIGGER_REQ, outputPath, 128) &&
        AT(LOG_COMP_TRIGGER_REQ, beginTime, 384) && AT(LOG_COMP_TRIGGER_REQ, endTime, 448) &&
        AT(LOG_COMP_TRIGGER_REQ, compressOption, 512) && AT(LOG_COMP_TRIGGER_REQ, cb, 520));
PIN(LOG_COMP_TRIGGER_RES, 144, 8,
    AT(LOG_COMP_TRIGGER_RES, strTaskId, 0) && AT(LOG_COMP_TRIGGER_RES, errMsg, 128) &&
        AT(LOG_COMP_TRIGGER_RES, result, 136) && AT(LOG_COMP_TRIGGER_RES, progress, 140) &&
        AT(LOG_COMP_TRIGGER_RES, mode, 142));
PIN(LOG_COMP_TRIGGER_TIME, 12, 4,
    AT(LOG_COMP_TRIGGER_TIME, hour, 0) && AT(LOG_COMP_TRIGGER_TIME, minute, 4) &&
        AT(LOG_COMP_TRIGGER_TIME, second, 8));
PIN(LOG_COMP_TRIGGER_CONFIG, 24, 8,
    AT(LOG_COMP_TRIGGER_CONFIG, triggerTime, 0) &&
        AT(LOG_COMP_TRIGGER_CONFIG, isAllowedCallback, 16));
PIN(LOG_MANAGER_CONFIG, 257, 1,
    AT(LOG_MANAGER_CONFIG, logDir, 0) && AT(LOG_MANAGER_CONFIG, storageThreshold, 256));
PIN(Dev_Filesystem_Usage, 32, 8,
    AT(Dev_Filesystem_Usage, totalBytes, 0) && AT(Dev_Filesystem_Usage, usedBytes, 8) &&
        AT(Dev_Filesystem_Usage, availableBytes, 16) && AT(Dev_Filesystem_Usage, usageRatio, 24));
PIN(DateList, 16, 8,
    AT(DateList, dates, 0) && AT(DateList, count, 8) && AT(DateList, capacity, 12));
PIN(EV_TASK_T, 24, 8,
    AT(EV_TASK_T, task, 0) && AT(EV_TASK_T, pUser, 8) && AT(EV_TASK_T, userDataSize, 16));

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
