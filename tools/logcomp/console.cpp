// One lock serializes every line of the tool's threads (main, signal, the library's loop and
// worker through the log hook and the progress hook), so a progress line never cuts another
// line.
#include "tools/logcomp/console.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace logcomp {
namespace {

std::mutex gMu;

std::string Format(const char* fmt, va_list args) {
    char buf[2048];
    // Every caller has called va_start; the analyzer cannot follow the list across calls.
    const int n = std::vsnprintf(buf, sizeof buf, fmt, args);  // NOLINT(clang-analyzer-valist.*)
    return std::string(buf, n < 0 ? 0 : (static_cast<size_t>(n) < sizeof buf ? n : sizeof buf - 1));
}

void WriteFd(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a closed stream: nothing left to tell
        p += n;
        left -= static_cast<size_t>(n);
    }
}

std::string WithNewline(std::string text) {
    if (text.empty() || text.back() != '\n') text.push_back('\n');
    return text;
}

}  // namespace

Console& Console::Get() {
    static Console* console = new Console();  // never destroyed: threads may write to the end
    return *console;
}

Console::Console() : stderrIsTty_(isatty(STDERR_FILENO) == 1) {}

void Console::SetQuiet(bool quiet) {
    quiet_ = quiet;
}

void Console::ClearLocked() {
    if (!progress_.empty()) WriteFd(STDERR_FILENO, "\r\033[K");
}

void Console::RedrawLocked() {
    if (!progress_.empty()) WriteFd(STDERR_FILENO, "\r" + progress_ + "\033[K");
}

void Console::WriteErr(const std::string& text) {
    std::lock_guard<std::mutex> lock(gMu);
    ClearLocked();
    WriteFd(STDERR_FILENO, WithNewline(text));
    RedrawLocked();
}

void Console::Result(const char* fmt, ...) {
    if (quiet_) return;
    va_list args;
    va_start(args, fmt);
    const std::string text = WithNewline(Format(fmt, args));
    va_end(args);
    std::lock_guard<std::mutex> lock(gMu);
    ClearLocked();
    WriteFd(STDOUT_FILENO, text);
    RedrawLocked();
}

void Console::Note(const char* fmt, ...) {
    if (quiet_) return;
    va_list args;
    va_start(args, fmt);
    const std::string text = Format(fmt, args);
    va_end(args);
    WriteErr(text);
}

void Console::Error(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const std::string text = "logcomp: " + Format(fmt, args);
    va_end(args);
    WriteErr(text);
}

void Console::Line(const std::string& line) {
    WriteErr(line);
}

void Console::Progress(const std::string& text) {
    std::lock_guard<std::mutex> lock(gMu);
    if (quiet_) return;
    if (!stderrIsTty_) {
        WriteFd(STDERR_FILENO, WithNewline(text));
        return;
    }
    progress_ = text;
    RedrawLocked();
}

void Console::EndProgress() {
    std::lock_guard<std::mutex> lock(gMu);
    ClearLocked();
    progress_.clear();
}

}  // namespace logcomp
