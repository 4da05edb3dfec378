// Command line of logcomp: what to do, and everything checked before the library is started.
#pragma once

#include <string>
#include <vector>

namespace logcomp {

enum class Command { kHelp, kVersion, kPackage, kCompress, kRun };

struct Options {
    Command command = Command::kHelp;
    // package, compress
    std::string from, to;            // as given: any format the library accepts
    std::vector<std::string> dates;  // the range, "%Y-%m-%d", ascending
    std::string output;              // package: absolute path ending in ".tar.gz"
    std::string id;                  // requester's task id
    // run
    int hour = 2, minute = 0, second = 0;  // daily trigger time, UTC
    std::string guardDir;                  // empty: the log directory
    int threshold = 70;                    // percent
    std::string cardMount;                 // empty: the device's own
    long guardPeriodMs = 0;                // 0: the library's own period
    // all
    bool quiet = false;
    int logLevel = 0;  // ZLOG_LEVEL; set by ParseArgs
};

// Fills opts from the command line. False with a message for the user when the command line
// is wrong: an unknown command or option, a missing or bad value, a bad date or path.
bool ParseArgs(int argc, char** argv, Options* opts, std::string* error);

// The log directory compiled into the library this program links.
const char* LogDir();

void PrintUsage();
void PrintVersion();

}  // namespace logcomp
