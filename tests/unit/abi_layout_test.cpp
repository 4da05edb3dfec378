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

#define PIN_SIZE(type, size, align)                                     \
    static_assert(sizeof(type) == (size), "size of " #type " changed"); \
    static_assert(alignof(type) == (align), "alignment of " #type " changed")
#define PIN_FIELD(type, field, offset) \
    static_assert(offsetof(type, field) == (offset), "offset of " #type "." #field " changed")

PIN_SIZE(FILE_COMPRESS_CONFIG, 268, 4);
PIN_FIELD(FILE_COMPRESS_CONFIG, file, 0);
PIN_FIELD(FILE_COMPRESS_CONFIG, compressLevel, 256);
PIN_FIELD(FILE_COMPRESS_CONFIG, segmentSize, 260);
PIN_FIELD(FILE_COMPRESS_CONFIG, needDelete, 264);

PIN_SIZE(LOG_COMPEXEC_TASK, 40, 8);
PIN_FIELD(LOG_COMPEXEC_TASK, compressList, 0);
PIN_FIELD(LOG_COMPEXEC_TASK, taskId, 8);
PIN_FIELD(LOG_COMPEXEC_TASK, callback, 16);
PIN_FIELD(LOG_COMPEXEC_TASK, userData, 24);
PIN_FIELD(LOG_COMPEXEC_TASK, retryCnt, 32);

PIN_SIZE(LOG_COMP_TRIGGER_REQ, 528, 8);
PIN_FIELD(LOG_COMP_TRIGGER_REQ, strTaskId, 0);
PIN_FIELD(LOG_COMP_TRIGGER_REQ, outputPath, 128);
PIN_FIELD(LOG_COMP_TRIGGER_REQ, beginTime, 384);
PIN_FIELD(LOG_COMP_TRIGGER_REQ, endTime, 448);
PIN_FIELD(LOG_COMP_TRIGGER_REQ, compressOption, 512);
PIN_FIELD(LOG_COMP_TRIGGER_REQ, cb, 520);

PIN_SIZE(LOG_COMP_TRIGGER_RES, 144, 8);
PIN_FIELD(LOG_COMP_TRIGGER_RES, strTaskId, 0);
PIN_FIELD(LOG_COMP_TRIGGER_RES, errMsg, 128);
PIN_FIELD(LOG_COMP_TRIGGER_RES, result, 136);
PIN_FIELD(LOG_COMP_TRIGGER_RES, progress, 140);
PIN_FIELD(LOG_COMP_TRIGGER_RES, mode, 142);

PIN_SIZE(LOG_COMP_TRIGGER_TIME, 12, 4);
PIN_FIELD(LOG_COMP_TRIGGER_TIME, hour, 0);
PIN_FIELD(LOG_COMP_TRIGGER_TIME, minute, 4);
PIN_FIELD(LOG_COMP_TRIGGER_TIME, second, 8);

PIN_SIZE(LOG_COMP_TRIGGER_CONFIG, 24, 8);
PIN_FIELD(LOG_COMP_TRIGGER_CONFIG, triggerTime, 0);
PIN_FIELD(LOG_COMP_TRIGGER_CONFIG, isAllowedCallback, 16);

PIN_SIZE(LOG_MANAGER_CONFIG, 257, 1);
PIN_FIELD(LOG_MANAGER_CONFIG, logDir, 0);
PIN_FIELD(LOG_MANAGER_CONFIG, storageThreshold, 256);

PIN_SIZE(Dev_Filesystem_Usage, 32, 8);
PIN_FIELD(Dev_Filesystem_Usage, totalBytes, 0);
PIN_FIELD(Dev_Filesystem_Usage, usedBytes, 8);
PIN_FIELD(Dev_Filesystem_Usage, availableBytes, 16);
PIN_FIELD(Dev_Filesystem_Usage, usageRatio, 24);

PIN_SIZE(DateList, 16, 8);
PIN_FIELD(DateList, dates, 0);
PIN_FIELD(DateList, count, 8);
PIN_FIELD(DateList, capacity, 12);

PIN_SIZE(EV_TASK_T, 24, 8);
PIN_FIELD(EV_TASK_T, task, 0);
PIN_FIELD(EV_TASK_T, pUser, 8);
PIN_FIELD(EV_TASK_T, userDataSize, 16);

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

// The figures above hold at compile time; this records which target they were checked for.
TEST(AbiLayout, PinnedForThisTarget) {
#if defined(__aarch64__)
    RecordProperty("target", "aarch64");
#elif defined(__x86_64__)
    RecordProperty("target", "x86_64");
#else
    GTEST_FAIL() << "no pinned layout for this target";
#endif
}
