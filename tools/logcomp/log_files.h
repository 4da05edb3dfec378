// The log files of a date range as the library selects them, looked up before a request is
// posted: to refuse a range without logs clearly, and to know the work ahead.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace logcomp {

struct LogFile {
    std::string name;  // e.g. "2026-12-03-csms.log"
    std::string path;  // in the log directory
    uint64_t bytes = 0;
};

// The existing regular files of each date ("%Y-%m-%d") under the four name rules of the
// station's logs, date by date, in the library's order.
std::vector<LogFile> FindLogFiles(const std::string& dir, const std::vector<std::string>& dates);

uint64_t TotalBytes(const std::vector<LogFile>& files);

// Human-readable size: "812 B", "3.4 KiB", "12.5 MiB", "1.2 GiB".
std::string SizeText(uint64_t bytes);

// Size of a file, or -1 when it does not exist.
int64_t FileSize(const std::string& path);

}  // namespace logcomp
