// logcomp: a command-line host for liblogcompress.so. The host services the library needs
// are linked into this program and exported from it, as in the station's application.
#include <cstdio>
#include <string>

#include "tools/logcomp/args.h"
#include "tools/logcomp/commands.h"
#include "tools/logcomp/console.h"
#include "tools/logcomp/report.h"
#include "tools/logcomp/signals.h"

int main(int argc, char** argv) {
    logcomp::BlockStopSignals();  // before any thread: all of them inherit the mask
    logcomp::Options opts;
    std::string error;
    if (!logcomp::ParseArgs(argc, argv, &opts, &error)) {
        std::fprintf(stderr, "logcomp: %s\nTry 'logcomp --help'.\n", error.c_str());
        return logcomp::kExitUsage;
    }
    logcomp::Console::Get().SetQuiet(opts.quiet);
    switch (opts.command) {
        case logcomp::Command::kHelp:
            logcomp::PrintUsage();
            return logcomp::kExitOk;
        case logcomp::Command::kVersion:
            logcomp::PrintVersion();
            return logcomp::kExitOk;
        case logcomp::Command::kRun:
            return logcomp::RunDaemon(opts);
        default:
            return logcomp::RunRequest(opts);
    }
}
