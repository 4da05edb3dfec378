// The sink writes each line whole with one write(); the pipe keeps their order. The sink opens
// the pipe's write end itself (through /proc/self/fd), so closing its file ends the reader.
#include "tools/logcomp/log_tap.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "logsys/log_sys.h"
#include "logsys/log_sys_host.h"
#include "tools/logcomp/console.h"

namespace logcomp {
namespace {

// "2024-05-01T12:34:56.789Z LEVEL [CLASS] function:line: text"
int LevelOf(const std::string& line) {
    static const struct {
        const char* name;
        int level;
    } kLevels[] = {{" DEBUG ", LEVEL_DEBUG}, {" INFO ", LEVEL_INFO},   {" NOTICE ", LEVEL_NOTICE},
                   {" WARN ", LEVEL_WARN},   {" ERROR ", LEVEL_ERROR}, {" FATAL ", LEVEL_FATAL}};
    const size_t space = line.find(' ');
    for (const auto& l : kLevels) {
        if (space != std::string::npos && line.compare(space, strlen(l.name), l.name) == 0) {
            return l.level;
        }
    }
    return LEVEL_ERROR;  // not the sink's format: show it rather than lose it
}

std::string TextOf(const std::string& line) {
    const size_t cls = line.find("] ");
    const size_t sep = cls == std::string::npos ? std::string::npos : line.find(": ", cls);
    return sep == std::string::npos ? line : line.substr(sep + 2);
}

}  // namespace

bool LogTap::Start(int showLevel, Observer observer, std::string* error) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *error = std::string("cannot create a pipe for the log: ") + strerror(errno);
        return false;
    }
    showLevel_ = showLevel;
    observer_ = std::move(observer);
    LogSysSetMinLevel(std::min(showLevel, static_cast<int>(LEVEL_INFO)));
    const std::string path = "/proc/self/fd/" + std::to_string(fds[1]);
    const bool opened = LogSysSetFile(path.c_str()) == 0;
    close(fds[1]);
    if (!opened) {
        close(fds[0]);
        LogSysSetMinLevel(showLevel);
        *error = "cannot route the library's log through " + path;
        return false;
    }
    LogSysSetStderr(false);
    readFd_ = fds[0];
    reader_ = std::thread(&LogTap::ReadLoop, this);
    return true;
}

void LogTap::Stop() {
    if (readFd_ < 0) return;
    LogSysSetMinLevel(showLevel_);
    LogSysSetFile(nullptr);  // closes the write end, stderr on again
    reader_.join();
    close(readFd_);
    readFd_ = -1;
}

void LogTap::ReadLoop() {
    std::string pending;
    char buf[8192];
    for (;;) {
        const ssize_t n = read(readFd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(buf, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
            Handle(pending.substr(start, nl - start));
        }
        pending.erase(0, start);
    }
    if (!pending.empty()) Handle(pending);
}

void LogTap::Handle(const std::string& line) {
    const int level = LevelOf(line);
    if (level >= showLevel_) Console::Get().Line(line);
    if (observer_) observer_(level, TextOf(line));
}

}  // namespace logcomp
