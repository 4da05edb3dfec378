// A directory of one test, and a tmpfs for one test: mounted in a child process's own mount
// namespace, so it vanishes with the child and nothing reaches the machine's mounts.
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace hosttest {

// A new directory under /tmp (its path is the string), removed with its contents at the end.
struct TempDir : std::string {
    TempDir() : std::string("/tmp/hosttest.XXXXXX") {
        if (mkdtemp(&(*this)[0]) == nullptr) clear();
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(c_str(), ignored);
    }
    std::string operator/(const std::string& name) const { return *this + "/" + name; }
};

// Runs body in a child with a tmpfs of `size` (mount's size= option) on dir, and returns what
// body returned there ("" for success), or nullopt where this machine allows no private mount.
inline std::optional<std::string> InPrivateTmpfs(const std::string& dir, const std::string& size,
                                                 const std::function<std::string()>& body) {
    FILE* verdictFile = std::tmpfile();  // shared with the child, read once it ended
    if (verdictFile == nullptr) return "no temporary file";
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(120);  // a hung body ends as a failure
        const bool mounted = unshare(CLONE_NEWNS) == 0 &&
                             mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                             mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
        if (mounted) fputs(body().c_str(), verdictFile);
        exit(mounted ? 0 : 77);  // exit(), not _exit(): the sanitizers' leak check runs here too
    }
    int status = 0;
    const bool reaped = pid > 0 && waitpid(pid, &status, 0) == pid;
    std::string verdict(4096, '\0');
    rewind(verdictFile);
    verdict.resize(fread(&verdict[0], 1, verdict.size(), verdictFile));
    fclose(verdictFile);
    if (reaped && WIFEXITED(status) && WEXITSTATUS(status) == 77) return std::nullopt;
    if (!reaped || status != 0) verdict += " (child status " + std::to_string(status) + ")";
    return verdict;
}

}  // namespace hosttest
