/* Storage guard: every 10 seconds, while the log directory's file system is at or above
 * the threshold, deletes the oldest entry of the log directory (one per check). */
#ifndef LOG_MANAGER_H
#define LOG_MANAGER_H

#include <stdint.h>

#include "event/ev_loop.h"
#include "logCompress/LogCompExport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Period of the storage check. */
#define LOG_MANAGER_CHECK_MS 10000

typedef struct LogManagerConfig {
    char logDir[256];
    uint8_t storageThreshold; /* percent, 1 to 100; anything else becomes 70 at init */
} LOG_MANAGER_CONFIG;

LOGCOMP_API int LogManagerInit(struct EvLoop* loop, LOG_MANAGER_CONFIG* pConfig);
LOGCOMP_API void LogManagerUninit(void);

#ifdef __cplusplus
}
#endif

#endif /* LOG_MANAGER_H */
