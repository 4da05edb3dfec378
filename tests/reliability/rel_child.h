// Scenarios that must run in a process of their own: one that mounts a small tmpfs in a
// private mount namespace (invisible to every other process, gone with the child), and one
// that is killed on purpose. The child reports its findings through a pipe.
#pragma once

#include <functional>
#include <string>

namespace rel {

constexpr int kSkipCode = 77;

struct ChildOutcome {
    int code = -1;     // exit status; 128 + signal when killed; kSkipCode when skipped
    std::string text;  // what the child reported
};

// Runs body in a child with a tmpfs of `size` (e.g. "4m") mounted on mountDir in a mount
// namespace of its own. body returns "" on success, else its findings. kSkipCode (with the
// reason) when this machine does not let the test mount.
ChildOutcome RunOnPrivateTmpfs(const std::string& mountDir, const char* size,
                               const std::function<std::string()>& body, unsigned timeoutS);

// Writes into `path` until the file system has no byte left.
bool FillDisk(const std::string& path);

}  // namespace rel
