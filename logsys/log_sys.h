/* Logging sink of the host application. Every message of the library goes through
 * log_sendByLevelFile; the host decides where it ends up. Safe from any thread. */
#ifndef LOG_SYS_H
#define LOG_SYS_H

#ifdef __cplusplus
extern "C" {
#endif

typedef enum ZlogLevel {
    LEVEL_DEBUG = 1,
    LEVEL_INFO = 2,
    LEVEL_NOTICE = 3,
    LEVEL_WARN = 4,
    LEVEL_ERROR = 5,
    LEVEL_FATAL = 6,
} ZLOG_LEVEL;

/* Log classes, the first argument of the sink. */
enum LogClass {
    LOG_SYSTEM = 0,
    LOG_SECURITY = 1,
    LOG_INDEPENDENT = 2,
    LOG_CSMS = 3,
    LOG_WEB = 4,
    LOG_CLASS_MAX = 10,
};

void log_sendByLevelFile(int logClass, ZLOG_LEVEL level, const char* func, int line,
                         const char* fmt, ...) __attribute__((format(printf, 5, 6)));

#ifdef __cplusplus
}
#endif

#endif /* LOG_SYS_H */
