/* The library's one way to log: class LOG_SYSTEM, the calling function and its line. */
#ifndef LOG_COMP_LOG_H
#define LOG_COMP_LOG_H

#include "logsys/log_sys.h"

#define LC_LOG(level, ...) LC_LOG_AS(__func__, (level), __VA_ARGS__)
/* For a helper that logs on behalf of the function named `func`. */
#define LC_LOG_AS(func, level, ...) \
    log_sendByLevelFile(LOG_SYSTEM, (level), (func), __LINE__, __VA_ARGS__)

#endif /* LOG_COMP_LOG_H */
