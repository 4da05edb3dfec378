// --help and --version texts.
#include <cstdio>

#include "tools/logcomp/args.h"

namespace logcomp {

void PrintUsage() {
    std::printf(
        "usage: logcomp package --from DATE [--to DATE] --output PATH.tar.gz [--id ID]\n"
        "       logcomp compress --from DATE [--to DATE] [--id ID]\n"
        "       logcomp run [--trigger-time HH:MM:SS] [--guard-dir DIR] [--threshold PCT]\n"
        "                   [--card-mount PATH] [--guard-period-ms MS]\n"
        "       logcomp --help | --version\n"
        "\n"
        "A host for liblogcompress.so, linked the way the station's application links it.\n"
        "Log directory compiled into the library: %s\n"
        "\n"
        "package   Packs the log files of the dates into one tar archive, compresses it to\n"
        "          PATH.tar.gz and removes the packed files of past days (today's stay).\n"
        "compress  Compresses each log file of the dates to FILE.gz; past days' originals go.\n"
        "          Both wait for the library's answer and print it. SIGINT, SIGTERM, SIGHUP or\n"
        "          SIGQUIT stops the request: the packed files are put back, and the exit\n"
        "          status is 128 + the signal's number (130 for SIGINT).\n"
        "run       The station's daemon: the daily trigger compresses yesterday's logs from\n"
        "          the trigger time (UTC, default 02:00:00) on, and the storage guard deletes\n"
        "          the oldest entry of the guarded directory (default: the log directory)\n"
        "          while its file system is at or above the threshold (default 70%%).\n"
        "          --card-mount names the data card's mount point (default /media/data): the\n"
        "          guard checks only while it is a mounted, writable file system.\n"
        "          --guard-period-ms shortens the guard's 10 s period for a demonstration;\n"
        "          the daily tick (10 min) is scaled alike. Stops on SIGINT, SIGTERM, SIGHUP\n"
        "          or SIGQUIT, with status 0 once every task handed over is answered.\n"
        "\n"
        "DATE      YYYY-MM-DD, YYYY/MM/DD, YYYYMMDD, YYYY年MM月DD日, DD-MM-YYYY, DD/MM/YYYY or\n"
        "          MM/DD/YYYY (UTC days; --to defaults to --from).\n"
        "ID        The request's task id, 1 to 127 bytes without control characters\n"
        "          (default logcomp-<pid>).\n"
        "PATH      Made absolute against the working directory; its directory must exist,\n"
        "          and neither PATH nor PATH without .gz may exist yet.\n"
        "\n"
        "Options of every command:\n"
        "  --log-level debug|info|warn|error   the library's log lines on stderr (default "
        "warn)\n"
        "  --quiet                             no progress, notes or results: errors only\n"
        "\n"
        "Exit status: 0 success, 1 failure, 2 bad command line, 128 + the signal's number\n"
        "when package or compress was stopped by a signal.\n",
        LogDir());
}

void PrintVersion() {
    std::printf("logcomp %s\nlog directory %s\n", LOGCOMP_TOOL_VERSION, LogDir());
}

}  // namespace logcomp
