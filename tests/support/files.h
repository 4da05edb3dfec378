// File helpers of the reliability tests, and the line inventory of a log directory: every log
// line it holds wherever it lies (a plain file, a .gz, a .tar or a .tar.gz, read with the real
// gzip and tar), and every file a later run could take for what it is not.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fileUtils/file_compress.h"
#include "logCompress/LogCompPaths.h"

namespace rel {

inline bool ReadFile(const std::string& path, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    *out = text.str();
    return static_cast<bool>(in);
}
inline bool WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    return static_cast<bool>(out << bytes) && (out.close(), static_cast<bool>(out));
}
inline bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}
inline bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Entry names of dir, sorted, without ".", ".." and the library's record directory.
inline std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        for (const dirent* e; (e = readdir(d)) != nullptr;)
            if (!std::set<std::string>{".", "..", LOG_COMP_RECORD_DIR_NAME}.count(e->d_name))
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Runs a line with /bin/sh; true when it exits 0. Its stdout and stderr in *out when given.
inline bool Shell(const std::string& cmd, std::string* out = nullptr) {
    FILE* p = popen(("{ " + cmd + "\n} 2>&1").c_str(), "r");
    if (p == nullptr) return false;
    std::string text;
    char buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
    if (out != nullptr) *out = std::move(text);
    return pclose(p) == 0;
}

// Creates dir (and its parents) and removes everything inside it.
inline bool EmptyDir(const std::string& dir) {
    return Shell("mkdir -p '" + dir + "' && find '" + dir +
                 "' -mindepth 1 -maxdepth 1 -exec rm -rf {} +");
}

// A new directory under /tmp (its path is the string), removed with its contents at the end.
struct TempDir : std::string {
    // A failure leaves the pattern, where nothing is: the test's first file operation fails.
    TempDir() : std::string("/tmp/logcomp-test.XXXXXX") { (void)!mkdtemp(data()); }
    ~TempDir() { Shell("rm -rf '" + *this + "'"); }
    std::string operator/(const std::string& name) const { return *this + "/" + name; }
};

// A multiset of lines; a last line without a newline counts too.
struct Lines {
    std::map<std::string, int> count;
    void Add(const std::string& text) {
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) ++count[line];
    }
    // "" when `other` holds every line of this set as often; else how many it lacks, with
    // examples.
    std::string MissingFrom(const Lines& other) const {
        int missing = 0;
        std::string examples;
        for (const auto& [line, n] : count) {
            const auto it = other.count.find(line);
            const int lacking = n - (it == other.count.end() ? 0 : it->second);
            if (lacking > 0 && (missing += lacking) && examples.size() < 800)
                examples += "\n  " + line.substr(0, 160);
        }
        return missing ? std::to_string(missing) + " log lines are gone, e.g.:" + examples : "";
    }
};

struct Inventory {
    Lines lines;
    std::vector<std::string> names;      // every entry
    std::vector<std::string> damaged;    // a .gz or .tar.gz that gzip or tar rejects
    std::vector<std::string> cutTars;    // a .tar that tar rejects (its members still count)
    std::vector<std::string> wholeTars;  // a .tar that tar reads to its end
    std::vector<std::string> temps;      // the compressor's temporaries ("*~gz")
};

inline Inventory TakeInventory(const std::string& dir) {
    Inventory inv;
    inv.names = ListDir(dir);
    for (const auto& name : inv.names) {
        const std::string path = dir + "/" + name, quoted = " '" + path + "' 2>/dev/null";
        struct stat st {};
        std::string text;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (EndsWith(name, FILE_COMPRESS_TEMP_SUFFIX))
            inv.temps.push_back(name);
        else if (EndsWith(name, ".gz") &&
                 !Shell((EndsWith(name, ".tar.gz") ? "tar -xzOf" : "gzip -dc") + quoted, &text))
            inv.damaged.push_back(name);
        else if (EndsWith(name, ".tar"))
            (Shell("tar -xOf" + quoted, &text) ? inv.wholeTars : inv.cutTars).push_back(name);
        else if (!EndsWith(name, ".gz"))
            ReadFile(path, &text);
        inv.lines.Add(text);
    }
    return inv;
}

}  // namespace rel
