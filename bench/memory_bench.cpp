// Peak resident memory of the executor compressing one generated file, in a fresh child
// process per file size: the child starts the executor, reads its VmHWM (the idle process),
// compresses the file as one task and reads VmHWM again. The difference is what compressing
// costs; it should not grow with the file.
// Usage: memory_bench --dir SCRATCH [--large-mib N] [--small-mib N]   (default 1024 and 100)
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "bench/bench_common.h"
#include "bench/bench_exec.h"
#include "tools/loggen/station_log_gen.h"
#include "logsys/log_sys.h"
#include "logsys/log_sys_host.h"

extern char** environ;

namespace {

using namespace bench;

long VmHwmKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

// In the child: "<idle KiB> <peak KiB> <status>" on stdout.
int Child(const std::string& file) {
    LogSysSetMinLevel(LEVEL_WARN);
    LogCompExecInit();
    const long idle = VmHwmKiB();
    Files files({file});
    Completion done;
    const bool submitted = Submit(1, files, &done);
    if (submitted) done.Wait();
    const long peak = VmHwmKiB();
    LogCompExecUninit();
    unlink((file + ".gz").c_str());
    std::printf("%ld %ld %d\n", idle, peak, submitted ? done.status : -1);
    return 0;
}

struct Peak {
    long idleKiB = -1, peakKiB = -1;
    int status = -1;
    double MiB() const { return static_cast<double>(peakKiB - idleKiB) / 1024; }
};

Peak Measure(const std::string& self, const std::string& file) {
    char* argv[] = {const_cast<char*>(self.c_str()), const_cast<char*>("--child"),
                    const_cast<char*>(file.c_str()), nullptr};
    int fds[2];
    Peak p;
    if (pipe(fds) != 0) return p;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], STDOUT_FILENO);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, self.c_str(), &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    char buf[128] = {};
    const ssize_t n = rc == 0 ? read(fds[0], buf, sizeof buf - 1) : -1;
    close(fds[0]);
    int status = 0;
    if (rc == 0) waitpid(pid, &status, 0);
    if (n > 0) std::sscanf(buf, "%ld %ld %d", &p.idleKiB, &p.peakKiB, &p.status);
    return p;
}

bool MeasureSize(const std::string& self, const std::string& dir, size_t mib, Peak* out) {
    const std::string file = dir + "/memory-" + std::to_string(mib) + "MiB.log";
    if (!loggen::GenerateFile(file, mib << 20, 11)) return false;
    *out = Measure(self, file);
    unlink(file.c_str());
    std::printf("%5zu MiB file: idle VmHWM %ld KiB, peak VmHWM %ld KiB, status %d\n", mib,
                out->idleKiB, out->peakKiB, out->status);
    return out->status == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--child") == 0) return Child(argv[2]);
    std::string dir;
    size_t large = 1024, small = 100;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--dir") == 0) dir = argv[i + 1];
        if (std::strcmp(argv[i], "--large-mib") == 0)
            large = std::strtoul(argv[i + 1], nullptr, 10);
        if (std::strcmp(argv[i], "--small-mib") == 0)
            small = std::strtoul(argv[i + 1], nullptr, 10);
    }
    if (dir.empty()) {
        std::fprintf(stderr, "usage: %s --dir SCRATCH [--large-mib N] [--small-mib N]\n", argv[0]);
        return 2;
    }
    const std::string self = "/proc/self/exe";
    Peak big, little;
    if (!MeasureSize(self, dir, large, &big) || !MeasureSize(self, dir, small, &little)) return 1;
    char what[96];
    std::snprintf(what, sizeof what, "peak RSS - idle process, %zu MiB file", large);
    Row("4 memory", what, "<= 16 MiB", Verdict(big.MiB() <= 16), "%.1f MiB", big.MiB());
    std::snprintf(what, sizeof what, "peak RSS - idle process, %zu MiB file", small);
    Row("4 memory", what, "<= 16 MiB", Verdict(little.MiB() <= 16), "%.1f MiB", little.MiB());
    std::snprintf(what, sizeof what, "growth from %zu MiB to %zu MiB of input", small, large);
    const double growth = big.MiB() - little.MiB();
    Row("4 memory", what, "flat (< 1 MiB)", Verdict(growth < 1), "%+.2f MiB", growth);
    return 0;
}
