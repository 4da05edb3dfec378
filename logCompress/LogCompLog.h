/* The library's one way to log: class LOG_SYSTEM, the calling function and its line. */
#ifndef LOG_COMP_LOG_H
#define LOG_COMP_LOG_H

#include "logsys/log_sys.h"

#define LC_LOG(level, ...) log_sendByLevelFile(LOG_SYSTEM, (level), __func__, __LINE__, __VA_ARGS__)

#endif /* LOG_COMP_LOG_H */
