// Date utilities: calendar days as struct tm and lists of "%Y-%m-%d" strings.
//
// Everything here works on UTC calendar days (strptime, timegm, gmtime_r, strftime with
// digit-only formats), so neither the process's time zone nor its locale changes a
// result. Lists are plain calloc/realloc/free blocks because they cross the C boundary
// and are released by FreeDateList, whichever side made them. Failures are reported by
// the result only; nothing here logs one.
#include "logCompress/DateParse.h"

#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "logCompress/DateParseInternal.h"
#include "logCompress/LogCompLog.h"

namespace {

constexpr const char* kDayFormat = "%Y-%m-%d";
constexpr int kFormatBufferSize = 32;
constexpr int kDefaultListCapacity = 30;
constexpr int kMinTmYear = 0;    // 1900
constexpr int kMaxTmYear = 199;  // 2099
constexpr int kNoonHour = 12;

// Tried in this order when the caller names no format; the first full match wins, so
// 07/03/2024 is 7 March (day first) and only a day above 12 reaches the month-first form.
constexpr std::array<const char*, 8> kFormats = {
    "%Y-%m-%d", "%Y/%m/%d", "%Y%m%d", "%Y年%m月%d日", "%d-%m-%Y", "%d/%m/%Y", "%m/%d/%Y", nullptr,
};

// February stands at 28; the leap day is added by rule.
constexpr std::array<int, 12> kDaysInMonth = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// strptime under the full-match rule: no character may be left over.
bool ParseFull(const char* strDate, struct tm* result, const char* format) {
    const char* end = strptime(strDate, format, result);
    return end != nullptr && *end == '\0';
}

char* CopyString(const char* text) {
    size_t len = strlen(text);
    auto* copy = static_cast<char*>(calloc(len + 1, 1));
    if (copy != nullptr) {
        memcpy(copy, text, len + 1);
    }
    return copy;
}

// Noon keeps the day away from either edge of the conversion.
bool ToUtcNoon(struct tm* date, time_t* out) {
    date->tm_hour = kNoonHour;
    date->tm_min = 0;
    date->tm_sec = 0;
    date->tm_isdst = 0;
    *out = timegm(date);
    return *out != static_cast<time_t>(-1);
}

void ToUtcDay(time_t when, struct tm* out) {
    gmtime_r(&when, out);
    out->tm_hour = 0;
    out->tm_min = 0;
    out->tm_sec = 0;
    out->tm_isdst = 0;
}

// Zeller's congruence, renumbered so that 0 is Sunday, 1 Monday ... 6 Saturday.
int DayOfWeek(const struct tm& date) {
    int year = date.tm_year + 1900;
    int month = date.tm_mon + 1;
    int day = date.tm_mday;
    if (month == 1 || month == 2) {
        month += 12;
        year -= 1;
    }
    int century = year / 100;
    year = year % 100;
    int weekday = (day + 13 * (month + 1) / 5 + year + year / 4 + century / 4 + 5 * century) % 7;
    return (weekday + 6) % 7;
}

// The station operator's work week: Monday to Friday.
bool IsWorkday(int weekday) {
    return weekday >= 1 && weekday <= 5;
}

// Formats one day and appends it; the formatted text is released either way.
bool AppendDay(DateList* list, const struct tm& date) {
    char* text = FormatDateEx(&date, kDayFormat);
    if (text == nullptr) {
        return false;
    }
    bool added = AddDateToList(list, text);
    free(text);
    return added;
}

bool IsWorkdayText(const char* text) {
    struct tm date = {};
    return ParseDateEx(text, &date, kDayFormat) && IsWorkday(DayOfWeek(date));
}

}  // namespace

bool ParseDateEx(const char* strDate, struct tm* result, const char* format) {
    if (strDate == nullptr || result == nullptr) {
        return false;
    }
    *result = {};
    if (format != nullptr) {
        if (!ParseFull(strDate, result, format)) {
            return false;
        }
        result->tm_isdst = 0;
        return true;
    }
    for (const char* slot : kFormats) {
        if (slot == nullptr) {
            break;
        }
        *result = {};
        if (ParseFull(strDate, result, slot)) {
            result->tm_isdst = 0;
            return true;
        }
    }
    return false;
}

bool IsValidDate(const struct tm* tm) {
    if (tm == nullptr) {
        return false;
    }
    return tm->tm_year >= kMinTmYear && tm->tm_year <= kMaxTmYear && tm->tm_mon >= 0 &&
           tm->tm_mon <= 11 && tm->tm_mday >= 1 && tm->tm_mday <= 31;
}

char* FormatDateEx(const struct tm* date, const char* format) {
    if (date == nullptr) {
        return nullptr;
    }
    char buffer[kFormatBufferSize] = {};
    size_t len = strftime(buffer, sizeof buffer, format != nullptr ? format : kDayFormat, date);
    if (len == 0) {
        return nullptr;  // nothing to show, or the text did not fit
    }
    return CopyString(buffer);
}

int CompareDates(const struct tm* date1, const struct tm* date2) {
    if (date1 == nullptr || date2 == nullptr) {
        return 0;
    }
    const int fields1[] = {date1->tm_year, date1->tm_mon, date1->tm_mday};
    const int fields2[] = {date2->tm_year, date2->tm_mon, date2->tm_mday};
    for (int i = 0; i < 3; ++i) {
        if (fields1[i] != fields2[i]) {
            return fields1[i] < fields2[i] ? -1 : 1;
        }
    }
    return 0;
}

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int GetDaysInMonth(int year, int month) {
    if (month < 1 || month > 12) {
        return 0;
    }
    if (month == 2 && IsLeapYear(year)) {
        return 29;
    }
    return kDaysInMonth[month - 1];
}

DateList* CreateDateList(int capacity) {
    auto* list = static_cast<DateList*>(calloc(1, sizeof(DateList)));
    if (list == nullptr) {
        return nullptr;
    }
    list->capacity = capacity >= 1 ? capacity : kDefaultListCapacity;
    list->count = 0;
    list->dates = static_cast<char**>(calloc(static_cast<size_t>(list->capacity), sizeof(char*)));
    if (list->dates == nullptr) {
        free(list);
        return nullptr;
    }
    return list;
}

void FreeDateList(DateList* list) {
    if (list == nullptr) {
        return;
    }
    for (int i = 0; i < list->count; ++i) {
        free(list->dates[i]);
    }
    free(list->dates);
    free(list);
}

bool AddDateToList(DateList* list, const char* strDate) {
    if (list == nullptr || strDate == nullptr) {
        return false;
    }
    char* copy = CopyString(strDate);
    if (copy == nullptr) {
        return false;
    }
    if (list->count >= list->capacity) {
        if (list->capacity > INT_MAX / 2) {
            free(copy);
            return false;  // doubling would overflow the count
        }
        int grown = list->capacity * 2;
        void* dates = realloc(list->dates, static_cast<size_t>(grown) * sizeof(char*));
        if (dates == nullptr) {
            free(copy);
            return false;  // the list keeps its old array
        }
        list->dates = static_cast<char**>(dates);
        list->capacity = grown;
    }
    list->dates[list->count++] = copy;
    return true;
}

DateRange GetDateRangeUTC(const char* strBeginTime, const char* strEndTime) {
    DateRange range = {};
    struct tm begin = {};
    struct tm end = {};
    if (!ParseDateEx(strBeginTime, &begin, nullptr) || !ParseDateEx(strEndTime, &end, nullptr)) {
        return range;
    }
    time_t beginTime = 0;
    time_t endTime = 0;
    if (!ToUtcNoon(&begin, &beginTime) || !ToUtcNoon(&end, &endTime)) {
        return range;
    }
    if (beginTime > endTime) {
        time_t earlier = endTime;
        endTime = beginTime;
        beginTime = earlier;
    }
    ToUtcDay(beginTime, &range.start);
    ToUtcDay(endTime, &range.end);
    return range;
}

bool IncrementDateByOneDay(struct tm* date) {
    if (date == nullptr) {
        return false;
    }
    int year = date->tm_year + 1900;
    int month = date->tm_mon;
    int day = date->tm_mday + 1;
    if (day > GetDaysInMonth(year, month + 1)) {
        day = 1;
        if (++month > 11) {
            month = 0;
            ++year;
        }
    }
    date->tm_mday = day;
    date->tm_mon = month;
    date->tm_year = year - 1900;
    return true;
}

DateList* GenerateDateRange(const char* strBeginTime, const char* strEndTime, int capacity) {
    DateRange range = GetDateRangeUTC(strBeginTime, strEndTime);
    if (!IsValidDate(&range.start) || !IsValidDate(&range.end)) {
        return nullptr;
    }
    DateList* list = CreateDateList(capacity);
    if (list == nullptr) {
        return nullptr;
    }
    struct tm current = range.start;
    while (AppendDay(list, current)) {
        if (CompareDates(&current, &range.end) == 0) {
            return list;
        }
        if (!IncrementDateByOneDay(&current)) {
            break;
        }
    }
    FreeDateList(list);
    return nullptr;
}

DateList* GenerateWorkdays(const char* strBeginTime, const char* strEndTime, int capacity) {
    DateList* allDates = GenerateDateRange(strBeginTime, strEndTime, 0);
    if (allDates == nullptr) {
        return nullptr;
    }
    DateList* workdays = CreateDateList(capacity);
    if (workdays == nullptr) {
        FreeDateList(allDates);
        return nullptr;
    }
    for (int i = 0; i < allDates->count; ++i) {
        if (IsWorkdayText(allDates->dates[i]) && !AddDateToList(workdays, allDates->dates[i])) {
            FreeDateList(allDates);
            FreeDateList(workdays);
            return nullptr;
        }
    }
    FreeDateList(allDates);
    return workdays;
}

void PrintDateList(const DateList* list) {
    if (list == nullptr || list->count <= 0) {
        return;
    }
    LC_LOG(LEVEL_INFO, "Total dates: %d", list->count);
    for (int i = 0; i < list->count; ++i) {
        LC_LOG(LEVEL_INFO, "%d. %s", i + 1, list->dates[i]);
    }
}
