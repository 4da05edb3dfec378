// Throughput of the compressor on one station-log day, every contender in the same run on
// the same files, interleaved round by round so that all see the same machine load:
//   - the syscall floor: the compressor's I/O without the deflate (read in 3 MiB slices,
//     write an eighth of each, start writeback, fsync, rename),
//   - gzip -4 and pigz -4 (all cores) as processes,
//   - libdeflate level 4, one gzip member per file (no slicing),
//   - the compressor unthrottled (FileCompress_Run with delay 0),
//   - the executor with one task of the day's files, normal and dynamic mode.
// Ratios are taken per round and the median reported. Other load on the machine distorts
// wall time, so CPU seconds are given too (the compressing thread's, or the children's).
// Usage: throughput_bench --dir CORPUS [--date YYYY-MM-DD] [--rounds N]
// The executor's outputs (<file>.gz) stay in CORPUS for the readers' checks of bench/run.sh.
#include <fcntl.h>
#include <libdeflate.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>

#include "bench/bench_common.h"
#include "bench/bench_exec.h"
#include "fileUtils/file_compress_host.h"
#include "tools/loggen/station_log_gen.h"
#include "logsys/log_sys.h"
#include "logsys/log_sys_host.h"

extern char** environ;

namespace {

using namespace bench;

struct Corpus {
    std::vector<std::string> paths;
    uint64_t inBytes = 0;
    std::string outDir;  // outputs of the contenders that do not name their own
};

struct Run {
    double wall = 0;
    double cpu = 0;
    double wait = 0;  // time spent waiting for a CPU: wall - wait is the unloaded wall
    uint64_t outBytes = 0;
    bool ok = true;
    double quiet() const { return wall - wait; }
};

std::string OutPath(const Corpus& c, const std::string& src, const char* ext) {
    return c.outDir + "/" + src.substr(src.rfind('/') + 1) + ext;
}

// ---- processes

// Runs args with stdout to out; adds the child's run-queue wait to *wait.
bool SpawnToFile(const std::vector<std::string>& args, const std::string& out, double* wait) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return false;
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == 0) {
        *wait += RunQueueWait(("/proc/" + std::to_string(pid) + "/schedstat").c_str());
    }
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Run Tool(const Corpus& c, const char* tool, const char* ext) {
    Run r;
    const double cpu0 = ChildrenCpu();
    const auto t0 = Clock::now();
    for (const auto& p : c.paths) {
        const std::string out = OutPath(c, p, ext);
        r.ok = SpawnToFile({tool, "-4", "-c", p}, out, &r.wait) && r.ok;
        r.outBytes += FileSize(out);
    }
    r.wall = Seconds(Clock::now() - t0);
    r.cpu = ChildrenCpu() - cpu0;
    return r;
}

Run Gzip(const Corpus& c) {
    return Tool(c, "gzip", ".gzip.gz");
}
Run Pigz(const Corpus& c) {
    return Tool(c, "pigz", ".pigz.gz");
}

// ---- in this thread

Run InThread(const Corpus& c, const std::function<bool(const std::string&, uint64_t*)>& one) {
    Run r;
    const double cpu0 = ThreadCpu();
    const double wait0 = RunQueueWait();
    const auto t0 = Clock::now();
    for (const auto& p : c.paths) r.ok = one(p, &r.outBytes) && r.ok;
    r.wall = Seconds(Clock::now() - t0);
    r.cpu = ThreadCpu() - cpu0;
    r.wait = RunQueueWait() - wait0;
    return r;
}

size_t ReadFull(int fd, uint8_t* buf, size_t cap) {
    size_t got = 0;
    while (got < cap) {
        const ssize_t n = read(fd, buf + got, cap - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return got;
}

bool FloorOne(const Corpus& c, const std::string& src, uint64_t* outBytes) {
    static std::vector<uint8_t> buf(FileCompressDefaultSliceBytes());
    const std::string out = OutPath(c, src, ".floor");
    const std::string tmp = out + ".tmp";
    const int in = open(src.c_str(), O_RDONLY | O_CLOEXEC);
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = in >= 0 && fd >= 0;
    off_t at = 0;
    for (size_t n; ok && (n = ReadFull(in, buf.data(), buf.size())) > 0;) {
        ok = write(fd, buf.data(), n / 8) == static_cast<ssize_t>(n / 8);
        (void)sync_file_range(fd, at, static_cast<off_t>(n / 8), SYNC_FILE_RANGE_WRITE);
        at += static_cast<off_t>(n / 8);
    }
    ok = ok && fsync(fd) == 0;
    if (in >= 0) close(in);
    if (fd >= 0) close(fd);
    ok = ok && rename(tmp.c_str(), out.c_str()) == 0;
    *outBytes += static_cast<uint64_t>(at);
    return ok;
}

bool WholeMemberOne(const Corpus& c, const std::string& src, uint64_t* outBytes) {
    const size_t n = FileSize(src);
    std::vector<uint8_t> in(n);
    const int fd = open(src.c_str(), O_RDONLY | O_CLOEXEC);
    const bool read = fd >= 0 && ReadFull(fd, in.data(), n) == n;
    if (fd >= 0) close(fd);
    libdeflate_compressor* comp = libdeflate_alloc_compressor(4);
    std::vector<uint8_t> out(libdeflate_gzip_compress_bound(comp, n));
    const size_t z = libdeflate_gzip_compress(comp, in.data(), n, out.data(), out.size());
    libdeflate_free_compressor(comp);
    FILE* f = std::fopen(OutPath(c, src, ".whole.gz").c_str(), "wb");
    const bool ok = read && z > 0 && f != nullptr && std::fwrite(out.data(), 1, z, f) == z;
    if (f != nullptr) std::fclose(f);
    *outBytes += z;
    return ok;
}

bool UnthrottledOne(const std::string& src, uint64_t* outBytes) {
    unlink((src + ".gz").c_str());
    FILE_COMPRESS_CONFIG cfg{};
    std::snprintf(cfg.file, sizeof cfg.file, "%s", src.c_str());
    cfg.compressLevel = FILE_COMPRESS_LEVEL_4;
    char outFile[256] = {};
    FILE_COMPRESS_HANDLE h = FileCompress_Start(&cfg, outFile, sizeof outFile);
    if (h == nullptr) return false;
    int ret;
    while ((ret = FileCompress_Run(h, 0)) == FILE_COMPRESS_STATUS_ONGOING) {
    }
    FileCompress_Stop(h);
    *outBytes += FileSize(src + ".gz");
    return ret == FILE_COMPRESS_STATUS_FINISHED;
}

// ---- the executor: one task of all files on a fresh worker, whose CPU is then this task's

Run Executor(const Corpus& c, bool dynamic) {
    for (const auto& p : c.paths) unlink((p + ".gz").c_str());
    Files files(c.paths);
    LogCompExecInit();
    LogCompExecSetDynamic(dynamic);
    Completion done;
    const auto t0 = Clock::now();
    Run r;
    r.ok = Submit(1, files, &done);
    if (r.ok) {
        done.Wait();
        r.wall = Seconds(done.at - t0);
        r.cpu = done.workerCpu;
        r.wait = done.workerWait;
        r.ok = done.status == FILE_COMPRESS_STATUS_FINISHED;
    }
    LogCompExecUninit();
    for (const auto& p : c.paths) r.outBytes += FileSize(p + ".gz");
    return r;
}

// Mean length of a 1 ms sleep on this machine now, in seconds.
double OneMsSleep() {
    const auto t0 = Clock::now();
    constexpr int kN = 50;
    for (int i = 0; i < kN; ++i) {
        timespec ts{0, 1000000};
        nanosleep(&ts, nullptr);
    }
    return Seconds(Clock::now() - t0) / kN;
}

// ---- rounds and report

enum Id { kFloor, kGzip, kPigz, kUnthrottled, kNormal, kDynamic, kCount };
const char* const kNames[kCount] = {
    "syscall floor (no deflate)", "gzip -4 (process)", "pigz -4 (process, all cores)",
    "compressor, delay 0",        "executor, normal",  "executor, dynamic"};

using Round = std::vector<Run>;

Round RunRound(const Corpus& c) {
    Round r(kCount);
    r[kFloor] = InThread(c, [&](const std::string& p, uint64_t* o) { return FloorOne(c, p, o); });
    r[kGzip] = Gzip(c);
    r[kPigz] = Pigz(c);
    r[kUnthrottled] = InThread(c, UnthrottledOne);
    r[kDynamic] = Executor(c, true);
    r[kNormal] = Executor(c, false);  // last: its outputs stay for the readers' checks
    return r;
}

// Median over the rounds of f(round).
double Med(const std::vector<Round>& rounds, const std::function<double(const Round&)>& f) {
    std::vector<double> v;
    for (const auto& r : rounds) v.push_back(f(r));
    return Median(v);
}

void PrintContenders(const Corpus& c, const std::vector<Round>& rounds) {
    std::printf("\n%-30s %9s %11s %9s %9s %13s\n", "contender (median of rounds)", "wall MB/s",
                "unloaded*", "CPU MB/s", "CPU/wall", "output bytes");
    const double mb = static_cast<double>(c.inBytes) / kMB;
    for (int i = 0; i < kCount; ++i) {
        const double wall = Med(rounds, [&](const Round& r) { return r[i].wall; });
        const double quiet = Med(rounds, [&](const Round& r) { return r[i].quiet(); });
        const double cpu = Med(rounds, [&](const Round& r) { return r[i].cpu; });
        std::printf("%-30s %9.1f %11.1f %9.1f %8.0f%% %13llu\n", kNames[i], mb / wall, mb / quiet,
                    mb / cpu, 100 * cpu / wall,
                    static_cast<unsigned long long>(rounds[0][i].outBytes));
    }
    std::printf("* wall time less the time spent waiting for a CPU (schedstat)\n\n");
}

// One ratio in up to three clocks: raw wall, wall less run-queue wait, CPU time.
void ThreeWays(const char* item, const char* measure, const char* target, double limit,
               bool atLeast, const std::vector<Round>& rounds, int num, int den,
               int clockCount = 3) {
    const std::function<double(const Run&)> clocks[3] = {[](const Run& r) { return r.wall; },
                                                         [](const Run& r) { return r.quiet(); },
                                                         [](const Run& r) { return r.cpu; }};
    const char* const names[3] = {"wall", "unloaded wall", "CPU time"};
    for (int k = 0; k < clockCount; ++k) {
        const double x = Med(rounds, [&](const Round& r) {
            return atLeast ? clocks[k](r[num]) / clocks[k](r[den])
                           : clocks[k](r[den]) / clocks[k](r[num]) - 1;
        });
        const std::string m = std::string(measure) + ", " + names[k];
        if (atLeast) {
            Row(item, m.c_str(), target, Verdict(x >= limit), "%.2fx", x);
        } else {
            Row(item, m.c_str(), target, Verdict(x <= limit), "%+.1f %%", 100 * x);
        }
    }
}

void ReportThroughput(const Corpus& c, const std::vector<Round>& rounds, uint64_t wholeBytes) {
    const double mb = static_cast<double>(c.inBytes) / kMB;
    std::printf("executor normal %.0f MB/s, gzip -4 %.0f MB/s (wall, medians)\n",
                mb / Med(rounds, [](const Round& r) { return r[kNormal].wall; }),
                mb / Med(rounds, [](const Round& r) { return r[kGzip].wall; }));
    ThreeWays("1 executor, normal", "throughput / gzip -4", ">= 2.0x", 2.0, true, rounds, kGzip,
              kNormal);
    const Round& r0 = rounds[0];
    const double size = static_cast<double>(r0[kNormal].outBytes) / r0[kGzip].outBytes;
    Row("1 executor, normal", "output / gzip -4 output", "<= 1.00", Verdict(size <= 1.0),
        "%.3f (%llu vs %llu bytes)", size, static_cast<unsigned long long>(r0[kNormal].outBytes),
        static_cast<unsigned long long>(r0[kGzip].outBytes));
    Row("1 executor, normal", "output / one member per file (cost of slicing in size)", "-", "-",
        "%.4f", static_cast<double>(r0[kNormal].outBytes) / wholeBytes);
    Row("1 executor, normal", "throughput / pigz -4 (2 threads), wall", "-", "-", "%.2fx",
        Med(rounds, [](const Round& r) { return r[kPigz].wall / r[kNormal].wall; }));
    Row("1 executor, normal", "syscall floor / executor, unloaded wall", "-", "-", "%.0f %%",
        100 * Med(rounds, [](const Round& r) { return r[kFloor].quiet() / r[kNormal].quiet(); }));
}

void ReportThrottle(const Corpus& c, const std::vector<Round>& rounds) {
    ThreeWays("1 slicing + 1 ms throttle", "executor / compressor at delay 0", "<= +10 %", 0.10,
              false, rounds, kUnthrottled, kNormal, 2);  // sleeping costs no CPU time
    // The sleeps the throttle adds, against the compressing CPU time alone.
    const double slices = static_cast<double>(c.inBytes) / FileCompressDefaultSliceBytes();
    const double sleep = OneMsSleep();
    const double cpu = Med(rounds, [](const Round& r) { return r[kUnthrottled].cpu; });
    const double est = slices * sleep / cpu;
    Row("1 slicing + 1 ms throttle", "slices x measured 1 ms sleep / compressing CPU time",
        "<= +10 %", Verdict(est <= 0.10), "%+.1f %% (%.0f slices, sleep %.2f ms)", 100 * est,
        slices, sleep * 1e3);
}

void ReportDynamic(const std::vector<Round>& rounds) {
    const double share =
        Med(rounds, [](const Round& r) { return r[kDynamic].cpu / r[kDynamic].wall; });
    const double quiet =
        Med(rounds, [](const Round& r) { return r[kDynamic].cpu / r[kDynamic].quiet(); });
    const double normal =
        Med(rounds, [](const Round& r) { return r[kNormal].cpu / r[kNormal].quiet(); });
    Row("2 executor, dynamic", "worker CPU s / wall s", "< 50 %", Verdict(share < 0.5), "%.0f %%",
        100 * share);
    Row("2 executor, dynamic", "worker CPU s / unloaded wall s (normal mode)", "< 50 %",
        Verdict(quiet < 0.5), "%.0f %% (%.0f %%)", 100 * quiet, 100 * normal);
    Row("2 executor, dynamic", "throughput / normal mode, unloaded wall (/ gzip -4)", "-", "-",
        "%.2fx (%.2fx)",
        Med(rounds, [](const Round& r) { return r[kNormal].quiet() / r[kDynamic].quiet(); }),
        Med(rounds, [](const Round& r) { return r[kGzip].quiet() / r[kDynamic].quiet(); }));
}

bool AllOk(const std::vector<Round>& rounds) {
    for (const auto& r : rounds) {
        for (int i = 0; i < kCount; ++i) {
            if (!r[i].ok) {
                std::fprintf(stderr, "throughput_bench: %s failed\n", kNames[i]);
                return false;
            }
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir, date = "2026-12-03";
    int rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--dir") == 0) dir = argv[i + 1];
        if (std::strcmp(argv[i], "--date") == 0) date = argv[i + 1];
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    if (dir.empty()) {
        std::fprintf(stderr, "usage: %s --dir CORPUS [--date YYYY-MM-DD] [--rounds N]\n", argv[0]);
        return 2;
    }
    LogSysSetMinLevel(LEVEL_WARN);
    Corpus c;
    c.outDir = dir + "/out";
    mkdir(c.outDir.c_str(), 0755);
    for (const auto& name : loggen::DayFileNames(date)) {
        c.paths.push_back(dir + "/" + name);
        c.inBytes += FileSize(c.paths.back());
    }
    std::vector<Round> all;
    for (int i = 0; i < rounds; ++i) {
        all.push_back(RunRound(c));
        const Round& r = all.back();
        std::printf(
            "round %d: CPU s gzip %.2f, pigz %.2f, delay 0 %.2f, normal %.2f, dynamic %.2f;"
            " wall s %.2f, %.2f, %.2f, %.2f, %.2f\n",
            i + 1, r[kGzip].cpu, r[kPigz].cpu, r[kUnthrottled].cpu, r[kNormal].cpu, r[kDynamic].cpu,
            r[kGzip].wall, r[kPigz].wall, r[kUnthrottled].wall, r[kNormal].wall, r[kDynamic].wall);
    }
    if (!AllOk(all)) return 1;
    uint64_t wholeBytes = 0;
    for (const auto& p : c.paths) (void)WholeMemberOne(c, p, &wholeBytes);
    std::printf("%d rounds over %llu bytes (4 files of %s), level 4, slice %u bytes\n", rounds,
                static_cast<unsigned long long>(c.inBytes), date.c_str(),
                FileCompressDefaultSliceBytes());
    PrintContenders(c, all);
    ReportThroughput(c, all, wholeBytes);
    ReportThrottle(c, all);
    ReportDynamic(all);
    return 0;
}
