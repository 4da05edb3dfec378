// The host's logging sink. A message is formatted into a buffer on the caller's stack, shown
// to the line hook, and handed to each destination with one write under one lock, so lines of
// concurrent writers never mix.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "fileUtils/write_all.h"
#include "logsys/log_sys.h"
#include "logsys/log_sys_host.h"

namespace {

constexpr size_t kStampLen = sizeof "2024-05-01T12:34:56.789Z " - 1;

// The levels as the lines write them, and as syslog priorities for the journal.
constexpr struct {
    const char* name;
    const char* priority;
} kLevels[] = {{"DEBUG", "<7>"}, {"INFO", "<6>"},  {"NOTICE", "<5>"},
               {"WARN", "<4>"},  {"ERROR", "<3>"}, {"FATAL", "<2>"}};

// Under systemd, JOURNAL_STREAM names the device and inode of the stream to the journal.
bool StderrIsJournal() {
    const char* stream = getenv("JOURNAL_STREAM");
    unsigned long long dev = 0, ino = 0;
    char extra = 0;
    struct stat st {};
    return stream != nullptr && sscanf(stream, "%llu:%llu%c", &dev, &ino, &extra) == 2 &&
           fstat(STDERR_FILENO, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}

std::atomic<bool> sJournal{StderrIsJournal()};

struct Sink {
    std::mutex mu;
    int fileFd = -1;
    bool toStderr = true;
};

// Never destroyed: static destructors elsewhere may still log.
Sink& TheSink() {
    static Sink* sink = new Sink();
    return *sink;
}

std::atomic<int> sMinLevel{LEVEL_DEBUG};
std::atomic<LogSysLineHook> sLineHook{nullptr};

const char* ClassName(int logClass) {
    static constexpr const char* kNames[] = {"SYSTEM", "SECURITY", "INDEPENDENT", "CSMS", "WEB"};
    return logClass >= LOG_SYSTEM && logClass <= LOG_WEB ? kNames[logClass] : "CLASS?";
}

// "2024-05-01T12:34:56.789Z LEVEL [CLASS] func:line: "; returns its length.
int FormatPrefix(char* buf, size_t cap, int logClass, int level, const char* func, int line) {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm utc {};
    gmtime_r(&now.tv_sec, &utc);
    int n = snprintf(
        buf, cap, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ %s [%s] %s:%d: ", utc.tm_year + 1900,
        utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, now.tv_nsec / 1000000L,
        LogSysLevelName(level), ClassName(logClass), func != nullptr ? func : "?", line);
    return n < 0 ? 0 : (static_cast<size_t>(n) < cap ? n : static_cast<int>(cap - 1));
}

// Formats the message into text, cut to at most room bytes; returns its full length, -1 when
// it cannot be formatted.
int FormatText(char* text, size_t room, const char* fmt, va_list args) {
    const int n = fmt != nullptr ? vsnprintf(text, room + 1, fmt, args)
                                 : snprintf(text, room + 1, "(no format)");
    if (n < 0) {
        text[0] = '\0';
    }
    return n;
}

// Ends the line after the text: line breaks become spaces, a newline closes it; returns the
// line length.
size_t EndLine(char* buf, size_t prefixLen, size_t textLen) {
    for (char* c = buf + prefixLen; c < buf + prefixLen + textLen; ++c) {
        if (*c == '\n' || *c == '\r') {
            *c = ' ';
        }
    }
    buf[prefixLen + textLen] = '\n';
    return prefixLen + textLen + 1;
}

// The hook gets the whole text: the line's when it fit, else formatted again (the cut one
// only when that copy cannot be allocated).
void CallHook(int level, const char* func, const char* text, int fullLen, size_t textLen,
              const char* fmt, va_list again) {
    const LogSysLineHook hook = sLineHook.load(std::memory_order_acquire);
    if (hook == nullptr) {
        return;
    }
    char* whole = nullptr;
    if (fullLen > 0 && static_cast<size_t>(fullLen) > textLen) {
        whole = static_cast<char*>(malloc(static_cast<size_t>(fullLen) + 1));
        if (whole != nullptr) {
            vsnprintf(whole, static_cast<size_t>(fullLen) + 1, fmt, again);
        }
    }
    hook(level, func != nullptr ? func : "?", whole != nullptr ? whole : text);
    free(whole);
}

// Nowhere is left to report a failed write. The journal keeps its own time: its line has the
// priority in the place of the stamp's end, written there once the file has the whole line.
void Emit(char* line, size_t len, int level) {
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> lock(sink.mu);
    if (sink.fileFd >= 0) {
        (void)WriteAll(sink.fileFd, line, len);
    }
    if (!sink.toStderr) {
        return;
    }
    const char* priority = LogSysJournalPrefix(level);
    const size_t priorityLen = strlen(priority);
    const size_t skip = priorityLen > 0 ? kStampLen - priorityLen : 0;
    memcpy(line + skip, priority, priorityLen);
    (void)WriteAll(STDERR_FILENO, line + skip, len - skip);
}

// Installs fd as the file destination and closes the previous one.
void SwapFile(int fd, bool stderrOn) {
    Sink& sink = TheSink();
    int old = -1;
    {
        std::lock_guard<std::mutex> lock(sink.mu);
        old = sink.fileFd;
        sink.fileFd = fd;
        sink.toStderr = sink.toStderr || stderrOn;
    }
    if (old >= 0) {
        close(old);
    }
}

}  // namespace

extern "C" {

void log_sendByLevelFile(int logClass, ZLOG_LEVEL level, const char* func, int line,
                         const char* fmt, ...) {
    if (static_cast<int>(level) < sMinLevel.load(std::memory_order_relaxed)) {
        return;
    }
    char buf[LOG_SYS_MAX_LINE];
    const size_t prefixLen = FormatPrefix(buf, sizeof buf, logClass, level, func, line);
    va_list args;
    va_list again;  // for the hook, when the line cannot hold the whole text
    va_start(args, fmt);
    va_copy(again, args);
    const size_t room = sizeof buf - prefixLen - 1;  // one byte kept for the newline
    const int fullLen = FormatText(buf + prefixLen, room, fmt, args);
    va_end(args);
    const size_t textLen = fullLen < 0 ? 0 : std::min(static_cast<size_t>(fullLen), room);
    CallHook(level, func, buf + prefixLen, fullLen, textLen, fmt, again);
    va_end(again);
    Emit(buf, EndLine(buf, prefixLen, textLen), level);
}

void LogSysSetMinLevel(int level) {
    sMinLevel.store(level, std::memory_order_relaxed);
}

int LogSysSetFile(const char* path) {
    if (path == nullptr) {
        SwapFile(-1, true);
        return 0;
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        char reason[128];
        log_sendByLevelFile(LOG_SYSTEM, LEVEL_ERROR, __func__, __LINE__,
                            "cannot open log file %s: %s", path,
                            strerror_r(errno, reason, sizeof reason));
        return -1;
    }
    SwapFile(fd, false);
    return 0;
}

void LogSysSetLineHook(LogSysLineHook hook) {
    sLineHook.store(hook, std::memory_order_release);
}

void LogSysSetStderr(bool on) {
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> lock(sink.mu);
    sink.toStderr = on;
    if (on) {
        sJournal = StderrIsJournal();
    }
}

}  // extern "C"

extern "C" const char* LogSysLevelName(int level) {
    return level >= LEVEL_DEBUG && level <= LEVEL_FATAL ? kLevels[level - LEVEL_DEBUG].name
                                                        : "LEVEL?";
}

extern "C" const char* LogSysJournalPrefix(int level) {
    if (!sJournal.load(std::memory_order_relaxed)) {
        return "";
    }
    return level >= LEVEL_DEBUG && level <= LEVEL_FATAL ? kLevels[level - LEVEL_DEBUG].priority
                                                        : "<6>";
}
