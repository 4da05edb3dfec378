// Compression trigger: the log files of a task's dates, picked by the fixed name rules,
// and the two small predicates the events lean on.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "logCompress/DateParse.h"
#include "logCompress/LogCompLog.h"
#include "logCompress/LogCompTriggerInternal.h"
#include "logCompress/LogNameRules.h"

namespace {

// One printf format per log file of a day, tried in this order (LOG_NAME_RULE_INDEX); null
// ends the table.
const char* const sLogNameRules[] = {LOG_NAME_RULE_FORMATS, nullptr};
static_assert(sizeof(sLogNameRules) / sizeof(sLogNameRules[0]) == LOG_NAME_RULE_COUNT + 1,
              "one table entry per name rule and the end");

void FormatLogName(const char* rule, const char* strDate, char (&fileName)[128]) {
    memset(fileName, 0, sizeof(fileName));
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(fileName, sizeof(fileName), rule, strDate);
#pragma GCC diagnostic pop
}

// Zeroes and fills both buffers for one rule and one date; true when a regular file of that
// name exists. Anything else under a log's name (a link, a FIFO, a directory) is never
// taken: it is reported and the request goes on with the rest.
bool FormatLogFile(const char* strTaskId, const char* rule, const char* strDate,
                   char (&fileName)[128], char (&filePath)[256]) {
    memset(filePath, 0, sizeof(filePath));
    FormatLogName(rule, strDate, fileName);
    snprintf(filePath, sizeof(filePath), "%s/%s", LOG_COMP_LOG_DIR, fileName);
    struct stat st {};
    if (lstat(filePath, &st) != 0) {
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        LC_LOG(LEVEL_WARN, "[%s]LCTGetFileList: %s is not a regular file, skipped", strTaskId,
               filePath);
        return false;
    }
    return true;
}

}  // namespace

FILE_COMPRESS_CONFIG* LCTNewFileOrder(const char* file, bool needDelete) {
    size_t len = strlen(file);
    auto* pConfig = static_cast<FILE_COMPRESS_CONFIG*>(calloc(1, sizeof(FILE_COMPRESS_CONFIG)));
    if (pConfig == nullptr || len >= sizeof(pConfig->file)) {
        free(pConfig);
        return nullptr;
    }
    memcpy(pConfig->file, file, len + 1);
    pConfig->compressLevel = FILE_COMPRESS_LEVEL_4;
    pConfig->segmentSize = 0;
    pConfig->needDelete = needDelete;
    return pConfig;
}

int LCTGetFileList(LinkList fileCompList, LOG_COMP_TRIGGER_TASK* pParam, bool needFullPath) {
    int fileCount = 0;
    char fileName[128];
    char filePath[256];
    for (int i = 0; i < pParam->pDateList->count; i++) {
        const char* strDate = pParam->pDateList->dates[i];
        LC_LOG(LEVEL_INFO, "[%s]Get file list for date %s", pParam->strTaskId, strDate);
        for (int j = 0; sLogNameRules[j] != nullptr; j++) {
            if (!FormatLogFile(pParam->strTaskId, sLogNameRules[j], strDate, fileName, filePath)) {
                continue;
            }
            FILE_COMPRESS_CONFIG* pConfig =
                LCTNewFileOrder(needFullPath ? filePath : fileName, !LCTIsToday(strDate));
            // A list that cannot take the order is out of memory just the same.
            if (pConfig == nullptr || PushBack_LinkList(fileCompList, pConfig) != 0) {
                free(pConfig);
                LC_LOG(LEVEL_ERROR,
                       "[%s]LCTGetFileList failed, malloc pConfig failed, fileNameRule index = %d",
                       pParam->strTaskId, j);
                return -1;
            }
            fileCount++;
            LC_LOG(LEVEL_INFO, "[%s] Add file[%d] %s to compress list", pParam->strTaskId,
                   fileCount,
                   j == LOG_NAME_RULE_NETWORK_SHELL_LOG ? "Network shell.log" : pConfig->file);
        }
    }
    return fileCount;
}

bool LCTIsLogNameOf(const char* name, const DateList* pDateList) {
    char fileName[128];
    for (int i = 0; pDateList != nullptr && i < pDateList->count; i++) {
        for (int j = 0; sLogNameRules[j] != nullptr; j++) {
            FormatLogName(sLogNameRules[j], pDateList->dates[i], fileName);
            if (strcmp(fileName, name) == 0) {
                return true;
            }
        }
    }
    return false;
}

bool LCTIsToday(const char* strDate) {
    struct tm tmDate;
    memset(&tmDate, 0, sizeof(tmDate));
    if (strDate == nullptr || !ParseDateEx(strDate, &tmDate, "%Y-%m-%d")) {
        return false;
    }
    time_t now = time(nullptr);
    struct tm tmNow;
    memset(&tmNow, 0, sizeof(tmNow));
    gmtime_r(&now, &tmNow);
    return CompareDates(&tmNow, &tmDate) == 0;
}

bool EndsWith(const char* str, const char* suffix) {
    if (str == nullptr || suffix == nullptr) {
        return false;
    }
    size_t strLen = strlen(str);
    size_t suffixLen = strlen(suffix);
    if (strLen < suffixLen) {
        return false;
    }
    return memcmp(str + strLen - suffixLen, suffix, suffixLen) == 0;
}
