// Capturing log sink: every line is kept with its class, level, function and line.
#include <cstdarg>
#include <cstdio>

#include "fake_internal.h"
#include "tests/fakes/fakes.h"

namespace fakes {
namespace {
std::vector<LogLine> gLines;
bool gEcho = false;

std::string Format(const char* fmt, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int len = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (len <= 0) return {};
    std::string text(static_cast<size_t>(len) + 1, '\0');
    vsnprintf(text.data(), text.size(), fmt, args);
    text.resize(static_cast<size_t>(len));
    return text;
}
}  // namespace

namespace detail {
void ResetLog() {
    std::lock_guard<std::mutex> lock(Mu());
    gLines.clear();
}
}  // namespace detail

void LogClear() {
    detail::ResetLog();
}

void LogEcho(bool on) {
    std::lock_guard<std::mutex> lock(detail::Mu());
    gEcho = on;
}

std::vector<LogLine> LogLines() {
    std::lock_guard<std::mutex> lock(detail::Mu());
    return gLines;
}

int LogCount(const std::string& text) {
    std::lock_guard<std::mutex> lock(detail::Mu());
    int n = 0;
    for (const auto& l : gLines) n += l.text == text;
    return n;
}

int LogCount(int level, const std::string& text) {
    std::lock_guard<std::mutex> lock(detail::Mu());
    int n = 0;
    for (const auto& l : gLines) n += (l.level == level && l.text == text);
    return n;
}

int LogCountContaining(const std::string& fragment) {
    std::lock_guard<std::mutex> lock(detail::Mu());
    int n = 0;
    for (const auto& l : gLines) n += l.text.find(fragment) != std::string::npos;
    return n;
}

std::optional<LogLine> LogFind(const std::string& text) {
    std::lock_guard<std::mutex> lock(detail::Mu());
    for (const auto& l : gLines) {
        if (l.text == text) return l;
    }
    return std::nullopt;
}

bool LogWaitFor(const std::string& text, int count, milliseconds timeout) {
    return WaitUntil([&] { return LogCount(text) >= count; }, timeout);
}

}  // namespace fakes

extern "C" void log_sendByLevelFile(int logClass, ZLOG_LEVEL level, const char* func, int line,
                                    const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string text = fakes::Format(fmt ? fmt : "", args);
    va_end(args);
    std::lock_guard<std::mutex> lock(fakes::detail::Mu());
    if (fakes::gEcho) {
        fprintf(stderr, "[fake-log %d] %s:%d %s\n", static_cast<int>(level), func ? func : "?",
                line, text.c_str());
    }
    fakes::gLines.push_back({logClass, static_cast<int>(level), func ? func : "", line, text});
    fakes::detail::SignalLocked();
}
