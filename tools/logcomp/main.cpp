// logcomp: a command-line host for liblogcompress.so. The host services the library needs are
// linked into this program and exported from it, as in the station's application. Every value
// on the command line is checked here, so that a wrong one never reaches the library; dates go
// through the library's own parser, so the tool accepts what a request accepts, and RFC 3339
// timestamps besides, handed over as their UTC day.
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "device/devStatus_host.h"
#include "logCompress/DateParse.h"
#include "logCompress/LogCompTrigger.h"
#include "logCompress/LogManager.h"
#include "tools/logcomp/logcomp.h"

namespace logcomp {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxIdLen = sizeof(LOG_COMP_TRIGGER_REQ::strTaskId) - 1;
constexpr size_t kMaxOutputLen = sizeof(LOG_COMP_TRIGGER_REQ::outputPath) - 1;
constexpr size_t kMaxGuardDirLen = sizeof(LOG_MANAGER_CONFIG::logDir) - 1;
constexpr size_t kMaxMountLen = PATH_MAX - 1;
constexpr char kTarGz[] = ".tar.gz";
constexpr char kFormats[] =
    "YYYY-MM-DD, YYYY/MM/DD, YYYYMMDD, YYYY年MM月DD日, DD-MM-YYYY, DD/MM/YYYY or MM/DD/YYYY";

// The options by the commands that take them (see Takes).
// clang-format off
enum Opt {
    kOutput = 1,                                                    // package
    kFrom, kTo, kId,                                                // package, compress
    kTriggerTime, kGuardDir, kThreshold, kCardMount, kGuardPeriod,  // run
    kLogLevel, kQuiet, kJson, kHelp = 'h',                          // every command
};
// clang-format on

const option kOptions[] = {
    {"from", required_argument, nullptr, kFrom},
    {"to", required_argument, nullptr, kTo},
    {"output", required_argument, nullptr, kOutput},
    {"id", required_argument, nullptr, kId},
    {"trigger-time", required_argument, nullptr, kTriggerTime},
    {"guard-dir", required_argument, nullptr, kGuardDir},
    {"threshold", required_argument, nullptr, kThreshold},
    {"card-mount", required_argument, nullptr, kCardMount},
    {"guard-period-ms", required_argument, nullptr, kGuardPeriod},
    {"log-level", required_argument, nullptr, kLogLevel},
    {"quiet", no_argument, nullptr, kQuiet},
    {"json", no_argument, nullptr, kJson},
    {"help", no_argument, nullptr, kHelp},
    {nullptr, 0, nullptr, 0},
};

bool Fail(std::string* error, std::string message) {
    *error = std::move(message);
    return false;
}

bool Takes(Command command, int opt) {
    if (opt == kOutput) return command == Command::kPackage;
    if (opt <= kId) return command != Command::kRun;
    return opt > kGuardPeriod || command == Command::kRun;
}

// The word getopt looked at, without an inline value: what the messages name.
std::string Word(const char* arg) {
    const std::string word = arg;
    return word.compare(0, 2, "--") == 0 ? word.substr(0, word.find('=')) : word;
}

// getopt_long also takes a short "-hx" and an abbreviation such as "--thr": neither is ours.
bool NamesInFull(const std::string& word, int opt) {
    if (word == "-h") return opt == kHelp;
    for (const option& o : kOptions) {
        if (o.name != nullptr && o.val == opt) return word == std::string("--") + o.name;
    }
    return false;
}

bool ParseLong(const std::string& text, long lo, long hi, long* out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// "HH:MM:SS" or "HH:MM", 00:00:00 to 23:59:59.
bool ParseTimeOfDay(const std::string& text, Options* o, std::string* error) {
    int h = -1, m = -1, s = 0, used = 0;
    const int n = std::sscanf(text.c_str(), "%2d:%2d%n:%2d%n", &h, &m, &used, &s, &used);
    const bool ok = (n == 2 || n == 3) && static_cast<size_t>(used) == text.size() && h >= 0 &&
                    h <= 23 && m >= 0 && m <= 59 && s >= 0 && s <= 59;
    if (!ok) {
        return Fail(error,
                    "bad --trigger-time '" + text + "': HH:MM:SS (UTC), 00:00:00 to 23:59:59");
    }
    o->hour = h;
    o->minute = m;
    o->second = s;
    return true;
}

bool SetLevel(const std::string& v, Options* o, std::string* error) {
    static const struct {
        const char* name;
        int level;
    } kLevels[] = {
        {"debug", LEVEL_DEBUG}, {"info", LEVEL_INFO}, {"warn", LEVEL_WARN}, {"error", LEVEL_ERROR}};
    for (const auto& l : kLevels) {
        if (v != l.name) continue;
        o->logLevel = l.level;
        return true;
    }
    return Fail(error, "bad --log-level '" + v + "': use debug, info, warn or error");
}

// The library keeps 127 bytes of an id and writes it into its log lines as it is.
bool SetId(const std::string& v, Options* o, std::string* error) {
    const bool control = std::any_of(v.begin(), v.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
    if (v.empty() || v.size() > kMaxIdLen || control) {
        return Fail(
            error, "bad --id: 1 to " + std::to_string(kMaxIdLen) + " bytes, no control characters");
    }
    o->id = v;
    return true;
}

bool Apply(int opt, const std::string& v, Options* o, std::string* error) {
    long n = 0;
    if (opt == kId) return SetId(v, o, error);
    if (opt == kTriggerTime) return ParseTimeOfDay(v, o, error);
    if (opt == kLogLevel) return SetLevel(v, o, error);
    if (opt == kThreshold && !ParseLong(v, 1, 100, &n)) {
        return Fail(error, "bad --threshold '" + v + "': a percentage from 1 to 100");
    }
    if (opt == kGuardPeriod && !ParseLong(v, 1, 86400000, &n)) {
        return Fail(error, "bad --guard-period-ms '" + v + "': milliseconds from 1 to 86400000");
    }
    if (opt == kThreshold) o->threshold = static_cast<int>(n);
    if (opt == kGuardPeriod) o->guardPeriodMs = n;
    if (opt == kFrom) o->from = v;
    if (opt == kTo) o->to = v;
    if (opt == kOutput) o->output = v;
    if (opt == kGuardDir) o->guardDir = v;
    if (opt == kCardMount) o->cardMount = v;
    if (opt == kQuiet) o->quiet = true;
    if (opt == kJson) o->json = true;
    return true;
}

// The options after the command word, in order; a "--help" among them ends the parsing.
bool ParseOptions(int argc, char** argv, Options* o, std::string* error) {
    opterr = 0;  // the messages are the tool's own
    optind = 2;
    for (;;) {
        const int at = optind;
        const int c = getopt_long(argc, argv, "+:h", kOptions, nullptr);
        if (c == -1) {
            return at == argc || Fail(error, "unknown option '" + Word(argv[at]) + "'");
        }
        const int opt = c == '?' || c == ':' ? optopt : c;
        const std::string word = Word(argv[at]);
        if (!NamesInFull(word, opt)) return Fail(error, "unknown option '" + word + "'");
        if (opt == kHelp) {
            o->command = Command::kHelp;
            return true;
        }
        if (!Takes(o->command, opt)) return Fail(error, word + " does not apply to this command");
        if (c == ':') return Fail(error, word + " needs a value");
        if (c == '?') return Fail(error, word + " takes no value");
        if (!Apply(opt, optarg != nullptr ? optarg : "", o, error)) return false;
    }
}

bool CheckDates(Options* o, std::string* error) {
    for (std::string* d : {&o->from, &o->to}) {
        struct tm tm {};
        std::string day;
        if (TimestampDay(*d, &day)) *d = day;
        if (!ParseDateEx(d->c_str(), &tm, nullptr)) {
            return Fail(error, "bad date '" + *d + "': use " + kFormats +
                                   ", or an RFC 3339 timestamp (2026-12-05T23:30:00-02:00)");
        }
    }
    DateList* list = GenerateDateRange(o->from.c_str(), o->to.c_str(), 0);
    if (list == nullptr) {
        return Fail(error,
                    "bad date range '" + o->from + "' to '" + o->to + "': years 1900 to 2099 only");
    }
    o->dates.assign(list->dates, list->dates + list->count);
    FreeDateList(list);
    return true;
}

// Ends in ".tar.gz", made absolute against the working directory, in an existing directory.
bool CheckOutputPath(std::string* path, std::string* error) {
    const std::string base = fs::path(*path).filename();
    const size_t len = sizeof kTarGz - 1;
    if (base.size() <= len || base.compare(base.size() - len, len, kTarGz) != 0) {
        return Fail(error, "bad --output '" + *path + "': a file name ending in .tar.gz");
    }
    std::error_code ec;
    const std::string abs = fs::absolute(*path, ec);
    if (abs.size() > kMaxOutputLen) {
        return Fail(error, "--output path too long: at most " + std::to_string(kMaxOutputLen) +
                               " characters");
    }
    const std::string dir = fs::path(abs).parent_path();
    if (!fs::is_directory(dir, ec)) {
        return Fail(error, "bad --output: directory " + dir + " does not exist");
    }
    *path = abs;
    return true;
}

// An existing directory, made absolute, at most maxLen characters.
bool CheckDirectory(const char* what, std::string* path, size_t maxLen, std::string* error) {
    std::error_code ec;
    const std::string abs = fs::absolute(*path, ec);
    if (!fs::is_directory(abs, ec)) {
        return Fail(error,
                    std::string("bad ") + what + ": " + abs + " is not an existing directory");
    }
    if (abs.size() > maxLen) {
        return Fail(error, std::string(what) + " path too long: at most " + std::to_string(maxLen) +
                               " characters");
    }
    *path = abs;
    return true;
}

bool CheckRequest(Options* o, std::string* error) {
    if (o->from.empty()) return Fail(error, "--from DATE is required");
    if (o->to.empty()) o->to = o->from;
    if (!CheckDates(o, error)) return false;
    if (o->id.empty()) o->id = "logcomp-" + std::to_string(getpid());
    if (o->command == Command::kCompress) return true;
    if (o->output.empty()) return Fail(error, "--output PATH.tar.gz is required");
    return CheckOutputPath(&o->output, error);
}

bool CheckRun(Options* o, std::string* error) {
    const bool given = !o->guardDir.empty();
    if (!given) o->guardDir = LogDir();
    if (!CheckDirectory(given ? "--guard-dir" : "log directory", &o->guardDir, kMaxGuardDirLen,
                        error)) {
        if (!given) *error += " (the storage guard watches it unless --guard-dir names another)";
        return false;
    }
    return o->cardMount.empty() ||
           CheckDirectory("--card-mount", &o->cardMount, kMaxMountLen, error);
}

bool ParseCommand(const std::string& word, Command* command) {
    static const struct {
        const char* word;
        Command command;
    } kCommands[] = {{"package", Command::kPackage},  {"compress", Command::kCompress},
                     {"run", Command::kRun},          {"--help", Command::kHelp},
                     {"-h", Command::kHelp},          {"help", Command::kHelp},
                     {"--version", Command::kVersion}};
    for (const auto& c : kCommands) {
        if (word != c.word) continue;
        *command = c.command;
        return true;
    }
    return false;
}

bool ParseArgs(int argc, char** argv, Options* o, std::string* error) {
    if (argc < 2) return Fail(error, "no command given");
    if (!ParseCommand(argv[1], &o->command)) {
        return Fail(error, "unknown command '" + std::string(argv[1]) +
                               "' (package, compress, run, --help, --version)");
    }
    if (o->command == Command::kHelp || o->command == Command::kVersion) return true;
    if (!ParseOptions(argc, argv, o, error)) return false;
    if (o->command == Command::kHelp) return true;
    return o->command == Command::kRun ? CheckRun(o, error) : CheckRequest(o, error);
}

// In the shape help2man reads: usage lines, sections ending in ':', options indented.
void PrintUsage() {
    std::printf(
        "Usage: logcomp package --from DATE [--to DATE] --output PATH.tar.gz [OPTION]...\n"
        "  or:  logcomp compress --from DATE [--to DATE] [OPTION]...\n"
        "  or:  logcomp run [OPTION]...\n"
        "Packs or compresses a charging station's logs on request, or runs the daily\n"
        "compression and the storage guard as the station's daemon: a host for\n"
        "liblogcompress.so, linked the way the station's application links it.\n"
        "\n"
        "Commands:\n"
        "  package   pack the log files of the dates into one tar archive, compress it to\n"
        "            PATH.tar.gz and remove the packed files of past days (today's stay)\n"
        "  compress  compress each log file of the dates to FILE.gz; past days' originals\n"
        "            go. Both wait for the library's answer and print it.\n"
        "  run       the daily trigger compresses yesterday's logs from the trigger time\n"
        "            on, and the storage guard deletes the oldest entry of the guarded\n"
        "            directory while its file system is at or above the threshold\n"
        "\n"
        "Options of package and compress:\n"
        "  --from DATE           the first day (required)\n"
        "  --to DATE             the last day (default: the first)\n"
        "  --output PATH.tar.gz  package: the archive, made absolute against the working\n"
        "                        directory; its directory must exist, and neither PATH\n"
        "                        nor PATH without .gz may exist yet\n"
        "  --id ID               the request's task id, 1 to %zu bytes without control\n"
        "                        characters (default logcomp-<pid>)\n"
        "\n"
        "Options of run:\n"
        "  --trigger-time HH:MM:SS  the daily run's time of day, UTC (default 02:00:00)\n"
        "  --guard-dir DIR          the guarded directory (default: the log directory)\n"
        "  --threshold PCT          the guard's limit, percent (default 70)\n"
        "  --card-mount PATH        the data card's mount point (default %s):\n"
        "                           the guard checks only while it is a mounted,\n"
        "                           writable file system\n"
        "  --guard-period-ms MS     shortens the guard's %g s period for a demonstration;\n"
        "                           the daily tick (%g min) is scaled alike\n"
        "\n"
        "Options of every command:\n"
        "  --json                 results as JSON on stdout, quiet or not: one object for\n"
        "                         package and compress, one line per event for run\n"
        "  --log-level LEVEL      the library's log lines on stderr from LEVEL on: debug,\n"
        "                         info, warn (default) or error\n"
        "  --quiet                no progress, notes or text results: errors only\n"
        "  -h, --help             show this help and exit\n"
        "  --version              show the version and the log directory, and exit\n"
        "\n"
        "DATE is a UTC day: YYYY-MM-DD, YYYY/MM/DD, YYYYMMDD, YYYY年MM月DD日, DD-MM-YYYY,\n"
        "DD/MM/YYYY or MM/DD/YYYY; or an RFC 3339 timestamp, taken as its UTC day\n"
        "(2026-12-05T23:30:00-02:00 is 2026-12-06).\n"
        "\n"
        "SIGINT, SIGTERM, SIGHUP or SIGQUIT stops a request: the packed files are put\n"
        "back. It stops run once every task handed to the executor is answered.\n"
        "\n"
        "The log directory compiled into the library is %s.\n"
        "One logcomp works on it at a time: every command holds the lock\n"
        "%s (flock) while it runs.\n"
        "\n"
        "Exit status:\n"
        "  0       success\n"
        "  1       failure: a refused or failed request, no log file of the dates\n"
        "  2       bad command line, an existing output too\n"
        "  3       another logcomp holds the lock of the log directory\n"
        "  128+N   package or compress stopped by signal N (130 for SIGINT)\n",
        kMaxIdLen, DEV_DEFAULT_SD_MOUNT_POINT, LOG_MANAGER_CHECK_MS / 1000.0,
        LOG_COMP_TRIGGER_TICK_MS / 60000.0, LogDir(), LockPath().c_str());
}

int Main(int argc, char** argv) {
    BlockStopSignals();  // before any thread: all of them inherit the mask
    Options opts;
    std::string error;
    if (!ParseArgs(argc, argv, &opts, &error)) {
        std::fprintf(stderr, "logcomp: %s\nTry 'logcomp --help'.\n", error.c_str());
        return kExitUsage;
    }
    if (opts.command == Command::kHelp) PrintUsage();
    if (opts.command == Command::kVersion) {
        std::printf("logcomp %s\nlog directory %s\n", LOGCOMP_TOOL_VERSION, LogDir());
    }
    if (opts.command == Command::kHelp || opts.command == Command::kVersion) return kExitOk;
    Console console(opts.quiet, opts.json);
    const int locked = LockLogDir(console);
    if (locked != kExitOk) return locked;
    return opts.command == Command::kRun ? RunDaemon(opts, console) : RunRequest(opts, console);
}

}  // namespace
}  // namespace logcomp

int main(int argc, char** argv) {
    return logcomp::Main(argc, argv);
}
