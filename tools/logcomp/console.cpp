// One lock serializes the lines of every thread (main, signals, and the library's loop and
// worker through the log and progress hooks), so that a progress line never cuts another.
// Under systemd each stderr line starts with its syslog priority, as the log sink's do.
#include "tools/logcomp/logcomp.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <nlohmann/json.hpp>

#include "logCompress/LogCompTrigger.h"
#include "logsys/log_sys_host.h"

namespace logcomp {
namespace {

std::string Format(const char* prefix, const char* fmt, va_list args) {
    char buf[2048];
    // Every caller has called va_start; the analyzer cannot follow the list across calls.
    const int n = std::vsnprintf(buf, sizeof buf, fmt, args);  // NOLINT(clang-analyzer-valist.*)
    return prefix + std::string(buf, n < 0 ? 0 : std::min<size_t>(n, sizeof buf - 1));
}

void WriteAll(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a closed stream: nothing left to tell
        done += static_cast<size_t>(n);
    }
}

}  // namespace

Console::Console(bool quiet, bool json)
    : quiet_(quiet), json_(json), inPlace_(isatty(STDERR_FILENO) == 1) {}

void Console::Write(int fd, std::string text, int level) {
    if (text.empty() || text.back() != '\n') text.push_back('\n');
    if (fd == STDERR_FILENO) text.insert(0, LogSysJournalPrefix(level));
    std::lock_guard<std::mutex> lock(mu_);
    if (!progress_.empty()) WriteAll(STDERR_FILENO, "\r\033[K");
    WriteAll(fd, text);
    if (!progress_.empty()) WriteAll(STDERR_FILENO, "\r" + progress_ + "\033[K");
}

void Console::Result(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    if (!quiet_ && !json_) Write(STDOUT_FILENO, Format("", fmt, args));
    va_end(args);
}

// Ids, file names and the library's messages are bytes: invalid UTF-8 is replaced, not thrown.
void Console::Json(const nlohmann::ordered_json& object) {
    if (!json_) return;
    Write(STDOUT_FILENO, object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

void Console::Note(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    if (!quiet_) Write(STDERR_FILENO, Format("", fmt, args));
    va_end(args);
}

void Console::Error(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    Write(STDERR_FILENO, Format("logcomp: ", fmt, args), LEVEL_ERROR);
    va_end(args);
}

void Console::Line(int level, const std::string& line) {
    Write(STDERR_FILENO, line, level);
}

void Console::Progress(const std::string& text) {
    if (quiet_ || !inPlace_) {
        if (!quiet_) Write(STDERR_FILENO, text);
        return;
    }
    std::lock_guard<std::mutex> lock(mu_);
    progress_ = text;
    WriteAll(STDERR_FILENO, "\r" + progress_ + "\033[K");
}

void Console::EndProgress() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!progress_.empty()) WriteAll(STDERR_FILENO, "\r\033[K");
    progress_.clear();
}

std::string SizeText(uint64_t bytes) {
    static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes) / 1024.0;
    size_t unit = 0;
    for (; value >= 1024.0 && unit + 1 < std::size(kUnits); ++unit) value /= 1024.0;
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

const char* ResultName(int result) {
    static constexpr const char* kNames[] = {"cancelled", "ongoing", "success", "failed"};
    static_assert(LOG_COMP_TRIGGER_RESULT_REJECT == 0 && LOG_COMP_TRIGGER_RESULT_FAILED == 3);
    return result >= 0 && result < 4 ? kNames[result] : "unknown";
}

namespace {

constexpr size_t kMaxListed = 16;  // compressed files listed one by one

void PrintDrop(Console& out, const RequestRecord& r) {
    if (r.logFiles == 0) {
        out.Error("no log files of %s to %s in %s", r.first.c_str(), r.last.c_str(), LogDir());
    }
    out.Error("the library dropped the request without a result:");
    for (const std::string& reason : r.reasons) out.Error("  %s", reason.c_str());
    if (!r.tarLeft.empty()) out.Error("  the archive %s was left", r.tarLeft.c_str());
}

void PrintArchive(Console& out, const RequestRecord& r) {
    if (r.archiveBytes < 0) {
        out.Result("archive    %s is missing", r.archive.c_str());
        return;
    }
    out.Result("archive    %s, %s (%lld bytes)", r.archive.c_str(),
               SizeText(static_cast<uint64_t>(r.archiveBytes)).c_str(),
               static_cast<long long>(r.archiveBytes));
    if (r.members < 0) {
        out.Result("packed     unknown: tar -tzf cannot read the archive");
    } else {
        out.Result("packed     %ld files (members listed by tar -tzf)", r.members);
    }
}

// After a failed or cancelled package the library unpacks the archive again.
void PrintRestore(Console& out, const RequestRecord& r) {
    out.Result("restored   %zu of %zu packed files back in %s, sizes unchanged", r.restored,
               r.logFiles, LogDir());
    if (!r.tarLeft.empty()) out.Result("left       %s", r.tarLeft.c_str());
}

void PrintCompressed(Console& out, const std::vector<RequestRecord::Compressed>& files) {
    size_t done = 0;
    uint64_t in = 0, gz = 0;
    for (const RequestRecord::Compressed& f : files) {
        if (f.gzBytes < 0) continue;
        ++done;
        in += f.bytes;
        gz += static_cast<uint64_t>(f.gzBytes);
        if (files.size() > kMaxListed) continue;
        out.Result("  %s.gz  %s -> %s", f.name.c_str(), SizeText(f.bytes).c_str(),
                   SizeText(static_cast<uint64_t>(f.gzBytes)).c_str());
    }
    out.Result("compressed %zu of %zu files, %s -> %s", done, files.size(), SizeText(in).c_str(),
               SizeText(gz).c_str());
}

}  // namespace

void PrintRecord(Console& out, const RequestRecord& r) {
    out.Result("request    %s (%s %s to %s)", r.id.c_str(), r.package ? "package" : "compress",
               r.first.c_str(), r.last.c_str());
    if (r.dropped) {
        PrintDrop(out, r);
        return;
    }
    out.Result("result     %d %s", r.result, ResultName(r.result));
    out.Result("message    %s", r.message.empty() ? "(none)" : r.message.c_str());
    if (!r.package) {
        PrintCompressed(out, r.compressed);
    } else if (r.result == LOG_COMP_TRIGGER_RESULT_SUCCESS) {
        PrintArchive(out, r);
    } else {
        PrintRestore(out, r);
    }
}

}  // namespace logcomp
