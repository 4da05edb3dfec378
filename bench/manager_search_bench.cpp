// The storage guard's oldest-entry search over a large directory, against `find | sort | head`
// and against a bare readdir+fstatat pass, plus its memory use at 10k and 100k entries.
//
//   manager_search_bench [--quick] [--runs N] [--dir BASE]
//
// The directories (BASE/n10000, BASE/n100000; BASE defaults to /tmp/mgr_search_bench) are
// created once with distinct modification times and reused by later runs.
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "logCompress/LogManagerInternal.h"

extern char** environ;

// ---- allocation counting (plain builds only: the sanitizers bring their own allocator)
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define BENCH_COUNT_MALLOC 1
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* ptr, size_t size);
void __libc_free(void* ptr);
}
namespace {
std::atomic<long> gCalls{0};
std::atomic<long> gLive{0};
std::atomic<long> gPeak{0};
void Count(void* p, long delta) {
    if (p == nullptr) return;
    gCalls += delta > 0 ? 1 : 0;
    const long live = gLive += delta;
    long peak = gPeak.load();
    while (live > peak && !gPeak.compare_exchange_weak(peak, live)) {
    }
}
long Size(void* p) {
    return p ? static_cast<long>(malloc_usable_size(p)) : 0;
}
}  // namespace
extern "C" {
void* malloc(size_t size) {
    void* p = __libc_malloc(size);
    Count(p, Size(p));
    return p;
}
void* calloc(size_t count, size_t size) {
    void* p = __libc_calloc(count, size);
    Count(p, Size(p));
    return p;
}
void* realloc(void* ptr, size_t size) {
    const long before = Size(ptr);
    void* p = __libc_realloc(ptr, size);
    if (p != nullptr) Count(p, Size(p) - before);
    return p;
}
void free(void* ptr) {
    gLive -= Size(ptr);
    __libc_free(ptr);
}
}
#endif

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    bool quick = false;
    int runs = 9;
    std::string base = "/tmp/mgr_search_bench";
};

// ---- the test directory: n empty files whose mtimes are a permutation of n seconds

std::string EntryName(long i) {
    char name[32];
    snprintf(name, sizeof name, "station_%07ld.log", i);
    return name;
}

bool Populate(const std::string& dir, long count) {
    const std::string ready = dir + ".ready";
    if (access(ready.c_str(), F_OK) == 0) return true;
    fprintf(stderr, "creating %ld files in %s ...\n", count, dir.c_str());
    mkdir(dir.c_str(), 0755);
    const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dirFd < 0) return false;
    for (long i = 0; i < count; ++i) {
        const std::string name = EntryName(i);
        const int fd = openat(dirFd, name.c_str(), O_CREAT | O_WRONLY, 0644);
        // 7919 is prime and does not divide count: i -> (i * 7919) % count is a permutation.
        const time_t mtime = 1600000000 + (i * 7919) % count;
        const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
        if (fd < 0 || futimens(fd, times) != 0 || close(fd) != 0) return false;
    }
    close(dirFd);
    const int fd = open(ready.c_str(), O_CREAT | O_WRONLY, 0644);
    return fd >= 0 && close(fd) == 0;
}

// ---- the three contenders

std::string LibrarySearch(const std::string& dir) {
    char* found = FindOldestFileUTCSinglePass(dir.c_str(), EDT_MODIFY_TIME);
    std::string out = found ? found : "";
    free(found);
    return out;
}

// The least a single pass can do: one getdents stream and one fstatat per entry.
std::string BarePass(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return "";
    char best[256] = {};
    time_t bestTime = 0;
    for (const dirent* e = readdir(d); e != nullptr; e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        struct stat st {};
        if (fstatat(dirfd(d), e->d_name, &st, 0) == 0 && st.st_mtim.tv_sec > 0 &&
            (bestTime == 0 || st.st_mtim.tv_sec < bestTime)) {
            bestTime = st.st_mtim.tv_sec;
            snprintf(best, sizeof best, "%s", e->d_name);
        }
    }
    closedir(d);
    return dir + "/" + best;
}

std::string FindPipeline(const std::string& dir) {
    const std::string cmd = "find " + dir + " -maxdepth 1 -printf '%T@ %p\\n' | sort -n | head -1";
    FILE* pipe = popen(cmd.c_str(), "r");
    if (pipe == nullptr) return "";
    char line[1024] = {};
    const bool got = fgets(line, sizeof line, pipe) != nullptr;
    pclose(pipe);
    if (!got) return "";
    std::string out = line;
    out = out.substr(out.find(' ') + 1);
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

// ---- timing

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double TimeMs(const std::function<std::string()>& run, std::string* result) {
    const auto start = Clock::now();
    *result = run();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Row {
    const char* name;
    std::function<std::string(const std::string&)> run;
    std::vector<double> ms;
    std::string result;
};

// Runs are interleaved so that every contender sees the same cache and machine load.
bool TimeAll(const std::string& dir, int runs, std::vector<Row>& rows) {
    for (auto& row : rows) row.result = row.run(dir);  // warm the dentry and inode caches
    for (int r = 0; r < runs; ++r) {
        for (auto& row : rows) {
            std::string result;
            row.ms.push_back(TimeMs([&] { return row.run(dir); }, &result));
            if (result != rows[0].result) {
                fprintf(stderr, "%s found %s, the library %s\n", row.name, result.c_str(),
                        rows[0].result.c_str());
                return false;
            }
        }
    }
    return true;
}

// ---- memory: one search in a fresh process, its peak RSS; allocations in this process

long ChildPeakRssKb(const std::string& self, const std::string& dir) {
    const std::string arg = "--rss-child=" + dir;
    char* argv[] = {const_cast<char*>(self.c_str()), const_cast<char*>(arg.c_str()), nullptr};
    int pipeFd[2];
    if (pipe(pipeFd) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFd[1], STDOUT_FILENO);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFd[1]);
    char buf[64] = {};
    const ssize_t n = rc == 0 ? read(pipeFd[0], buf, sizeof buf - 1) : -1;
    close(pipeFd[0]);
    int status = 0;
    if (rc == 0) waitpid(pid, &status, 0);
    return n > 0 ? atol(buf) : -1;
}

int RssChild(const std::string& dir) {
    LibrarySearch(dir);
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    printf("%ld\n", usage.ru_maxrss);
    return 0;
}

void PrintMemory(const std::string& self, const std::vector<std::pair<long, std::string>>& dirs) {
    printf("\nmemory of one search (fresh process per row)\n");
    printf("%-10s %14s %14s %16s\n", "entries", "peak RSS KiB", "malloc calls", "peak heap bytes");
    for (const auto& [count, dir] : dirs) {
        long calls = -1;
        long peak = -1;
#ifdef BENCH_COUNT_MALLOC
        const long callsBefore = gCalls.load();
        const long liveBefore = gLive.load();
        gPeak.store(liveBefore);
        free(FindOldestFileUTCSinglePass(dir.c_str(), EDT_MODIFY_TIME));
        calls = gCalls.load() - callsBefore;
        peak = gPeak.load() - liveBefore;
#endif
        printf("%-10ld %14ld %14ld %16ld\n", count, ChildPeakRssKb(self, dir), calls, peak);
    }
}

bool ParseOptions(int argc, char** argv, Options* opt) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--quick") {
            opt->quick = true;
            opt->runs = 3;
        } else if (a == "--runs" && i + 1 < argc) {
            opt->runs = std::max(1, atoi(argv[++i]));
        } else if (a == "--dir" && i + 1 < argc) {
            opt->base = argv[++i];
        } else {
            fprintf(stderr, "usage: %s [--quick] [--runs N] [--dir BASE]\n", argv[0]);
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strncmp(argv[1], "--rss-child=", 12) == 0) return RssChild(argv[1] + 12);
    Options opt;
    if (!ParseOptions(argc, argv, &opt)) return 2;
    mkdir(opt.base.c_str(), 0755);
    const std::vector<std::pair<long, std::string>> dirs = {{10000, opt.base + "/n10000"},
                                                            {100000, opt.base + "/n100000"}};
    for (const auto& [count, dir] : dirs) {
        if (!Populate(dir, count)) {
            fprintf(stderr, "cannot create %s\n", dir.c_str());
            return 1;
        }
    }
    const std::string& big = dirs[1].second;
    std::vector<Row> rows = {{"library single pass", LibrarySearch, {}, {}},
                             {"bare readdir+fstatat", BarePass, {}, {}},
                             {"find | sort | head", FindPipeline, {}, {}}};
    if (!TimeAll(big, opt.runs, rows)) return 1;
    const double lib = Median(rows[0].ms);
    printf("oldest of 100000 entries in %s (median of %d runs)\n", big.c_str(), opt.runs);
    printf("%-22s %10s %22s\n", "contender", "ms", "time / library");
    for (const auto& row : rows) {
        printf("%-22s %10.2f %22.2f\n", row.name, Median(row.ms), Median(row.ms) / lib);
    }
    printf("library / bare pass: %.3f (target <= 1.05)\n", lib / Median(rows[1].ms));
    printf("find pipeline / library: %.2fx (target >= 1.9x)\n", Median(rows[2].ms) / lib);
    PrintMemory("/proc/self/exe", dirs);
    return 0;
}
