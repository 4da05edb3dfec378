// The host logging sink's lines, read back through a pipe by a thread of the tool: shown on
// stderr from the chosen level on, and handed to an observer. The library reports some
// outcomes only in its log (a request refused on the loop after it was posted, the daily
// run, the storage guard's deletions); the commands learn of them here.
#pragma once

#include <functional>
#include <string>
#include <thread>

namespace logcomp {

class LogTap {
  public:
    // level: the line's ZLOG_LEVEL; text: what follows "function:line: ".
    using Observer = std::function<void(int level, const std::string& text)>;

    LogTap() = default;
    LogTap(const LogTap&) = delete;
    LogTap& operator=(const LogTap&) = delete;
    ~LogTap() { Stop(); }

    // Lines from showLevel on go to stderr; the observer sees every line from LEVEL_INFO on.
    bool Start(int showLevel, Observer observer, std::string* error);
    // Sends the sink back to stderr at showLevel; every line written before has been shown
    // and observed when it returns.
    void Stop();

  private:
    void ReadLoop();
    void Handle(const std::string& line);

    int readFd_ = -1;
    int showLevel_ = 0;
    Observer observer_;
    std::thread reader_;
};

}  // namespace logcomp
