// logcomp: a command-line host for liblogcompress.so. main.cpp reads the command line (dates
// with timestamp.cpp) and takes the lock of lock.cpp; request.cpp (package, compress) and
// run.cpp (run) drive the library on the host of host.cpp and tell what happened on the
// console of console.cpp, as text or as JSON (json.cpp); archive.cpp reads a package's archive.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <thread>
#include <vector>

#include "event/ev_loop.h"
#include "logsys/log_sys.h"

namespace logcomp {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitLocked = 3;  // another logcomp works on the log directory

enum class Command { kHelp, kVersion, kPackage, kCompress, kRun };

// The command line, every value checked before the library starts.
struct Options {
    Command command = Command::kHelp;
    // package, compress
    std::string from, to;            // any format the library accepts (a timestamp: its day)
    std::vector<std::string> dates;  // the range, "%Y-%m-%d", ascending
    std::string output;              // package: absolute path ending in ".tar.gz"
    std::string id;                  // the request's task id
    // run
    int hour = 2, minute = 0, second = 0;  // daily trigger time, UTC
    std::string guardDir;                  // absolute; the log directory unless given
    int threshold = 70;                    // percent
    std::string cardMount;                 // empty: the device's default
    long guardPeriodMs = 0;                // 0: the library's own period
    // every command
    bool quiet = false;
    bool json = false;
    int logLevel = LEVEL_WARN;
};

// The log directory compiled into the library this program links.
inline const char* LogDir() {
    return LOGCOMP_TOOL_LOG_DIR;
}

// The tool's output, safe from any thread. Results go to stdout, as text or, with --json, as
// JSON; notes, progress, errors and the library's log lines to stderr. On a terminal the
// progress is one line redrawn in place, cleared and redrawn around every other line;
// elsewhere it is a plain line now and then.
class Console {
  public:
    Console(bool quiet, bool json);
    void Result(const char* fmt, ...) __attribute__((format(printf, 2, 3)));  // text, not quiet
    void Json(const nlohmann::ordered_json& object);  // with --json, quiet or not: one line
    void Note(const char* fmt, ...) __attribute__((format(printf, 2, 3)));   // not when quiet
    void Error(const char* fmt, ...) __attribute__((format(printf, 2, 3)));  // "logcomp: ..."
    void Line(int level, const std::string& line);  // a library log line of a ZLOG_LEVEL
    void Progress(const std::string& text);         // not when quiet
    void EndProgress();
    bool ProgressInPlace() const { return inPlace_; }

  private:
    void Write(int fd, std::string text, int level = LEVEL_INFO);  // level: for the journal

    std::mutex mu_;
    const bool quiet_;
    const bool json_;
    const bool inPlace_;    // stderr is a terminal
    std::string progress_;  // shown in place; empty when none
};

// "812 B", "3.4 KiB", "12.5 MiB", "1.2 GiB".
std::string SizeText(uint64_t bytes);

// What a package or compress request came to: filled once the library is shut down, then
// printed.
struct RequestRecord {
    std::string id;
    bool package = false;
    std::string first, last;  // the range's days
    int signal = 0;           // the first stop signal, 0 when none
    // Dropped by the library without an answer: the error lines it logged since the post.
    bool dropped = false;
    std::vector<std::string> reasons;
    size_t logFiles = 0;  // of the range, found before the post
    // The answer.
    int result = -1;  // LOG_COMP_TRIGGER_RESULT_*
    std::string message;
    // package: the archive made, or the packed files found back in the log directory.
    std::string archive;
    int64_t archiveBytes = -1;  // -1: missing
    long members = -1;          // as tar -tzf lists them; -1: unreadable
    size_t restored = 0;
    std::string tarLeft;  // the package's ".tar", when it is still there
    // compress: each log file, and the size of its ".gz" (-1: none).
    struct Compressed {
        std::string name;
        uint64_t bytes;
        int64_t gzBytes;
    };
    std::vector<Compressed> compressed;
};

const char* ResultName(int result);  // LOG_COMP_TRIGGER_RESULT_*: "success"
void PrintRecord(Console& out, const RequestRecord& r);
void PrintRecordJson(Console& out, const RequestRecord& r, int exitStatus);

// An RFC 3339 timestamp ("2026-12-05T23:30:00-02:00") as the UTC day it falls on
// ("2026-12-06"); false for any other text.
bool TimestampDay(const std::string& text, std::string* day);

// One logcomp per log directory: the lock is LockPath(), held until the process ends.
// Returns kExitOk, or the exit status once the console has told why not.
std::string LockPath();
int LockLogDir(Console& console);

// The package's archive on disk. The output must not exist, nor its ".tar": packing would
// overwrite them. Checked once the library has resolved what an interrupted package left; the
// error tells what a ".tar" there holds.
bool CheckOutputFree(const std::string& archive, std::string* error);
std::string LeftTar(const std::string& archive);  // the ".tar" when it is there, else ""
long CountMembers(const std::string& archive);    // as tar -tzf lists them; -1: unreadable

// The stop signals: SIGINT, SIGTERM, SIGHUP (a dropped terminal session) and SIGQUIT all stop
// the work like Ctrl-C, so that the library can put a package's files back. Blocked in main
// before any other thread exists, so that every thread inherits the mask.
void BlockStopSignals();
std::string StopSignalName(int signo);  // "SIGINT"

// The station's side of the library for one run of the tool: the event loop on a thread of
// its own, the library's log messages from the sink's line hook, and the stop signals taken
// by one thread with sigwait, so that no work runs in a signal handler.
class Host {
  public:
    // level: the message's ZLOG_LEVEL; text: the message as the library formatted it.
    using Observer = std::function<void(int level, const std::string& text)>;

    // Messages from showLevel on go to the console; the observer sees every one from
    // LEVEL_INFO on. The library reports some outcomes only in its log (a request dropped on
    // the loop, the daily run, the storage guard's deletions).
    Host(Console& console, int showLevel, Observer observer);
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;
    ~Host() { Stop(); }

    bool Start();  // the hook and the loop; false (told on the console) on failure
    struct EvLoop* Loop() const {
        return loop_;
    }
    // onSignal(signo) runs on the signal thread for every stop signal.
    bool StartSignals(std::function<void(int)> onSignal);
    // Returns once every task posted to the loop before the call has run. After the units'
    // uninit, their queued release is then done: the worker is joined, every task answered.
    void Drain();
    // Joins the loop, gives the sink back its stderr, then stops the signal thread.
    void Stop();

  private:
    static void Hook(int level, const char* func, const char* text);
    void TakeSignals();

    Console& console_;
    const int showLevel_;
    const Observer observer_;
    struct EvLoop* loop_ = nullptr;
    std::function<void(int)> onSignal_;
    std::atomic<bool> stopping_{false};
    std::thread signals_;
};

// The commands; each returns the process's exit status.
int RunRequest(const Options& opts, Console& console);  // package, compress
int RunDaemon(const Options& opts, Console& console);   // run

}  // namespace logcomp
