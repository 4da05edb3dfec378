// The reference host's one way to log: class LOG_SYSTEM, the calling function and its line.
#pragma once

#include "logsys/log_sys.h"

#define HOST_LOG(level, ...) \
    log_sendByLevelFile(LOG_SYSTEM, (level), __func__, __LINE__, __VA_ARGS__)
