// Checks of single command-line values: dates, paths, a time of day.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace logcomp {

constexpr size_t kMaxIdLen = 127;    // LOG_COMP_TRIGGER_REQ::strTaskId holds 128 bytes
constexpr size_t kMaxPathLen = 255;  // outputPath and LOG_MANAGER_CONFIG::logDir: 256 bytes
constexpr size_t kMaxMountLen = 4095;

// Both dates valid in a format the library accepts, and a range it can list; fills `dates`.
bool CheckDates(const std::string& from, const std::string& to, std::vector<std::string>* dates,
                std::string* error);

// An archive path: ends in ".tar.gz", made absolute against the working directory, in an
// existing directory.
bool CheckOutputPath(std::string* path, std::string* error);

// Neither the archive nor its ".tar" exists (packing would overwrite it). Checked once the
// library has resolved what an interrupted package left. A ".tar" left is named for what it
// is: a cut copy, a copy of logs all still in logDir, or the only copy of some of them (kept,
// and how to get them back).
bool CheckOutputFree(const std::string& archive, const std::string& logDir, std::string* error);

// An existing directory, made absolute, at most maxLen characters.
bool CheckDirectory(const char* what, std::string* path, size_t maxLen, std::string* error);

// "HH:MM:SS" or "HH:MM", 00:00:00 to 23:59:59.
bool ParseTimeOfDay(const std::string& text, int* hour, int* minute, int* second,
                    std::string* error);

}  // namespace logcomp
