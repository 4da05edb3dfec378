// The package's archive on disk: whether its path is free, what a ".tar" left there holds, and
// how many members the archive made has. A leftover ".tar" is read with a walk over its
// headers: enough to list its members and to tell a cut copy, without a tar process.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "fileUtils/file_utils.h"
#include "tools/logcomp/logcomp.h"

namespace logcomp {
namespace {

namespace fs = std::filesystem;

constexpr size_t kBlock = 512;     // tar header and data blocks
constexpr size_t kNamesShown = 3;  // of the logs a leftover ".tar" alone holds

bool Exists(const std::string& path) {  // a dangling link too
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

std::string TarOf(const std::string& archive) {
    return archive.substr(0, archive.size() - 3);  // without ".gz"
}

std::string ShellWord(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

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

// A cut copy ends before the zero block that ends an archive, and so does a file that is no
// archive.
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

// The only copy of some logs: never advise removing it.
std::string KeepAdvice(const std::string& tar, const TarWalk& walk,
                       const std::vector<std::string>& missing) {
    std::string shown;
    for (size_t i = 0; i < missing.size() && i < kNamesShown; ++i) shown += ", " + missing[i];
    if (missing.size() > kNamesShown) shown += ", ...";
    const char* files = missing.size() == 1 ? " log file" : " log files";
    return " and holds " + std::to_string(missing.size()) + files + " no longer in " + LogDir() +
           " (" + shown.substr(2) + ")" +
           (walk.whole ? "" : "; it ends early, so the last may come back cut") +
           ": keep it. To put them back without replacing any file: tar -xkf " + ShellWord(tar) +
           " -C " + ShellWord(LogDir()) + "; or choose another name";
}

// What a ".tar" left at the output is; removal is advised only when its logs are all still in
// the log directory.
std::string LeftoverAdvice(const std::string& tar) {
    const TarWalk walk = WalkTar(tar);
    std::vector<std::string> missing;
    for (const std::string& name : walk.names) {
        if (!Exists(std::string(LogDir()) + "/" + name)) missing.push_back(name);
    }
    if (!missing.empty()) return KeepAdvice(tar, walk, missing);
    const std::string what =
        walk.whole ? ", a copy of logs all still in " + std::string(LogDir())
        : walk.names.empty()
            ? ", not a whole archive, and it names no log file"
            : ", a cut copy (it ends early) of logs all still in " + std::string(LogDir());
    return what + "; remove it or choose another name";
}

}  // namespace

bool CheckOutputFree(const std::string& archive, std::string* error) {
    if (Exists(archive)) {
        *error = "bad --output: " + archive + " already exists; remove it or choose another name";
        return false;
    }
    const std::string tar = TarOf(archive);
    if (!Exists(tar)) return true;
    *error = "bad --output: " + tar + " already exists" + LeftoverAdvice(tar);
    return false;
}

std::string LeftTar(const std::string& archive) {
    std::error_code ec;
    return fs::exists(TarOf(archive), ec) ? TarOf(archive) : "";
}

// The shell counts: a listing can outgrow any buffer.
long CountMembers(const std::string& archive) {
    const std::string cmd = "(tar -tzf " + ShellWord(archive) +
                            " 2>/dev/null; echo $?) | awk 'END { print $0 ? -1 : NR - 1 }'";
    char out[32];
    return FILE_system(cmd.c_str(), out, sizeof out) == 0 ? std::strtol(out, nullptr, 10) : -1;
}

}  // namespace logcomp
