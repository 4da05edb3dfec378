// The executor on the reference compressor, with one generated station-log day:
//   - cancel latency: LogCompExecDelTask of a running task on a large file (the day's
//     largest, or one of 64 MiB when the day is small) until its callback arrives (normal
//     mode), median and max over the trials;
//   - throughput of one task of the day's four files in normal mode against "gzip -4" on the
//     same files in the same run, and the output sizes;
//   - the same task in dynamic mode, with the worker's CPU share (its CPU seconds / wall).
// Usage: exec_bench [--mb N] [--trials N] [--dir DIR] [--quick]
//   --mb: size of the day in MB (default 200); --trials: cancel trials (default 50);
//   --quick: 20 MB and 20 trials; DIR defaults to a fresh directory under /tmp.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench/bench_exec.h"
#include "fileUtils/file_compress.h"
#include "fileUtils/file_compress_host.h"
#include "list/link_list.h"
#include "logCompress/LogCompExec.h"
#include "logsys/log_sys.h"
#include "logsys/log_sys_host.h"
#include "tools/loggen/station_log_gen.h"

namespace {

using namespace bench;
constexpr const char* kDate = "2026-12-03";
// Deletes land after at most 3 slices: the file must outlast them by far.
constexpr size_t kCancelFileBytes = 64u << 20;

struct Options {
    size_t mb = 200;
    int trials = 50;
    std::string dir;
};

// ---- cancel latency

std::mutex gSliceMu;
std::condition_variable gSliceCv;
int gSlices = 0;

void CountSlice(const char*, uint64_t, uint64_t, int) {
    std::lock_guard<std::mutex> lock(gSliceMu);
    ++gSlices;
    gSliceCv.notify_all();
}

void WaitSlices(int n) {
    std::unique_lock<std::mutex> lock(gSliceMu);
    gSliceCv.wait(lock, [&] { return gSlices >= n; });
}

// Deletes the running task after 1, 2 or 3 slices of the file; milliseconds to the callback.
std::vector<double> CancelLatencies(const std::string& bigFile, int trials, int* notCancelled) {
    Files files({bigFile});
    FileCompressSetProgressHook(&CountSlice);
    LogCompExecInit();
    std::vector<double> ms;
    for (int t = 0; t < trials; ++t) {
        {
            std::lock_guard<std::mutex> lock(gSliceMu);
            gSlices = 0;
        }
        Completion done;
        if (!Submit(static_cast<uint64_t>(t), files, &done)) break;
        WaitSlices(1 + t % 3);
        const auto t0 = Clock::now();
        LogCompExecDelTask(static_cast<uint64_t>(t));
        done.Wait();
        ms.push_back(Seconds(done.at - t0) * 1e3);
        if (done.status != FILE_COMPRESS_STATUS_CANCELLED) ++*notCancelled;
    }
    LogCompExecUninit();
    FileCompressSetProgressHook(nullptr);
    return ms;
}

// ---- throughput

struct Run {
    double wall = 0;
    double cpu = 0;
    uint64_t outBytes = 0;
    int status = 0;
};

// One task of all files on a fresh worker, so the worker's CPU time is this task's alone.
Run ExecutorRun(const std::vector<std::string>& paths, bool dynamic) {
    for (const auto& p : paths) unlink((p + ".gz").c_str());
    Files files(paths);
    LogCompExecInit();
    LogCompExecSetDynamic(dynamic);
    Completion done;
    const auto t0 = Clock::now();
    Run run;
    if (Submit(1, files, &done)) {
        done.Wait();
        run = {Seconds(done.at - t0), done.workerCpu, 0, done.status};
    }
    LogCompExecUninit();
    for (const auto& p : paths) run.outBytes += FileSize(p + ".gz");
    return run;
}

Run GzipRun(const std::vector<std::string>& paths, const std::string& outDir) {
    const double cpu0 = ChildrenCpu();
    const auto t0 = Clock::now();
    Run run;
    for (const auto& p : paths) {
        const std::string out = outDir + "/" + p.substr(p.rfind('/') + 1) + ".gz";
        const std::string cmd = "gzip -4 -c '" + p + "' > '" + out + "'";
        if (std::system(cmd.c_str()) != 0) run.status = -1;
        run.outBytes += FileSize(out);
    }
    run.wall = Seconds(Clock::now() - t0);
    run.cpu = ChildrenCpu() - cpu0;
    return run;
}

// ---- report

// The q-quantile (0..1) by the nearest rank.
double Quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const auto rank = static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(rank, v.size() - 1)];
}

void Row(const char* name, const Run& r, uint64_t inBytes, double gzipMBs) {
    const double mbs = static_cast<double>(inBytes) / kMB / r.wall;
    std::printf("| %-22s | %8.1f | %8.2f | %8.2f | %7.0f %% | %12llu | %6d |\n", name, mbs,
                mbs / gzipMBs, r.cpu, 100.0 * r.cpu / r.wall,
                static_cast<unsigned long long>(r.outBytes), r.status);
}

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--quick") == 0) {
            o.mb = 20;
            o.trials = 20;
        } else if (std::strcmp(argv[i], "--mb") == 0 && hasValue) {
            o.mb = std::strtoul(argv[++i], nullptr, 10);
        } else if (std::strcmp(argv[i], "--trials") == 0 && hasValue) {
            o.trials = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--dir") == 0 && hasValue) {
            o.dir = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--mb N] [--trials N] [--dir DIR] [--quick]\n",
                         argv[0]);
            std::exit(2);
        }
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt = Parse(argc, argv);
    const bool ownDir = opt.dir.empty();
    if (ownDir) {
        char tmpl[] = "/tmp/exec_bench_XXXXXX";
        if (mkdtemp(tmpl) == nullptr) return 1;
        opt.dir = tmpl;
    }
    const std::string gzDir = opt.dir + "/gzip";
    mkdir(gzDir.c_str(), 0755);
    LogSysSetMinLevel(LEVEL_WARN);

    loggen::GenOptions gen;
    gen.bytesPerDay = opt.mb * 1000000;
    if (!loggen::GenerateDay(opt.dir, kDate, gen)) return 1;
    std::vector<std::string> paths;
    uint64_t inBytes = 0;
    for (const auto& name : loggen::DayFileNames(kDate)) {
        paths.push_back(opt.dir + "/" + name);
        inBytes += FileSize(paths.back());
    }

    // The day's largest file, unless it is too small for a delete to land mid-file.
    std::string bigFile = paths[0];
    if (FileSize(bigFile) < kCancelFileBytes) {
        bigFile = opt.dir + "/cancel.log";
        if (!loggen::GenerateFile(bigFile, kCancelFileBytes, 7)) return 1;
    }
    int notCancelled = 0;
    const auto ms = CancelLatencies(bigFile, opt.trials, &notCancelled);
    const Run gzip = GzipRun(paths, gzDir);
    const Run normal = ExecutorRun(paths, false);
    const Run dynamic = ExecutorRun(paths, true);
    const double gzipMBs = static_cast<double>(inBytes) / kMB / gzip.wall;

    std::printf(
        "Executor on a station-log day of %llu bytes (4 files), level 4, default slice "
        "%u bytes; MB = 10^6 bytes.\n\n",
        static_cast<unsigned long long>(inBytes), FileCompressDefaultSliceBytes());
    std::printf(
        "Cancel latency (delete of the running task -> callback), %zu trials on %s "
        "(%llu bytes):\n  median %.2f ms, p90 %.2f ms, max %.2f ms (target < 20 ms)%s\n",
        ms.size(), bigFile.substr(bigFile.rfind('/') + 1).c_str(),
        static_cast<unsigned long long>(FileSize(bigFile)), Quantile(ms, 0.5), Quantile(ms, 0.9),
        Quantile(ms, 1.0), notCancelled > 0 ? " -- some tasks finished before the delete" : "");
    double load[1] = {0};
    if (getloadavg(load, 1) == 1) {
        std::printf("  (1-minute load average %.1f on %ld cores: the cores are shared)\n", load[0],
                    sysconf(_SC_NPROCESSORS_ONLN));
    }
    std::printf("\n");
    std::printf("| %-22s | %8s | %8s | %8s | %9s | %12s | %6s |\n", "run", "MB/s", "x gzip",
                "CPU s", "CPU/wall", "output bytes", "status");
    std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(24, '-').c_str(),
                std::string(10, '-').c_str(), std::string(10, '-').c_str(),
                std::string(10, '-').c_str(), std::string(11, '-').c_str(),
                std::string(14, '-').c_str(), std::string(8, '-').c_str());
    Row("gzip -4 (process)", gzip, inBytes, gzipMBs);
    Row("executor, normal", normal, inBytes, gzipMBs);
    Row("executor, dynamic", dynamic, inBytes, gzipMBs);
    std::printf("\nTargets: normal >= 1.5 x gzip (later 2.0); output size vs gzip: %.3f\n",
                static_cast<double>(normal.outBytes) / static_cast<double>(gzip.outBytes));

    if (ownDir) {
        const std::string cmd = "rm -rf '" + opt.dir + "'";
        if (std::system(cmd.c_str()) != 0) return 1;
    }
    const bool ok = normal.status == 0 && dynamic.status == 0 && gzip.status == 0;
    return ok ? 0 : 1;
}
