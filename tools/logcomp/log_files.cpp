// The name rules are the station's fixed log names; the library keeps its own copy private.
#include "tools/logcomp/log_files.h"

#include <sys/stat.h>

#include <cstdio>

namespace logcomp {
namespace {

constexpr const char* kNameRules[] = {"%s.log", "%s-csms.log", "%s-network-shell.log",
                                      "csms-broker-%s.log"};

}  // namespace

std::vector<LogFile> FindLogFiles(const std::string& dir, const std::vector<std::string>& dates) {
    std::vector<LogFile> files;
    for (const std::string& date : dates) {
        for (const char* rule : kNameRules) {
            char name[128];
            std::snprintf(name, sizeof name, rule, date.c_str());
            const std::string path = dir + "/" + name;
            struct stat st {};
            if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
                files.push_back({name, path, static_cast<uint64_t>(st.st_size)});
            }
        }
    }
    return files;
}

uint64_t TotalBytes(const std::vector<LogFile>& files) {
    uint64_t total = 0;
    for (const LogFile& f : files) total += f.bytes;
    return total;
}

std::string SizeText(uint64_t bytes) {
    static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes) / 1024.0;
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

int64_t FileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

}  // namespace logcomp
