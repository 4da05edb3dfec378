// Small helpers shared by the benchmarks that bench/run.sh collects into one table.
//
// Every figure that enters the table is printed as one line
//   ROW|<item>|<measure>|<value>|<target>|<verdict>
// (verdict "met", "missed" or "-"); everything else a benchmark prints is detail for the log.
#ifndef BENCH_BENCH_COMMON_H
#define BENCH_BENCH_COMMON_H

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;
constexpr double kMB = 1e6;  // throughput is given in 10^6 bytes per second

inline double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

inline double SecondsOf(const timespec& ts) {
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

inline double ThreadCpu() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return SecondsOf(ts);
}

// CPU seconds (user + system) of the waited-for children of this process so far.
inline double ChildrenCpu() {
    rusage ru{};
    getrusage(RUSAGE_CHILDREN, &ru);
    auto sec = [](const timeval& tv) {
        return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
    };
    return sec(ru.ru_utime) + sec(ru.ru_stime);
}

// Seconds the task spent runnable but waiting for a CPU, from its schedstat (0 if unknown).
// Wall time less this is what the run would have taken with the cores to itself.
inline double RunQueueWait(const char* schedstat = "/proc/thread-self/schedstat") {
    FILE* f = std::fopen(schedstat, "r");
    unsigned long long onCpu = 0, waiting = 0;
    const bool ok = f != nullptr && std::fscanf(f, "%llu %llu", &onCpu, &waiting) == 2;
    if (f != nullptr) std::fclose(f);
    return ok ? static_cast<double>(waiting) / 1e9 : 0;
}

inline uint64_t FileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

inline double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const double pos = p * static_cast<double>(v.size() - 1);
    const size_t lo = static_cast<size_t>(pos);
    const size_t hi = std::min(lo + 1, v.size() - 1);
    return v[lo] + (v[hi] - v[lo]) * (pos - static_cast<double>(lo));
}

inline double Median(const std::vector<double>& v) {
    return Percentile(v, 0.5);
}

inline double Max(const std::vector<double>& v) {
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

// One line of the final table; value is printf-formatted.
inline void Row(const char* item, const char* measure, const char* target, const char* verdict,
                const char* fmt, ...) __attribute__((format(printf, 5, 6)));
inline void Row(const char* item, const char* measure, const char* target, const char* verdict,
                const char* fmt, ...) {
    char value[160];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(value, sizeof value, fmt, ap);
    va_end(ap);
    std::printf("ROW|%s|%s|%s|%s|%s\n", item, measure, value, target, verdict);
    std::fflush(stdout);
}

inline const char* Verdict(bool met) {
    return met ? "met" : "missed";
}

}  // namespace bench

#endif  // BENCH_BENCH_COMMON_H
