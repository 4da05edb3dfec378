// Each claim printed is checked on disk: the archive's size and members (read back with tar),
// each compressed file, each restored file.
#include "tools/logcomp/report.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "tools/logcomp/console.h"
#include "tools/logcomp/signals.h"

extern char** environ;

namespace logcomp {
namespace {

constexpr size_t kMaxListed = 16;

// Members of a tar.gz, listed by tar itself; -1 when tar cannot read it.
long CountMembers(const std::string& archive) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    char* argv[] = {const_cast<char*>("tar"), const_cast<char*>("-tzf"),
                    const_cast<char*>(archive.c_str()), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, "tar", &actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    long lines = 0;
    char buf[4096];
    for (ssize_t n; rc == 0 && (n = read(fds[0], buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        for (ssize_t i = 0; i < n; ++i) lines += buf[i] == '\n';
    }
    close(fds[0]);
    int status = 0;
    if (rc != 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? lines : -1;
}

const char* ResultName(int result) {
    switch (result) {
        case LOG_COMP_TRIGGER_RESULT_REJECT:
            return "cancelled";
        case LOG_COMP_TRIGGER_RESULT_ONGOING:
            return "ongoing";
        case LOG_COMP_TRIGGER_RESULT_SUCCESS:
            return "success";
        case LOG_COMP_TRIGGER_RESULT_FAILED:
            return "failed";
        default:
            return "unknown";
    }
}

void ReportArchive(const Options& opts) {
    const int64_t size = FileSize(opts.output);
    if (size < 0) {
        Console::Get().Result("archive    %s is missing", opts.output.c_str());
        return;
    }
    Console::Get().Result("archive    %s, %s (%lld bytes)", opts.output.c_str(),
                          SizeText(static_cast<uint64_t>(size)).c_str(),
                          static_cast<long long>(size));
    const long members = CountMembers(opts.output);
    if (members < 0) {
        Console::Get().Result("packed     unknown: tar -tzf cannot read the archive");
    } else {
        Console::Get().Result("packed     %ld files (members listed by tar -tzf)", members);
    }
}

void ReportCompressed(const std::vector<LogFile>& files) {
    size_t done = 0;
    uint64_t in = 0, out = 0;
    for (const LogFile& f : files) {
        const int64_t gz = FileSize(f.path + ".gz");
        if (gz < 0) continue;
        ++done;
        in += f.bytes;
        out += static_cast<uint64_t>(gz);
        if (files.size() <= kMaxListed) {
            Console::Get().Result("  %s.gz  %s -> %s", f.name.c_str(), SizeText(f.bytes).c_str(),
                                  SizeText(static_cast<uint64_t>(gz)).c_str());
        }
    }
    Console::Get().Result("compressed %zu of %zu files, %s -> %s", done, files.size(),
                          SizeText(in).c_str(), SizeText(out).c_str());
}

// After a failed or cancelled package the library unpacks the archive again.
void ReportRestore(const Options& opts, const std::vector<LogFile>& files) {
    size_t back = 0;
    for (const LogFile& f : files) {
        back += FileSize(f.path) == static_cast<int64_t>(f.bytes);
    }
    Console::Get().Result("restored   %zu of %zu packed files back in %s, sizes unchanged", back,
                          files.size(), LogDir());
    const std::string tar = opts.output.substr(0, opts.output.size() - 3);
    if (FileSize(tar) >= 0) Console::Get().Result("left       %s", tar.c_str());
}

}  // namespace

int ReportOutcome(const Options& opts, const RequestOutcome& outcome,
                  const std::vector<LogFile>& files) {
    const bool package = opts.command == Command::kPackage;
    Console& out = Console::Get();
    out.Result("request    %s (%s %s to %s)", opts.id.c_str(), package ? "package" : "compress",
               opts.dates.front().c_str(), opts.dates.back().c_str());
    if (outcome.refused) {
        if (files.empty()) {
            out.Error("no log files of %s to %s in %s", opts.dates.front().c_str(),
                      opts.dates.back().c_str(), LogDir());
        }
        out.Error("the library dropped the request without a result:");
        for (const std::string& r : outcome.reasons) out.Error("  %s", r.c_str());
        const std::string tar = opts.output.substr(0, opts.output.size() - 3);
        if (package && FileSize(tar) >= 0) out.Error("  the archive %s was left", tar.c_str());
        return outcome.signal != 0 ? ExitStatusAfter(outcome.signal) : kExitFailed;
    }
    out.Result("result     %d %s", outcome.result, ResultName(outcome.result));
    out.Result("message    %s", outcome.message.empty() ? "(none)" : outcome.message.c_str());
    const bool ok = outcome.result == LOG_COMP_TRIGGER_RESULT_SUCCESS;
    if (package && ok) ReportArchive(opts);
    if (package && !ok) ReportRestore(opts, files);
    if (!package) ReportCompressed(files);
    if (ok) return kExitOk;
    return outcome.signal != 0 && outcome.result == LOG_COMP_TRIGGER_RESULT_REJECT
               ? ExitStatusAfter(outcome.signal)
               : kExitFailed;
}

}  // namespace logcomp
