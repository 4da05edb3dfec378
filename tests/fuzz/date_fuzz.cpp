// Fuzzes day parsing (table and caller-given formats) and the range generators on
// arbitrary bytes. Input: one control byte (bit 0: also build work days, the rest: the
// signed initial capacity), then two texts separated by a NUL. The second text is also
// used as a strptime format for the first.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "logCompress/DateParse.h"

namespace {

// Dates are short; longer inputs only slow the search down.
constexpr size_t kMaxInput = 64;
constexpr long kMaxDays = 73049;  // 1900-01-01 .. 2099-12-31

void Check(bool ok) {
    if (!ok) {
        abort();
    }
}

// Days since 1970-01-01 of a proleptic Gregorian date; linear in the day, so a day past
// the end of its month counts into the next one, as the range does.
long DaysFromCivil(long year, long month, long day) {
    year -= month <= 2 ? 1 : 0;
    const long era = (year >= 0 ? year : year - 399) / 400;
    const long yoe = year - era * 400;
    const long doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

long DaysOf(const struct tm& date) {
    return DaysFromCivil(date.tm_year + 1900L, date.tm_mon + 1L, date.tm_mday);
}

void CheckParsed(const struct tm& date) {
    Check(date.tm_mon >= 0 && date.tm_mon <= 11);
    Check(date.tm_mday >= 1 && date.tm_mday <= 31);
    Check(date.tm_isdst == 0 && date.tm_hour == 0 && date.tm_min == 0 && date.tm_sec == 0);
}

// Every entry is a "%Y-%m-%d" text, strictly ascending.
void CheckList(const DateList* list) {
    Check(list->count >= 0 && list->count <= list->capacity);
    for (int i = 0; i < list->count; ++i) {
        Check(strlen(list->dates[i]) == 10);
        Check(i == 0 || strcmp(list->dates[i - 1], list->dates[i]) < 0);
    }
}

void FuzzRange(const char* begin, const char* end, int capacity, bool workdays) {
    struct tm first = {};
    struct tm second = {};
    const bool parsed = ParseDateEx(begin, &first, nullptr) && ParseDateEx(end, &second, nullptr);
    DateList* range = GenerateDateRange(begin, end, capacity);
    const bool inYears = parsed && first.tm_year >= 0 && first.tm_year <= 199 &&
                         second.tm_year >= 0 && second.tm_year <= 199;
    Check((range != nullptr) == inYears);
    if (range != nullptr) {
        CheckList(range);
        Check(range->count == labs(DaysOf(first) - DaysOf(second)) + 1);
        Check(range->count <= kMaxDays);
    }
    if (workdays) {
        DateList* work = GenerateWorkdays(begin, end, capacity);
        Check((work != nullptr) == (range != nullptr));
        if (work != nullptr) {
            CheckList(work);
            Check(work->count <= range->count);
        }
        FreeDateList(work);
    }
    FreeDateList(range);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > kMaxInput) {
        return 0;
    }
    const int capacity = static_cast<int8_t>(data[0]) >> 1;
    const bool workdays = (data[0] & 1u) != 0;
    // Two NUL-terminated texts: up to the first NUL, and what follows it.
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    const char* first = text.c_str();
    const size_t nul = text.find('\0');
    const char* second = nul == std::string::npos ? "" : first + nul + 1;

    struct tm date = {};
    if (ParseDateEx(first, &date, nullptr)) {
        CheckParsed(date);
    }
    if (ParseDateEx(second, &date, nullptr)) {
        CheckParsed(date);
    }
    ParseDateEx(first, &date, second);
    FuzzRange(first, second, capacity, workdays);
    return 0;
}
