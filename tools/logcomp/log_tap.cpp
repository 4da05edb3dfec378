// The sink writes nowhere while the tap runs: the console shows the messages, so that a
// progress line drawn in place is cleared and redrawn around them.
#include "tools/logcomp/log_tap.h"

#include <algorithm>
#include <atomic>

#include "logsys/log_sys.h"
#include "logsys/log_sys_host.h"
#include "tools/logcomp/console.h"

namespace logcomp {
namespace {

std::atomic<LogTap*> gTap{nullptr};  // the hook is a plain function

const char* LevelName(int level) {
    static constexpr const char* kNames[] = {"DEBUG", "INFO", "NOTICE", "WARN", "ERROR", "FATAL"};
    return level >= LEVEL_DEBUG && level <= LEVEL_FATAL ? kNames[level - LEVEL_DEBUG] : "LEVEL?";
}

}  // namespace

void LogTap::Start(int showLevel, Observer observer) {
    showLevel_ = showLevel;
    observer_ = std::move(observer);
    started_ = true;
    gTap = this;
    LogSysSetMinLevel(std::min(showLevel, static_cast<int>(LEVEL_INFO)));
    LogSysSetStderr(false);
    LogSysSetLineHook(&LogTap::Hook);
}

void LogTap::Stop() {
    if (!started_) return;
    LogSysSetLineHook(nullptr);
    LogSysSetStderr(true);
    LogSysSetMinLevel(showLevel_);
    gTap = nullptr;
    started_ = false;
}

void LogTap::Hook(int level, const char* func, const char* text) {
    LogTap* tap = gTap.load();
    if (tap == nullptr) return;
    if (level >= tap->showLevel_) {
        std::string line = std::string(LevelName(level)) + " " + func + ": " + text;
        std::replace_if(
            line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
        Console::Get().Line(line);
    }
    if (tap->observer_) tap->observer_(level, text);
}

}  // namespace logcomp
