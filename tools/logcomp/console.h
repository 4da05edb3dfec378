// The tool's output. Results go to stdout; notes, progress, errors and the library's log lines
// go to stderr. On a terminal the progress is one line updated in place, which other lines
// clear and redraw around; elsewhere it is a plain line now and then. Safe from any thread.
#pragma once

#include <atomic>
#include <string>

namespace logcomp {

class Console {
  public:
    static Console& Get();

    void SetQuiet(bool quiet);
    bool Quiet() const { return quiet_; }
    bool ProgressInPlace() const { return stderrIsTty_; }

    // A result line on stdout (not in quiet mode).
    void Result(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // A note on stderr (not in quiet mode).
    void Note(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // An error on stderr, prefixed "logcomp: ", always shown.
    void Error(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // A whole line on stderr as it is (a library log line, with its newline or without).
    void Line(const std::string& line);
    // Shows the progress text (not in quiet mode): in place on a terminal, else as a line.
    void Progress(const std::string& text);
    // Clears a progress line shown in place.
    void EndProgress();

  private:
    Console();
    void WriteErr(const std::string& text);
    void ClearLocked();
    void RedrawLocked();

    std::atomic<bool> quiet_{false};
    bool stderrIsTty_ = false;
    std::string progress_;  // shown in place; empty when none
};

}  // namespace logcomp
