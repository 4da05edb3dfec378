// Seeded generator of realistic charging-station logs for tests, benchmarks and demos.
// The same seed, date and size always give the same bytes. Timestamps stay inside the
// file's UTC day and never go backwards; every file ends with a newline.
#ifndef LOGGEN_STATION_LOG_GEN_H
#define LOGGEN_STATION_LOG_GEN_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace loggen {

// The four logs a station writes per day, in the order of the name rules.
enum class LogKind {
    kMain = 0,          // "<date>.log": the controller's own log
    kCsms = 1,          // "<date>-csms.log": messages exchanged with the central system
    kNetworkShell = 2,  // "<date>-network-shell.log": modem and network shell output
    kCsmsBroker = 3,    // "csms-broker-<date>.log": the local message broker
};
constexpr int kLogKindCount = 4;

struct GenOptions {
    uint64_t seed = 1;
    size_t bytesPerDay = 8u << 20;  // total of the four files of one day
};

// File name of `kind` for a "YYYY-MM-DD" date, e.g. "csms-broker-2026-12-03.log".
std::string LogFileName(LogKind kind, const std::string& date);
// The four file names of a date, in the order of LogKind.
std::vector<std::string> DayFileNames(const std::string& date);
// Share of a day's bytes that goes to `kind` (55/20/10/15 %); the four shares add up.
size_t KindBytes(LogKind kind, size_t bytesPerDay);

// Writes exactly `bytes` bytes of `kind` for `date` to `path` (replacing it).
bool GenerateLog(const std::string& path, LogKind kind, const std::string& date, size_t bytes,
                 uint64_t seed);
// Writes the four files of `date` into `dir` (which must exist). False on a bad date or an
// I/O error.
bool GenerateDay(const std::string& dir, const std::string& date, const GenOptions& opts);
// Writes one controller log of exactly `bytes` bytes to `path`, dated `date`.
bool GenerateFile(const std::string& path, size_t bytes, uint64_t seed,
                  const std::string& date = "2026-12-03");
// The same text as GenerateLog, in memory.
std::string GenerateText(LogKind kind, const std::string& date, size_t bytes, uint64_t seed);

// Today's UTC date shifted by `daysBack` days into the past, as "YYYY-MM-DD".
std::string UtcDate(int daysBack = 0);
// Every date from `from` to `to` inclusive ("YYYY-MM-DD"); empty when either is invalid or
// `from` is after `to`.
std::vector<std::string> DateRange(const std::string& from, const std::string& to);
// Writes the days from (today - days + 1) to today into `dir`; each day gets a seed derived
// from opts.seed and its date. Fills `dates` (oldest first) when given.
bool GenerateDaysEndingToday(const std::string& dir, int days, const GenOptions& opts,
                             std::vector<std::string>* dates = nullptr);

}  // namespace loggen

#endif  // LOGGEN_STATION_LOG_GEN_H
