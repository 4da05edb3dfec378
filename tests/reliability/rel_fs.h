// Small file helpers of the reliability tests.
#pragma once

#include <string>
#include <vector>

namespace rel {

bool ReadFile(const std::string& path, std::string* out);
bool WriteFile(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);
// Entry names of dir without "." and "..", sorted; empty when it cannot be read.
std::vector<std::string> ListDir(const std::string& dir);
// Creates dir (and its parents) and removes everything inside it.
bool EmptyDir(const std::string& dir);
// Copies every regular file of `from` into `to` (which must exist).
bool CopyFiles(const std::string& from, const std::string& to);
// Runs a line with /bin/sh; its output (stdout and stderr) in *out when given.
bool Shell(const std::string& cmd, std::string* out = nullptr);

}  // namespace rel
