// Log lines of the reference file compressor.
#pragma once

#include <cstring>

#include "logsys/log_sys.h"

#define FC_LOG(level, ...) log_sendByLevelFile(LOG_SYSTEM, (level), __func__, __LINE__, __VA_ARGS__)

// "FileCompress <what> failed for <path>: <reason>" at ERROR.
inline void FileCompressLogErrno(const char* what, const char* path, int err) {
    char buf[96];
    FC_LOG(LEVEL_ERROR, "FileCompress %s failed for %s: %s", what, path,
           strerror_r(err, buf, sizeof buf));
}
