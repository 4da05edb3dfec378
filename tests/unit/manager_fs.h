// Real files for the storage guard's tests: a temporary directory removed with everything in
// it, and files with chosen modification times.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace managertest {

inline int RemoveOne(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path);
}

class TempDir {
  public:
    TempDir() {
        std::string pattern = "/tmp/mgr_test_XXXXXX";
        path_ = mkdtemp(pattern.data()) ? pattern : "";
    }
    ~TempDir() { nftw(path_.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS); }
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline bool SetMtime(const std::string& path, time_t mtime) {
    const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    return utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

inline bool Touch(const std::string& path, time_t mtime) {
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    return fd >= 0 && close(fd) == 0 && SetMtime(path, mtime);
}

}  // namespace managertest
