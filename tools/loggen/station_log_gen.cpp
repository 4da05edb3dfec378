// Public entry points of the log generator: names, dates, and writing files.
#include "tools/loggen/station_log_gen.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>

#include "fileUtils/write_all.h"
#include "logCompress/LogNameRules.h"
#include "tools/loggen/station_text.h"

namespace loggen {
namespace {

constexpr size_t kChunk = 1u << 20;
constexpr int64_t kSecondsPerDay = 86400;
constexpr const char* kNameRules[kLogKindCount] = {LOG_NAME_RULE_FORMATS};
static_assert(kLogKindCount == LOG_NAME_RULE_COUNT, "one kind of log per name rule");
constexpr unsigned kSharePercent[kLogKindCount] = {55, 20, 10, 15};

uint64_t Mix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// Each file of each day gets its own stream, so days and kinds never repeat each other.
uint64_t FileSeed(uint64_t seed, const std::string& date, LogKind kind) {
    uint64_t h = Mix(seed);
    for (char c : date) h = Mix(h ^ static_cast<unsigned char>(c));
    return Mix(h ^ static_cast<uint64_t>(kind));
}

// Epoch second of 00:00 UTC of a strict "YYYY-MM-DD" date, or -1.
int64_t DayStart(const std::string& date) {
    int y = 0, m = 0, d = 0;
    char extra = 0;
    if (date.size() != 10 || date[4] != '-' || date[7] != '-' ||
        std::sscanf(date.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &extra) != 3) {
        return -1;
    }
    struct tm t {};
    t.tm_year = y - 1900;
    t.tm_mon = m - 1;
    t.tm_mday = d;
    const time_t s = timegm(&t);
    if (t.tm_year != y - 1900 || t.tm_mon != m - 1 || t.tm_mday != d) return -1;
    return static_cast<int64_t>(s);
}

std::string DateOf(int64_t epoch) {
    const time_t t = static_cast<time_t>(epoch);
    struct tm b {};
    gmtime_r(&t, &b);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y-%m-%d", &b);
    return buf;
}

}  // namespace

std::string LogFileName(LogKind kind, const std::string& date) {
    char buf[128];
    std::snprintf(buf, sizeof buf, kNameRules[static_cast<int>(kind)], date.c_str());
    return buf;
}

std::vector<std::string> DayFileNames(const std::string& date) {
    std::vector<std::string> names;
    names.reserve(kLogKindCount);
    for (int k = 0; k < kLogKindCount; ++k) names.push_back(LogFileName(LogKind(k), date));
    return names;
}

size_t KindBytes(LogKind kind, size_t bytesPerDay) {
    if (kind == LogKind::kMain) {
        // The main log takes the rounding remainder so the shares add up exactly.
        size_t rest = bytesPerDay;
        for (int k = 1; k < kLogKindCount; ++k) rest -= KindBytes(LogKind(k), bytesPerDay);
        return rest;
    }
    return static_cast<size_t>(static_cast<unsigned __int128>(bytesPerDay) *
                               kSharePercent[static_cast<int>(kind)] / 100);
}

bool GenerateLog(const std::string& path, LogKind kind, const std::string& date, size_t bytes,
                 uint64_t seed) {
    const int64_t start = DayStart(date);
    if (start < 0) return false;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::unique_ptr<char[]> buf(new char[kChunk]);
    StationText text(kind, start, bytes, seed);
    bool ok = true;
    while (ok && !text.Done()) ok = WriteAll(fd, buf.get(), text.Read(buf.get(), kChunk));
    return ::close(fd) == 0 && ok;
}

std::string GenerateText(LogKind kind, const std::string& date, size_t bytes, uint64_t seed) {
    const int64_t start = DayStart(date);
    if (start < 0) return {};
    std::string out(bytes + StationText::kMaxLine, '\0');
    StationText text(kind, start, bytes, seed);
    size_t pos = 0;
    while (!text.Done()) pos += text.Read(&out[pos], out.size() - pos);
    out.resize(pos);
    return out;
}

bool GenerateDay(const std::string& dir, const std::string& date, const GenOptions& opts) {
    if (DayStart(date) < 0) return false;
    for (int k = 0; k < kLogKindCount; ++k) {
        const LogKind kind = LogKind(k);
        if (!GenerateLog(dir + "/" + LogFileName(kind, date), kind, date,
                         KindBytes(kind, opts.bytesPerDay), FileSeed(opts.seed, date, kind))) {
            return false;
        }
    }
    return true;
}

bool GenerateFile(const std::string& path, size_t bytes, uint64_t seed, const std::string& date) {
    return GenerateLog(path, LogKind::kMain, date, bytes, FileSeed(seed, date, LogKind::kMain));
}

std::string UtcDate(int daysBack) {
    return DateOf(static_cast<int64_t>(::time(nullptr)) - kSecondsPerDay * daysBack);
}

std::vector<std::string> DateRange(const std::string& from, const std::string& to) {
    const int64_t a = DayStart(from);
    const int64_t b = DayStart(to);
    std::vector<std::string> dates;
    if (a < 0 || b < 0) return dates;
    for (int64_t t = a; t <= b; t += kSecondsPerDay) dates.push_back(DateOf(t));
    return dates;
}

bool GenerateDaysEndingToday(const std::string& dir, int days, const GenOptions& opts,
                             std::vector<std::string>* dates) {
    if (dates != nullptr) dates->clear();
    for (int back = days - 1; back >= 0; --back) {
        const std::string date = UtcDate(back);
        if (!GenerateDay(dir, date, opts)) return false;
        if (dates != nullptr) dates->push_back(date);
    }
    return true;
}

}  // namespace loggen
