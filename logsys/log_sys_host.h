/* Host side of the logging sink: where its lines go and which levels pass. Each message
 * becomes one line, written whole:
 *   2024-05-01T12:34:56.789Z ERROR [SYSTEM] LogCompExecAddTask:120: text
 * (UTC time with milliseconds, level, class, function:line, text). Under systemd, when stderr
 * is the journal's stream (JOURNAL_STREAM names its device and inode; looked at when the
 * program starts and by LogSysSetStderr(true)), the stderr line starts with the level's
 * syslog priority instead of the time, which the journal keeps itself:
 *   <3>ERROR [SYSTEM] LogCompExecAddTask:120: text
 * Safe from any thread. */
#ifndef LOG_SYS_HOST_H
#define LOG_SYS_HOST_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Longest line written, its newline included; a longer message is cut to fit. */
#define LOG_SYS_MAX_LINE 8192

/* "DEBUG", "INFO", "NOTICE", "WARN", "ERROR" or "FATAL": a level as the lines write it. */
const char* LogSysLevelName(int level);

/* "<3>" for LEVEL_ERROR, the syslog priority of a level (unknown ones as INFO), while stderr
 * is the journal's stream; "" otherwise. */
const char* LogSysJournalPrefix(int level);

/* Messages below this ZLOG_LEVEL are dropped; LEVEL_DEBUG (all pass) at start. */
void LogSysSetMinLevel(int level);

/* Also writes every line to the file at path (appended, created 0644). NULL closes the file
 * and turns stderr back on. 0 on success; -1 when the file cannot be opened, and then the
 * destinations stay as they were. */
int LogSysSetFile(const char* path);

/* Writes to stderr too (the default) or not; turning it on looks again whether stderr is the
 * journal's stream. */
void LogSysSetStderr(bool on);

/* Called for every message that passes the level filter, before its line is written, on the
 * logging thread and outside the sink's lock. text is the message exactly as formatted from the
 * caller's format and arguments: whole, line breaks kept (the line written is cut to fit and
 * has them replaced by spaces). func is the caller's function, "?" when it gave none. The hook
 * must not log through the sink. */
typedef void (*LogSysLineHook)(int level, const char* func, const char* text);

/* Installs the hook; NULL removes it. A message logged meanwhile on another thread may still
 * reach the previous hook. */
void LogSysSetLineHook(LogSysLineHook hook);

#ifdef __cplusplus
}
#endif

#endif /* LOG_SYS_HOST_H */
