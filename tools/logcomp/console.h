// The tool's output, safe from any thread. Results go to stdout; notes, progress, errors and
// the library's log lines to stderr. On a terminal the progress is one line redrawn in place,
// cleared and redrawn around every other line; elsewhere it is a plain line now and then.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace logcomp {

class Console {
  public:
    explicit Console(bool quiet);

    // A result line on stdout; none when quiet.
    void Result(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // A note on stderr; none when quiet.
    void Note(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // An error on stderr after "logcomp: ", always shown.
    void Error(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // A library log line on stderr as it is.
    void Line(const std::string& line);
    // The progress text; none when quiet.
    void Progress(const std::string& text);
    void EndProgress();
    bool ProgressInPlace() const { return inPlace_; }

  private:
    void Write(int fd, std::string text);

    std::mutex mu_;
    const bool quiet_;
    const bool inPlace_;    // stderr is a terminal
    std::string progress_;  // shown in place; empty when none
};

// "812 B", "3.4 KiB", "12.5 MiB", "1.2 GiB".
std::string SizeText(uint64_t bytes);

// A request's compression as the compressor reports it after every slice (on the worker
// thread): files and bytes done, shown on the console.
class ProgressMeter {
  public:
    explicit ProgressMeter(Console& console) : console_(console) {}
    // filesTotal: files the executor will compress; bytesPlanned: their size when known in
    // advance (0: learnt as the files come).
    void Begin(uint32_t filesTotal, uint64_t bytesPlanned);
    void Slice(const char* file, uint64_t bytesDone, uint64_t bytesTotal, int finished);

  private:
    std::string Text() const;

    Console& console_;
    std::mutex mu_;
    uint32_t filesTotal_ = 0, filesDone_ = 0;
    uint64_t bytesPlanned_ = 0, bytesFinished_ = 0;  // the latter of the files done
    std::string file_;                               // being compressed
    uint64_t fileDone_ = 0, fileTotal_ = 0;
    bool started_ = false;
    std::chrono::steady_clock::time_point shown_{};
};

// What a package or compress request came to: filled once it ended, then printed.
struct RequestRecord {
    std::string id;
    bool package = false;
    std::string first, last;  // the range's days
    int signal = 0;           // the first stop signal, 0 when none
    // Dropped by the library without an answer: the error lines it logged since the post.
    bool dropped = false;
    bool noLogFiles = false;
    std::vector<std::string> reasons;
    // Answered.
    int result = -1;  // LOG_COMP_TRIGGER_RESULT_*
    std::string message;
    // package: the archive made, or the packed files found back in the log directory.
    std::string archive;
    int64_t archiveBytes = -1;  // -1: missing
    long members = -1;          // as tar -tzf lists them; -1: unreadable
    size_t packed = 0, restored = 0;
    std::string tarLeft;  // the package's ".tar", when it is still there
    // compress: each log file and its ".gz".
    struct Compressed {
        std::string name;
        uint64_t bytes;
        int64_t gzBytes;  // -1: not compressed
    };
    std::vector<Compressed> compressed;
};

void PrintRecord(Console& out, const RequestRecord& r);

}  // namespace logcomp
