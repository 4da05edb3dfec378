// The account of a finished request on stdout, and the tool's exit status for it.
#pragma once

#include <vector>

#include "tools/logcomp/args.h"
#include "tools/logcomp/log_files.h"
#include "tools/logcomp/request_watch.h"

namespace logcomp {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// files: the log files found before the post. Prints what became of the request and of
// its files, and returns the exit status: 0 success, 128 + the signal's number when stopped
// by a signal, 1 otherwise.
int ReportOutcome(const Options& opts, const RequestOutcome& outcome,
                  const std::vector<LogFile>& files);

}  // namespace logcomp
