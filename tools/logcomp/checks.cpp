// Value checks for the command line. Dates go through the library's own parser, so the tool
// accepts exactly what a request accepts. A leftover ".tar" is read with a walk over its
// headers: enough to list its members and to tell a cut copy, without a tar process.
#include "tools/logcomp/checks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

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

constexpr size_t kBlock = 512;  // tar header and data blocks
constexpr size_t kNamesShown = 3;

struct TarWalk {
    std::vector<std::string> names;  // of the members, in order
    bool whole = false;              // reaches the end-of-archive block
};

unsigned long long Octal(const unsigned char* field, size_t len) {
    const std::string text(reinterpret_cast<const char*>(field), len);
    return std::strtoull(text.c_str(), nullptr, 8);
}

// Sizes of 8 GiB and more are base-256: the first byte's high bit set.
unsigned long long MemberSize(const unsigned char* h) {
    if ((h[124] & 0x80) == 0) return Octal(h + 124, 12);
    unsigned long long size = 0;
    for (size_t i = 125; i < 136; ++i) size = size << 8 | h[i];
    return size;
}

bool IsHeader(const unsigned char* h) {
    unsigned long long sum = 0;
    for (size_t i = 0; i < kBlock; ++i) sum += i >= 148 && i < 156 ? ' ' : h[i];
    return sum == Octal(h + 148, 8);
}

// The members' headers, one after the other; a cut copy ends before the zero block that ends
// an archive, and so does a file that is no archive.
TarWalk WalkTar(const std::string& path) {
    TarWalk walk;
    std::ifstream in(path, std::ios::binary);
    unsigned char h[kBlock];
    while (in.read(reinterpret_cast<char*>(h), kBlock)) {
        if (std::all_of(h, h + kBlock, [](unsigned char c) { return c == 0; })) {
            walk.whole = true;
            break;
        }
        if (!IsHeader(h)) break;
        walk.names.emplace_back(reinterpret_cast<const char*>(h),
                                strnlen(reinterpret_cast<const char*>(h), 100));
        const unsigned long long blocks = (MemberSize(h) + kBlock - 1) / kBlock;
        in.seekg(static_cast<std::streamoff>(blocks * kBlock), std::ios::cur);
    }
    return walk;
}

std::string ShellWord(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The only copy of some logs: never advise removing it.
std::string KeepAdvice(const std::string& tar, const std::string& logDir, const TarWalk& walk,
                       const std::vector<std::string>& missing) {
    std::string shown;
    for (size_t i = 0; i < missing.size() && i < kNamesShown; ++i) shown += ", " + missing[i];
    if (missing.size() > kNamesShown) shown += ", ...";
    const char* files = missing.size() == 1 ? " log file" : " log files";
    return " and holds " + std::to_string(missing.size()) + files + " no longer in " + logDir +
           " (" + shown.substr(2) + ")" +
           (walk.whole ? "" : "; it ends early, so the last may come back cut") +
           ": keep it. To put them back without replacing any file: tar -xkf " + ShellWord(tar) +
           " -C " + ShellWord(logDir) + "; or choose another name";
}

// What a ".tar" left at the output is; removal is advised only when its logs are all in logDir.
std::string LeftoverAdvice(const std::string& tar, const std::string& logDir) {
    const TarWalk walk = WalkTar(tar);
    std::vector<std::string> missing;
    for (const std::string& name : walk.names) {
        if (!Exists(logDir + "/" + name)) missing.push_back(name);
    }
    if (!missing.empty()) return KeepAdvice(tar, logDir, walk, missing);
    const std::string what = walk.whole ? ", a copy of logs all still in " + logDir
                             : walk.names.empty()
                                 ? ", not a whole archive, and it names no log file"
                                 : ", a cut copy (it ends early) of logs all still in " + logDir;
    return what + "; remove it or choose another name";
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
    *path = abs;
    return true;
}

bool CheckOutputFree(const std::string& archive, const std::string& logDir, std::string* error) {
    const std::string tar = archive.substr(0, archive.size() - 3);
    if (Exists(archive)) {
        *error = "bad --output: " + archive + " already exists; remove it or choose another name";
        return false;
    }
    if (!Exists(tar)) return true;
    *error = "bad --output: " + tar + " already exists" + LeftoverAdvice(tar, logDir);
    return false;
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
