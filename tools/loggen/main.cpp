// logcomp-loggen: writes generated station logs for demos and manual checks.
//   logcomp-loggen --dir DIR --from DATE --to DATE [--mb-per-day N] [--seed S]
//   logcomp-loggen --file PATH --mb N [--seed S]
//   logcomp-loggen --names DATE      (the day's log file names, one a line)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/loggen/station_log_gen.h"

namespace {

struct Args {
    std::string dir, from, to, file, names;
    double mb = 8;
    uint64_t seed = 1;
};

int Usage() {
    std::fprintf(stderr,
                 "usage: logcomp-loggen --dir DIR --from YYYY-MM-DD --to YYYY-MM-DD "
                 "[--mb-per-day N] [--seed S]\n"
                 "       logcomp-loggen --file PATH --mb N [--seed S]\n"
                 "       logcomp-loggen --names DATE\n");
    return 2;
}

bool Parse(int argc, char** argv, Args* a) {
    for (int i = 1; i < argc; ++i) {
        if (i + 1 >= argc) return false;
        const char* key = argv[i];
        const char* val = argv[++i];
        if (std::strcmp(key, "--dir") == 0) {
            a->dir = val;
        } else if (std::strcmp(key, "--from") == 0) {
            a->from = val;
        } else if (std::strcmp(key, "--to") == 0) {
            a->to = val;
        } else if (std::strcmp(key, "--names") == 0) {
            a->names = val;
        } else if (std::strcmp(key, "--file") == 0) {
            a->file = val;
        } else if (std::strcmp(key, "--mb-per-day") == 0 || std::strcmp(key, "--mb") == 0) {
            a->mb = std::strtod(val, nullptr);
        } else if (std::strcmp(key, "--seed") == 0) {
            a->seed = std::strtoull(val, nullptr, 0);
        } else {
            return false;
        }
    }
    return a->mb >= 0 && (!a->file.empty() || !a->dir.empty() || !a->names.empty());
}

}  // namespace

int main(int argc, char** argv) {
    Args a;
    if (!Parse(argc, argv, &a)) return Usage();
    if (!a.names.empty()) {
        for (const std::string& name : loggen::DayFileNames(a.names)) std::puts(name.c_str());
        return 0;
    }
    const size_t bytes = static_cast<size_t>(a.mb * 1024 * 1024);
    if (!a.file.empty()) {
        if (loggen::GenerateFile(a.file, bytes, a.seed)) return 0;
        std::fprintf(stderr, "logcomp-loggen: cannot write %s\n", a.file.c_str());
        return 1;
    }
    const std::string from = a.from.empty() ? loggen::UtcDate(6) : a.from;
    const std::string to = a.to.empty() ? loggen::UtcDate(0) : a.to;
    const auto dates = loggen::DateRange(from, to);
    if (dates.empty()) {
        std::fprintf(stderr, "logcomp-loggen: bad date range %s .. %s\n", from.c_str(), to.c_str());
        return 2;
    }
    for (const std::string& d : dates) {
        if (!loggen::GenerateDay(a.dir, d, {a.seed, bytes})) {
            std::fprintf(stderr, "logcomp-loggen: cannot write %s into %s\n", d.c_str(),
                         a.dir.c_str());
            return 1;
        }
    }
    return 0;
}
