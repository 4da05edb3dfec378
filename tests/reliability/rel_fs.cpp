// Small file helpers of the reliability tests; see rel_fs.h.
#include "tests/reliability/rel_fs.h"

#include "logCompress/LogCompPaths.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace rel {

bool ReadFile(const std::string& path, std::string* out) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out->clear();
    char buf[65536];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close(fd);
            return n == 0;
        }
        out->append(buf, static_cast<size_t>(n));
    }
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return close(fd) == 0 && done == bytes.size();
}

bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            // The library's records of tasks in flight: never a log, checked on their own.
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0 &&
                strcmp(e->d_name, LOG_COMP_RECORD_DIR_NAME) != 0) {
                names.emplace_back(e->d_name);
            }
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool EmptyDir(const std::string& dir) {
    return Shell("mkdir -p '" + dir + "' && find '" + dir +
                 "' -mindepth 1 -maxdepth 1 -exec rm -rf {} +");
}

bool CopyFiles(const std::string& from, const std::string& to) {
    for (const auto& name : ListDir(from)) {
        std::string bytes;
        if (!ReadFile(from + "/" + name, &bytes) || !WriteFile(to + "/" + name, bytes)) {
            return false;
        }
    }
    return true;
}

bool Shell(const std::string& cmd, std::string* out) {
    FILE* p = popen(("{ " + cmd + "\n} 2>&1").c_str(), "r");
    if (p == nullptr) return false;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    const int status = pclose(p);
    if (out != nullptr) *out = text;
    return status == 0;
}

}  // namespace rel
