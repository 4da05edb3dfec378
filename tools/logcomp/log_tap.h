// The library's log messages, taken from the host sink's line hook on the thread that logs
// them: shown on stderr from the chosen level on, and handed to an observer. The library
// reports some outcomes only in its log (a request refused on the loop after it was posted,
// the daily run, the storage guard's deletions); the commands learn of them here.
#pragma once

#include <functional>
#include <string>

namespace logcomp {

class LogTap {
  public:
    // level: the message's ZLOG_LEVEL; text: the message as the library formatted it.
    using Observer = std::function<void(int level, const std::string& text)>;

    LogTap() = default;
    LogTap(const LogTap&) = delete;
    LogTap& operator=(const LogTap&) = delete;
    ~LogTap() { Stop(); }

    // Messages from showLevel on go to stderr; the observer sees every message from
    // LEVEL_INFO on. One tap at a time.
    void Start(int showLevel, Observer observer);
    // Sends the sink back to stderr at showLevel. Only once every thread that logs through
    // the library has ended: the hook may run until then.
    void Stop();

  private:
    static void Hook(int level, const char* func, const char* text);

    int showLevel_ = 0;
    Observer observer_;
    bool started_ = false;
};

}  // namespace logcomp
