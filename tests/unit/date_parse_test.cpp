// Day parsing, validation, formatting and comparison.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "logCompress/DateParse.h"
#include "logCompress/DateParseInternal.h"

namespace {

struct FreeDeleter {
    void operator()(char* p) const { free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

struct tm Day(int year, int month, int mday, int hour = 0) {
    struct tm date = {};
    date.tm_year = year - 1900;
    date.tm_mon = month - 1;
    date.tm_mday = mday;
    date.tm_hour = hour;
    return date;
}

// A record full of leftovers, to see that a parse starts from zero.
struct tm Dirty() {
    struct tm date = {};
    date.tm_hour = 5;
    date.tm_min = 6;
    date.tm_sec = 7;
    date.tm_isdst = 1;
    date.tm_year = 77;
    return date;
}

struct ParseCase {
    const char* text;
    const char* format;
    bool ok;
    int year, month, mday;
};

TEST(DateParseTest, FormatsFullMatchAndOrder) {
    const ParseCase cases[] = {
        {"2024-03-07", nullptr, true, 2024, 3, 7},
        {"2024/03/07", nullptr, true, 2024, 3, 7},
        {"20240307", nullptr, true, 2024, 3, 7},
        {"2024年03月07日", nullptr, true, 2024, 3, 7},
        {"07-03-2024", nullptr, true, 2024, 3, 7},
        {"07/03/2024", nullptr, true, 2024, 3, 7},   // day-first is tried first
        {"03/31/2024", nullptr, true, 2024, 3, 31},  // 31 is no month: month-first
        {"12/11/2024", nullptr, true, 2024, 11, 12},
        {"2024-3-7", nullptr, true, 2024, 3, 7},
        {"2024-02-30", nullptr, true, 2024, 2, 30},  // rolled over later, by the range
        {"31/12/2099", nullptr, true, 2099, 12, 31},
        {"2024-03-07 10:00", nullptr, false, 0, 0, 0},
        {"2024-03-07x", nullptr, false, 0, 0, 0},
        {"", nullptr, false, 0, 0, 0},
        {"2024-13-01", nullptr, false, 0, 0, 0},
        {"2024-03-32", nullptr, false, 0, 0, 0},
        {"13/13/2024", nullptr, false, 0, 0, 0},
        {"2024.03.07", nullptr, false, 0, 0, 0},
        {"2024/03/07", "%Y-%m-%d", false, 0, 0, 0},  // a given format never falls back
        {"2024-03-07", "%Y-%m-%d", true, 2024, 3, 7},
        {"07.03.2024", "%d.%m.%Y", true, 2024, 3, 7},
        {"07.03.2024x", "%d.%m.%Y", false, 0, 0, 0},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " / " + (c.format ? c.format : "(table)"));
        struct tm date = Dirty();
        ASSERT_EQ(ParseDateEx(c.text, &date, c.format), c.ok);
        if (!c.ok) {
            continue;
        }
        EXPECT_EQ(date.tm_year, c.year - 1900);
        EXPECT_EQ(date.tm_mon, c.month - 1);
        EXPECT_EQ(date.tm_mday, c.mday);
        EXPECT_EQ(date.tm_hour, 0);
        EXPECT_EQ(date.tm_min, 0);
        EXPECT_EQ(date.tm_sec, 0);
        EXPECT_EQ(date.tm_isdst, 0);
    }
}

TEST(DateParseTest, NullArgumentsLeaveTheDateAlone) {
    struct tm date = Dirty();
    EXPECT_FALSE(ParseDateEx(nullptr, &date, nullptr));
    EXPECT_FALSE(ParseDateEx(nullptr, &date, "%Y-%m-%d"));
    EXPECT_EQ(date.tm_hour, 5);
    EXPECT_EQ(date.tm_year, 77);
    EXPECT_FALSE(ParseDateEx("2024-03-07", nullptr, nullptr));
}

TEST(DateParseTest, ValidationBounds) {
    struct Case {
        int tmYear, tmMon, tmMday;
        bool ok;
    };
    const Case cases[] = {
        {0, 0, 1, true},     {199, 11, 31, true}, {-1, 0, 1, false},  {200, 0, 1, false},
        {124, 12, 1, false}, {124, -1, 1, false}, {124, 1, 31, true},  // no month-length check
        {124, 0, 0, false},  {124, 0, 32, false},
    };
    for (const Case& c : cases) {
        struct tm date = {};
        date.tm_year = c.tmYear;
        date.tm_mon = c.tmMon;
        date.tm_mday = c.tmMday;
        EXPECT_EQ(IsValidDate(&date), c.ok) << c.tmYear << " " << c.tmMon << " " << c.tmMday;
    }
    EXPECT_FALSE(IsValidDate(nullptr));
}

TEST(DateParseTest, CompareUsesTheDayOnly) {
    const struct tm a = Day(2024, 3, 7);
    const struct tm b = Day(2024, 3, 8);
    EXPECT_EQ(CompareDates(&a, &b), -1);
    EXPECT_EQ(CompareDates(&b, &a), 1);
    EXPECT_EQ(CompareDates(&a, &a), 0);
    const struct tm morning = Day(2024, 3, 7, 6);
    const struct tm evening = Day(2024, 3, 7, 22);
    EXPECT_EQ(CompareDates(&morning, &evening), 0);
    const struct tm lastYear = Day(2023, 12, 31);
    const struct tm february = Day(2024, 2, 29);
    EXPECT_EQ(CompareDates(&lastYear, &a), -1);  // year decides before month and day
    EXPECT_EQ(CompareDates(&a, &february), 1);   // month decides before day
    EXPECT_EQ(CompareDates(nullptr, &a), 0);
    EXPECT_EQ(CompareDates(&a, nullptr), 0);
}

TEST(DateParseTest, LeapYearsAndMonthLengths) {
    struct Case {
        int year, month;
        bool leap;
        int days;
    };
    const Case cases[] = {
        {2024, 2, true, 29},  {2023, 2, false, 28}, {1900, 2, false, 28},  {2000, 2, true, 29},
        {2023, 4, false, 30}, {2023, 1, false, 31}, {2023, 12, false, 31}, {2023, 0, false, 0},
        {2023, 13, false, 0}, {2100, 2, false, 28}, {2024, 9, true, 30},   {2024, -1, true, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsLeapYear(c.year), c.leap) << c.year;
        EXPECT_EQ(GetDaysInMonth(c.year, c.month), c.days) << c.year << "-" << c.month;
    }
}

TEST(DateParseTest, FormatDate) {
    const struct tm date = Day(2024, 3, 7);
    EXPECT_STREQ(CString(FormatDateEx(&date, nullptr)).get(), "2024-03-07");
    EXPECT_STREQ(CString(FormatDateEx(&date, "%d.%m.%Y")).get(), "07.03.2024");
    // 31 characters fit the buffer; 32 do not, and give nothing rather than a cut text.
    EXPECT_STREQ(CString(FormatDateEx(&date, "%Y-%m-%d %Y-%m-%d %Y%m%d!")).get(),
                 "2024-03-07 2024-03-07 20240307!");
    EXPECT_EQ(CString(FormatDateEx(&date, "%Y-%m-%d %Y-%m-%d %Y%m%d!!")).get(), nullptr);
    EXPECT_EQ(FormatDateEx(nullptr, nullptr), nullptr);
}

TEST(DateParseTest, RangeOrdersAndRollsOver) {
    DateRange range = GetDateRangeUTC("2024-03-01", "2024-02-30");
    EXPECT_EQ(CompareDates(&range.start, &range.end), 0);  // both are 1 March
    EXPECT_EQ(range.start.tm_mon, 2);
    EXPECT_EQ(range.start.tm_mday, 1);
    EXPECT_EQ(range.start.tm_wday, 5);  // a Friday
    EXPECT_EQ(range.start.tm_hour, 0);
    EXPECT_EQ(range.end.tm_isdst, 0);

    range = GetDateRangeUTC("31/12/2024", "20240101");
    EXPECT_EQ(range.start.tm_year, 124);
    EXPECT_EQ(range.start.tm_mon, 0);
    EXPECT_EQ(range.end.tm_mon, 11);
    EXPECT_EQ(range.end.tm_mday, 31);

    for (const char* bad : {"", "2024-03-07x", "tomorrow"}) {
        range = GetDateRangeUTC("2024-03-07", bad);
        EXPECT_EQ(range.start.tm_mday, 0) << bad;
        EXPECT_EQ(range.end.tm_mday, 0) << bad;
    }
    EXPECT_EQ(GetDateRangeUTC(nullptr, "2024-03-07").start.tm_mday, 0);
}

TEST(DateParseTest, IncrementAcrossMonthsYearsAndLeapDays) {
    struct Case {
        int year, month, mday;
        int nextYear, nextMonth, nextMday;
    };
    const Case cases[] = {
        {2024, 2, 28, 2024, 2, 29}, {2024, 2, 29, 2024, 3, 1},  {2023, 2, 28, 2023, 3, 1},
        {1900, 2, 28, 1900, 3, 1},  {2000, 2, 28, 2000, 2, 29}, {2023, 12, 31, 2024, 1, 1},
        {2024, 4, 30, 2024, 5, 1},  {2024, 1, 31, 2024, 2, 1},  {2024, 7, 15, 2024, 7, 16},
    };
    for (const Case& c : cases) {
        struct tm date = Day(c.year, c.month, c.mday, 9);
        date.tm_wday = 3;
        ASSERT_TRUE(IncrementDateByOneDay(&date));
        EXPECT_EQ(date.tm_year, c.nextYear - 1900) << c.year << "-" << c.month << "-" << c.mday;
        EXPECT_EQ(date.tm_mon, c.nextMonth - 1) << c.year << "-" << c.month << "-" << c.mday;
        EXPECT_EQ(date.tm_mday, c.nextMday) << c.year << "-" << c.month << "-" << c.mday;
        EXPECT_EQ(date.tm_hour, 9);  // only the day fields move
        EXPECT_EQ(date.tm_wday, 3);
    }
    EXPECT_FALSE(IncrementDateByOneDay(nullptr));
}

}  // namespace
