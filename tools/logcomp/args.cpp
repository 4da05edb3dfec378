// Command-line parsing: each option knows the commands it belongs to; values are checked
// here so that a wrong command line never reaches the library.
#include "tools/logcomp/args.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "logsys/log_sys.h"
#include "tools/logcomp/checks.h"

namespace logcomp {
namespace {

constexpr unsigned kPackage = 1u << 0;
constexpr unsigned kCompress = 1u << 1;
constexpr unsigned kRun = 1u << 2;
constexpr unsigned kRequests = kPackage | kCompress;
constexpr unsigned kAll = kRequests | kRun;

unsigned Bit(Command c) {
    switch (c) {
        case Command::kPackage:
            return kPackage;
        case Command::kCompress:
            return kCompress;
        case Command::kRun:
            return kRun;
        default:
            return 0;
    }
}

struct Option {
    const char* name;
    unsigned commands;
    bool takesValue;
    std::function<bool(Options*, const std::string&, std::string*)> apply;
};

bool ParseLong(const std::string& text, long lo, long hi, long* out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool SetLevel(Options* o, const std::string& v, std::string* error) {
    static const struct {
        const char* name;
        int level;
    } kLevels[] = {
        {"debug", LEVEL_DEBUG}, {"info", LEVEL_INFO}, {"warn", LEVEL_WARN}, {"error", LEVEL_ERROR}};
    for (const auto& l : kLevels) {
        if (v == l.name) {
            o->logLevel = l.level;
            return true;
        }
    }
    *error = "bad --log-level '" + v + "': use debug, info, warn or error";
    return false;
}

bool SetThreshold(Options* o, const std::string& v, std::string* error) {
    long pct = 0;
    if (!ParseLong(v, 1, 100, &pct)) {
        *error = "bad --threshold '" + v + "': a percentage from 1 to 100";
        return false;
    }
    o->threshold = static_cast<int>(pct);
    return true;
}

bool SetPeriod(Options* o, const std::string& v, std::string* error) {
    if (!ParseLong(v, 1, 86400000, &o->guardPeriodMs)) {
        *error = "bad --guard-period-ms '" + v + "': milliseconds from 1 to 86400000";
        return false;
    }
    return true;
}

// The library keeps 127 bytes of an id and writes it into its log lines as it is.
bool SetId(Options* o, const std::string& v, std::string* error) {
    const bool control = std::any_of(v.begin(), v.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
    if (v.empty() || v.size() > kMaxIdLen || control) {
        *error = "bad --id: 1 to " + std::to_string(kMaxIdLen) + " bytes, no control characters";
        return false;
    }
    o->id = v;
    return true;
}

const std::vector<Option>& Table() {
    using S = std::string;
    static const std::vector<Option> kTable = {
        {"--from", kRequests, true,
         [](Options* o, const S& v, S*) {
             o->from = v;
             return true;
         }},
        {"--to", kRequests, true,
         [](Options* o, const S& v, S*) {
             o->to = v;
             return true;
         }},
        {"--output", kPackage, true,
         [](Options* o, const S& v, S*) {
             o->output = v;
             return true;
         }},
        {"--id", kRequests, true, SetId},
        {"--trigger-time", kRun, true,
         [](Options* o, const S& v, S* e) {
             return ParseTimeOfDay(v, &o->hour, &o->minute, &o->second, e);
         }},
        {"--guard-dir", kRun, true,
         [](Options* o, const S& v, S*) {
             o->guardDir = v;
             return true;
         }},
        {"--threshold", kRun, true, SetThreshold},
        {"--card-mount", kRun, true,
         [](Options* o, const S& v, S*) {
             o->cardMount = v;
             return true;
         }},
        {"--guard-period-ms", kRun, true, SetPeriod},
        {"--log-level", kAll, true, SetLevel},
        {"--quiet", kAll, false,
         [](Options* o, const S&, S*) {
             o->quiet = true;
             return true;
         }},
    };
    return kTable;
}

bool ParseCommand(const std::string& word, Options* opts, std::string* error) {
    if (word == "package") {
        opts->command = Command::kPackage;
    } else if (word == "compress") {
        opts->command = Command::kCompress;
    } else if (word == "run") {
        opts->command = Command::kRun;
    } else if (word == "--help" || word == "-h" || word == "help") {
        opts->command = Command::kHelp;
    } else if (word == "--version") {
        opts->command = Command::kVersion;
    } else {
        *error = "unknown command '" + word + "' (package, compress, run, --help, --version)";
        return false;
    }
    return true;
}

// One option at argv[*i]: "--name value" or "--name=value".
bool ParseOption(int argc, char** argv, int* i, Options* opts, std::string* error) {
    std::string word = argv[*i];
    std::string value;
    bool inlineValue = false;
    const size_t eq = word.find('=');
    if (word.rfind("--", 0) == 0 && eq != std::string::npos) {
        value = word.substr(eq + 1);
        word.resize(eq);
        inlineValue = true;
    }
    if (word == "--help" || word == "-h") {
        opts->command = Command::kHelp;
        return true;
    }
    for (const Option& opt : Table()) {
        if (word != opt.name) continue;
        if ((opt.commands & Bit(opts->command)) == 0) {
            *error = word + " does not apply to this command";
            return false;
        }
        if (opt.takesValue && !inlineValue) {
            if (*i + 1 >= argc) {
                *error = word + " needs a value";
                return false;
            }
            value = argv[++*i];
        } else if (!opt.takesValue && inlineValue) {
            *error = word + " takes no value";
            return false;
        }
        return opt.apply(opts, value, error);
    }
    *error = "unknown option '" + word + "'";
    return false;
}

bool CheckRequest(Options* opts, std::string* error) {
    if (opts->from.empty()) {
        *error = "--from DATE is required";
        return false;
    }
    if (opts->to.empty()) opts->to = opts->from;
    if (!CheckDates(opts->from, opts->to, &opts->dates, error)) return false;
    if (opts->id.empty()) opts->id = "logcomp-" + std::to_string(getpid());
    if (opts->command == Command::kCompress) return true;
    if (opts->output.empty()) {
        *error = "--output PATH.tar.gz is required";
        return false;
    }
    return CheckOutputPath(&opts->output, error);
}

bool CheckRun(Options* opts, std::string* error) {
    if (opts->guardDir.empty()) {
        opts->guardDir = LogDir();
        if (!CheckDirectory("log directory", &opts->guardDir, kMaxPathLen, error)) {
            *error += " (the storage guard watches it unless --guard-dir names another)";
            return false;
        }
    }
    if (!CheckDirectory("--guard-dir", &opts->guardDir, kMaxPathLen, error)) return false;
    return opts->cardMount.empty() ||
           CheckDirectory("--card-mount", &opts->cardMount, kMaxMountLen, error);
}

}  // namespace

const char* LogDir() {
    return LOGCOMP_TOOL_LOG_DIR;
}

bool ParseArgs(int argc, char** argv, Options* opts, std::string* error) {
    *opts = Options{};
    opts->logLevel = LEVEL_WARN;
    if (argc < 2) {
        *error = "no command given";
        return false;
    }
    if (!ParseCommand(argv[1], opts, error)) return false;
    if (opts->command == Command::kHelp || opts->command == Command::kVersion) return true;
    for (int i = 2; i < argc; ++i) {
        if (!ParseOption(argc, argv, &i, opts, error)) return false;
        if (opts->command == Command::kHelp) return true;
    }
    return opts->command == Command::kRun ? CheckRun(opts, error) : CheckRequest(opts, error);
}

}  // namespace logcomp
