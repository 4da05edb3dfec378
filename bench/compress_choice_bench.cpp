// Which deflate engine and slice size for the file compressor?
//
// On one generated station-log day (default 200 MB, four files) this compares:
//   - "gzip -4" run as a process,
//   - zlib level 4, one streaming gzip member per file,
//   - libdeflate level 4, one gzip member per 1, 2 and 4 MiB slice,
//   - the compressor itself (FileCompress_Run) per slice size, with the duration of one
//     slice and the share of time a 1 ms delay between slices would take.
// Usage: compress_choice_bench [--mb N] [--dir DIR]   (DIR defaults to a fresh /tmp dir)
#include <dlfcn.h>
#include <fcntl.h>
#include <libdeflate.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "fileUtils/file_compress.h"
#include "fileUtils/file_compress_host.h"
#include "fileUtils/write_all.h"
#include "tools/loggen/station_log_gen.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kDate = "2026-12-03";

// Wall time suffers when other work shares the cores; CPU time shows the engine's own cost.
struct Result {
    double seconds = 0;
    double cpuSeconds = 0;
    uint64_t outBytes = 0;
    double maxSliceMs = 0;
    double meanSliceMs = 0;
};

double Since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

double CpuNow() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

uint64_t FileSize(const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

Result GzipProcess(const std::vector<std::string>& files) {
    Result r;
    for (const std::string& f : files) {
        const std::string out = f + ".bench.gz";
        const auto t0 = Clock::now();
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, 1);
            ::execlp("gzip", "gzip", "-4", "-c", f.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        struct rusage ru {};
        ::wait4(pid, &status, 0, &ru);
        r.seconds += Since(t0);
        r.cpuSeconds += static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                        static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
        r.outBytes += FileSize(out);
        ::unlink(out.c_str());
    }
    return r;
}

// zlib is not a dependency of the project; the benchmark borrows it at run time.
struct Zlib {
    decltype(&deflateInit2_) init = nullptr;
    decltype(&deflate) run = nullptr;
    decltype(&deflateEnd) end = nullptr;
    bool Load() {
        void* h = ::dlopen("libz.so.1", RTLD_NOW);
        if (h == nullptr) return false;
        init = reinterpret_cast<decltype(init)>(::dlsym(h, "deflateInit2_"));
        run = reinterpret_cast<decltype(run)>(::dlsym(h, "deflate"));
        end = reinterpret_cast<decltype(end)>(::dlsym(h, "deflateEnd"));
        return init != nullptr && run != nullptr && end != nullptr;
    }
};

uint64_t ZlibOne(const Zlib& z, const std::string& f, std::vector<unsigned char>& in,
                 std::vector<unsigned char>& out) {
    const std::string outPath = f + ".bench.gz";
    const int src = ::open(f.c_str(), O_RDONLY);
    const int dst = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    z_stream s{};
    z.init(&s, 4, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY, ZLIB_VERSION,
           static_cast<int>(sizeof s));
    int flush = Z_NO_FLUSH;
    while (flush != Z_FINISH) {
        const ssize_t n = ::read(src, in.data(), in.size());
        flush = n <= 0 ? Z_FINISH : Z_NO_FLUSH;
        s.next_in = in.data();
        s.avail_in = n > 0 ? static_cast<uInt>(n) : 0;
        do {
            s.next_out = out.data();
            s.avail_out = static_cast<uInt>(out.size());
            z.run(&s, flush);
            WriteAll(dst, out.data(), out.size() - s.avail_out);
        } while (s.avail_out == 0);
    }
    z.end(&s);
    ::close(src);
    ::close(dst);
    const uint64_t size = FileSize(outPath);
    ::unlink(outPath.c_str());
    return size;
}

Result ZlibStream(const std::vector<std::string>& files) {
    Result r;
    Zlib z;
    if (!z.Load()) {
        r.seconds = -1;
        return r;
    }
    std::vector<unsigned char> in(1 << 20), out(1 << 20);
    const auto t0 = Clock::now();
    const double c0 = CpuNow();
    for (const std::string& f : files) r.outBytes += ZlibOne(z, f, in, out);
    r.cpuSeconds = CpuNow() - c0;
    r.seconds = Since(t0);
    return r;
}

Result LibdeflateMembers(const std::vector<std::string>& files, size_t slice) {
    Result r;
    libdeflate_compressor* c = libdeflate_alloc_compressor(4);
    std::vector<unsigned char> in(slice), out(libdeflate_gzip_compress_bound(c, slice));
    const auto t0 = Clock::now();
    const double c0 = CpuNow();
    for (const std::string& f : files) {
        const std::string outPath = f + ".bench.gz";
        const int src = ::open(f.c_str(), O_RDONLY);
        const int dst = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ssize_t n;
        while ((n = ::read(src, in.data(), slice)) > 0) {
            const size_t z = libdeflate_gzip_compress(c, in.data(), static_cast<size_t>(n),
                                                      out.data(), out.size());
            WriteAll(dst, out.data(), z);
        }
        ::close(src);
        ::close(dst);
        r.outBytes += FileSize(outPath);
        ::unlink(outPath.c_str());
    }
    r.cpuSeconds = CpuNow() - c0;
    r.seconds = Since(t0);
    libdeflate_free_compressor(c);
    return r;
}

// Median of the real duration of the executor's 1 ms delay (nanosleep overshoots a little).
double MeasureSleepMs() {
    std::vector<double> ms;
    for (int i = 0; i < 200; ++i) {
        const auto t0 = Clock::now();
        const struct timespec d { 0, 1000000L };
        ::nanosleep(&d, nullptr);
        ms.push_back(Since(t0) * 1000);
    }
    std::nth_element(ms.begin(), ms.begin() + 100, ms.end());
    return ms[100];
}

// Slices are timed in CPU time so that other work on the machine does not inflate them; the
// delay's cost is then its measured length against the slice's.
Result ThroughCompressor(const std::vector<std::string>& files, uint32_t slice) {
    Result r;
    uint64_t slices = 0;
    double sliceSum = 0;
    const auto t0 = Clock::now();
    const double c0 = CpuNow();
    for (const std::string& f : files) {
        FILE_COMPRESS_CONFIG cfg{};
        std::snprintf(cfg.file, sizeof cfg.file, "%s", f.c_str());
        cfg.compressLevel = FILE_COMPRESS_LEVEL_4;
        cfg.segmentSize = slice;
        char outFile[256] = {};
        FILE_COMPRESS_HANDLE h = FileCompress_Start(&cfg, outFile, sizeof outFile);
        int ret = FILE_COMPRESS_STATUS_ONGOING;
        while (h != nullptr && ret == FILE_COMPRESS_STATUS_ONGOING) {
            const double s0 = CpuNow();
            ret = FileCompress_Run(h, 0);
            const double ms = (CpuNow() - s0) * 1000;
            r.maxSliceMs = std::max(r.maxSliceMs, ms);
            sliceSum += ms;
            ++slices;
        }
        FileCompress_Stop(h);
        r.outBytes += FileSize(f + ".gz");
        ::unlink((f + ".gz").c_str());
    }
    r.cpuSeconds = CpuNow() - c0;
    r.seconds = Since(t0);
    r.meanSliceMs = slices > 0 ? sliceSum / static_cast<double>(slices) : 0;
    return r;
}

void Row(const char* name, const Result& r, uint64_t inBytes) {
    if (r.seconds < 0) {
        std::printf("| %-34s | %9s | %9s | %12s | %6s | %s |\n", name, "n/a", "n/a", "-", "-", "-");
        return;
    }
    char slice[48] = "-";
    if (r.maxSliceMs > 0) {
        std::snprintf(slice, sizeof slice, "%.1f / %.1f", r.meanSliceMs, r.maxSliceMs);
    }
    std::printf("| %-34s | %9.1f | %9.1f | %12llu | %6.2f | %s |\n", name,
                static_cast<double>(inBytes) / 1e6 / r.cpuSeconds,
                static_cast<double>(inBytes) / 1e6 / r.seconds,
                static_cast<unsigned long long>(r.outBytes),
                static_cast<double>(inBytes) / static_cast<double>(r.outBytes), slice);
}

}  // namespace

int main(int argc, char** argv) {
    size_t mb = 200;
    std::string dir;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--mb") == 0) mb = std::strtoul(argv[i + 1], nullptr, 10);
        if (std::strcmp(argv[i], "--dir") == 0) dir = argv[i + 1];
    }
    char tmpl[] = "/tmp/compress-bench.XXXXXX";
    const bool ownDir = dir.empty();
    if (ownDir && ::mkdtemp(tmpl) == nullptr) return 1;
    if (ownDir) dir = tmpl;
    const uint64_t inBytes = static_cast<uint64_t>(mb) * 1000 * 1000;
    if (!loggen::GenerateDay(dir, kDate, {1, inBytes})) return 1;
    std::vector<std::string> files;
    for (const std::string& n : loggen::DayFileNames(kDate)) files.push_back(dir + "/" + n);

    std::printf("Station-log day of %llu bytes (4 files), level 4; MB = 10^6 bytes.\n\n",
                static_cast<unsigned long long>(inBytes));
    std::printf("| %-34s | %9s | %9s | %12s | %6s | %s |\n", "method", "CPU MB/s", "wall MB/s",
                "output bytes", "ratio", "slice CPU ms mean / max");
    std::printf("|%s|%s|%s|%s|%s|%s|\n", std::string(36, '-').c_str(), std::string(11, '-').c_str(),
                std::string(11, '-').c_str(), std::string(14, '-').c_str(),
                std::string(8, '-').c_str(), std::string(25, '-').c_str());
    Row("gzip -4 (process)", GzipProcess(files), inBytes);
    Row("zlib 4, streaming", ZlibStream(files), inBytes);
    for (size_t s : {1u << 20, 2u << 20, 4u << 20}) {
        char name[64];
        std::snprintf(name, sizeof name, "libdeflate 4, %zu MiB members", s >> 20);
        Row(name, LibdeflateMembers(files, s), inBytes);
    }
    const double sleepMs = MeasureSleepMs();
    std::vector<std::pair<uint32_t, double>> sliceMs;
    for (uint32_t s : {1u << 20, 2u << 20, 3u << 20, 4u << 20}) {
        char name[64];
        std::snprintf(name, sizeof name, "FileCompress_Run, %u MiB slices", s >> 20);
        const Result r = ThroughCompressor(files, s);
        Row(name, r, inBytes);
        sliceMs.emplace_back(s, r.meanSliceMs);
    }
    std::printf("\nA 1 ms delay sleeps %.3f ms here; its share of the time per slice:\n", sleepMs);
    for (const auto& [s, ms] : sliceMs) {
        std::printf("  %u MiB slices: %.1f %%\n", s >> 20, 100.0 * sleepMs / (sleepMs + ms));
    }
    std::printf("\nDefault slice: %u bytes\n", FileCompressDefaultSliceBytes());
    for (const std::string& f : files) ::unlink(f.c_str());
    if (ownDir) ::rmdir(dir.c_str());
    return 0;
}
