// The tool's commands; each returns the process's exit status.
#pragma once

#include "tools/logcomp/args.h"

namespace logcomp {

// package and compress: one request, posted and waited for.
int RunRequest(const Options& opts);
// run: the daily trigger and the storage guard until a stop signal; 0 once all is answered.
int RunDaemon(const Options& opts);

}  // namespace logcomp
