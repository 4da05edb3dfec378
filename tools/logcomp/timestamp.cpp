// RFC 3339 timestamps, as a back office writes them, reduced to the UTC day that the library's
// requests name: "2026-12-05T23:30:00-02:00" is 2026-12-06. Checked strictly: the library
// would roll a day past its month's end over, a timestamp must not.
#include <cctype>
#include <cstdio>
#include <ctime>

#include "logCompress/DateParse.h"
#include "tools/logcomp/logcomp.h"

namespace logcomp {
namespace {

// In `shape`, '0' stands for a digit and any other character for itself.
bool Shaped(const std::string& text, size_t at, const char* shape) {
    for (; *shape != '\0'; ++shape, ++at) {
        if (at >= text.size()) return false;
        const bool digit = std::isdigit(static_cast<unsigned char>(text[at])) != 0;
        if (*shape == '0' ? !digit : text[at] != *shape) return false;
    }
    return true;
}

int Field(const std::string& text, size_t at, size_t len) {
    return std::stoi(text.substr(at, len));
}

// What follows the seconds: an optional fraction, then "Z" or "+hh:mm" / "-hh:mm". Sets the
// offset east of UTC in minutes.
bool Offset(const std::string& text, size_t at, int* minutesEast) {
    if (at < text.size() && text[at] == '.') {
        const size_t digits = ++at;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
        if (at == digits) return false;
    }
    *minutesEast = 0;
    if (at + 1 == text.size() && (text[at] == 'Z' || text[at] == 'z')) return true;
    if (at + 6 != text.size() || (text[at] != '+' && text[at] != '-')) return false;
    if (!Shaped(text, at + 1, "00:00")) return false;
    const int hours = Field(text, at + 1, 2), minutes = Field(text, at + 4, 2);
    *minutesEast = (text[at] == '-' ? -1 : 1) * (hours * 60 + minutes);
    return hours <= 23 && minutes <= 59;
}

// The UTC day of a minute counted from a day's midnight; timegm carries it into the day before
// or after.
std::string UtcDay(int year, int month, int mday, int minute) {
    struct tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = mday;
    tm.tm_min = minute;
    const time_t utc = timegm(&tm);
    struct tm out {};
    gmtime_r(&utc, &out);
    char day[40];  // room for any int, though the years are 0000 to 9999 here
    std::snprintf(day, sizeof day, "%04d-%02d-%02d", out.tm_year + 1900, out.tm_mon + 1,
                  out.tm_mday);
    return day;
}

}  // namespace

bool TimestampDay(const std::string& text, std::string* day) {
    int offset = 0;
    // RFC 3339 lets "t" or a space stand for the "T".
    const bool shaped = Shaped(text, 0, "0000-00-00") && text.size() > 10 &&
                        (text[10] == 'T' || text[10] == 't' || text[10] == ' ') &&
                        Shaped(text, 11, "00:00:00") && Offset(text, 19, &offset);
    if (!shaped) return false;
    const int year = Field(text, 0, 4), month = Field(text, 5, 2), mday = Field(text, 8, 2);
    const int hour = Field(text, 11, 2), minute = Field(text, 14, 2), second = Field(text, 17, 2);
    // GetDaysInMonth is 0 for a month out of range; :60 is a leap second.
    if (mday > GetDaysInMonth(year, month) || mday < 1 || hour > 23 || minute > 59 || second > 60) {
        return false;
    }
    // The seconds never move the day: offsets are whole minutes.
    *day = UtcDay(year, month, mday, hour * 60 + minute - offset);
    return true;
}

}  // namespace logcomp
