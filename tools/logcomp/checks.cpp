// Value checks for the command line. Dates go through the library's own parser, so the tool
// accepts exactly what a request accepts.
#include "tools/logcomp/checks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "logCompress/DateParse.h"

namespace logcomp {
namespace {

constexpr char kTarGz[] = ".tar.gz";
constexpr size_t kTarGzLen = sizeof(kTarGz) - 1;
constexpr char kFormats[] =
    "YYYY-MM-DD, YYYY/MM/DD, YYYYMMDD, YYYY年MM月DD日, DD-MM-YYYY, DD/MM/YYYY or MM/DD/YYYY";

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) return path;
    const std::string base = cwd;
    return base == "/" ? "/" + path : base + "/" + path;
}

std::string DirName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool CheckDates(const std::string& from, const std::string& to, std::vector<std::string>* dates,
                std::string* error) {
    for (const std::string* d : {&from, &to}) {
        struct tm tm {};
        if (!ParseDateEx(d->c_str(), &tm, nullptr)) {
            *error = "bad date '" + *d + "': use " + kFormats;
            return false;
        }
    }
    DateList* list = GenerateDateRange(from.c_str(), to.c_str(), 0);
    if (list == nullptr) {
        *error = "bad date range '" + from + "' to '" + to + "': years 1900 to 2099 only";
        return false;
    }
    dates->assign(list->dates, list->dates + list->count);
    FreeDateList(list);
    return true;
}

bool CheckOutputPath(std::string* path, std::string* error) {
    const std::string& given = *path;
    const size_t slash = given.rfind('/');
    const std::string base = slash == std::string::npos ? given : given.substr(slash + 1);
    if (base.size() <= kTarGzLen || given.compare(given.size() - kTarGzLen, kTarGzLen, kTarGz)) {
        *error = "bad --output '" + given + "': a file name ending in .tar.gz";
        return false;
    }
    const std::string abs = Absolute(given);
    if (abs.size() > kMaxPathLen) {
        *error = "--output path too long: at most " + std::to_string(kMaxPathLen) + " characters";
        return false;
    }
    if (!IsDirectory(DirName(abs))) {
        *error = "bad --output: directory " + DirName(abs) + " does not exist";
        return false;
    }
    const std::string tar = abs.substr(0, abs.size() - 3);
    for (const std::string* p : {&abs, &tar}) {
        if (Exists(*p)) {
            *error = "bad --output: " + *p + " already exists; remove it or choose another name";
            return false;
        }
    }
    *path = abs;
    return true;
}

bool CheckDirectory(const char* what, std::string* path, size_t maxLen, std::string* error) {
    const std::string abs = Absolute(*path);
    if (!IsDirectory(abs)) {
        *error = std::string("bad ") + what + ": " + abs + " is not an existing directory";
        return false;
    }
    if (abs.size() > maxLen) {
        *error =
            std::string(what) + " path too long: at most " + std::to_string(maxLen) + " characters";
        return false;
    }
    *path = abs;
    return true;
}

bool ParseTimeOfDay(const std::string& text, int* hour, int* minute, int* second,
                    std::string* error) {
    int h = -1, m = -1, s = 0, used = 0;
    const int n = std::sscanf(text.c_str(), "%2d:%2d%n:%2d%n", &h, &m, &used, &s, &used);
    const bool ok = (n == 2 || n == 3) && static_cast<size_t>(used) == text.size() && h >= 0 &&
                    h <= 23 && m >= 0 && m <= 59 && s >= 0 && s <= 59;
    if (!ok) {
        *error = "bad --trigger-time '" + text + "': HH:MM:SS (UTC), 00:00:00 to 23:59:59";
        return false;
    }
    *hour = h;
    *minute = m;
    *second = s;
    return true;
}

}  // namespace logcomp
