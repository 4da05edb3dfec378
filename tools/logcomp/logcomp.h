// logcomp: a command-line host for liblogcompress.so. main.cpp reads the command line;
// request.cpp (package, compress) and run.cpp (run) drive the library on the host runtime of
// host.cpp and tell what happened through the console of console.cpp.
#pragma once

#include <string>
#include <vector>

#include "logsys/log_sys.h"

namespace logcomp {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

enum class Command { kHelp, kVersion, kPackage, kCompress, kRun };

// The command line, every value checked before the library starts.
struct Options {
    Command command = Command::kHelp;
    // package, compress
    std::string from, to;            // as given: any format the library accepts
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
    int logLevel = LEVEL_WARN;
};

// The log directory compiled into the library this program links.
inline const char* LogDir() {
    return LOGCOMP_TOOL_LOG_DIR;
}

class Console;

// Each returns the process's exit status.
int RunRequest(const Options& opts, Console& console);  // package, compress
int RunDaemon(const Options& opts, Console& console);   // run

}  // namespace logcomp
