// Log lines of the reference file compressor.
#pragma once

#include <cstring>

#include "logsys/host_log.h"

// "FileCompress <what> failed for <path>: <reason>" at ERROR.
inline void FileCompressLogErrno(const char* what, const char* path, int err) {
    char buf[96];
    HOST_LOG(LEVEL_ERROR, "FileCompress %s failed for %s: %s", what, path,
             strerror_r(err, buf, sizeof buf));
}
