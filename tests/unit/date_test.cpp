// Dates: parsing, the calendar helpers, date lists, and day ranges and work days against
// libc's own calendar in three time zones.
#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <random>

#include "logCompress/DateParse.h"
#include "logCompress/DateParseInternal.h"

namespace {

struct List : std::unique_ptr<DateList, decltype(&FreeDateList)> {
    explicit List(DateList* list) : unique_ptr(list, &FreeDateList) {}
};

std::vector<std::string> Strings(const DateList* list) {
    if (list == nullptr) return {"<null>"};
    return std::vector<std::string>(list->dates, list->dates + list->count);
}

std::string Text(const struct tm& date) {
    char text[16];
    strftime(text, sizeof text, "%Y-%m-%d", &date);
    return text;
}

struct tm Day(int year, int month, int mday, int hour = 0) {
    return {0, 0, hour, mday, month - 1, year - 1900, 0, 0, 0, 0, nullptr};
}

TEST(DateTest, ParsesTheAcceptedFormatsWholeAndInOrder) {
    auto parse = [](const char* text, const char* format = nullptr) -> std::string {
        struct tm date = Day(1977, 1, 1, 5);  // leftovers that a parse must clear
        date.tm_isdst = 1;
        if (!ParseDateEx(text, &date, format)) return "refused";
        return date.tm_hour == 0 && date.tm_isdst == 0 ? Text(date) : "leftovers";
    };
    // 07/03/2024 is 7 March: day first is tried before month first.
    for (const char* text : {"2024-03-07", "2024/03/07", "20240307", "2024年03月07日", "07-03-2024",
                             "07/03/2024", "2024-3-7"})
        EXPECT_EQ(parse(text), "2024-03-07") << text;
    for (const char* text :
         {"2024-03-07 10:00", "2024-03-07x", "", "2024-13-01", "13/13/2024", "2024.03.07"})
        EXPECT_EQ(parse(text), "refused") << text;
    const char* const more[][3] = {
        {"03/31/2024", nullptr, "2024-03-31"},
        {"2024-02-30", nullptr, "2024-02-30"},  // a range rolls it over
        {"07.03.2024", "%d.%m.%Y", "2024-03-07"},
        {"07.03.2024x", "%d.%m.%Y", "refused"},
        {"2024/03/07", "%Y-%m-%d", "refused"}};  // a given format never falls back
    for (const auto& m : more) EXPECT_EQ(parse(m[0], m[1]), m[2]) << m[0];
    struct tm date = {};
    EXPECT_FALSE(ParseDateEx(nullptr, &date, nullptr) ||
                 ParseDateEx("2024-03-07", nullptr, nullptr));
}

TEST(DateTest, CalendarHelpersAndLists) {
    const struct tm a = Day(2024, 3, 7), b = Day(2024, 3, 8), evening = Day(2024, 3, 7, 22);
    const struct tm lastYear = Day(2023, 12, 31), february = Day(2024, 2, 29);
    // The day only; the year before the month and the month before the day.
    EXPECT_EQ((std::vector<int>{CompareDates(&a, &b), CompareDates(&b, &a),
                                CompareDates(&a, &evening), CompareDates(&lastYear, &a),
                                CompareDates(&a, &february), CompareDates(nullptr, &a)}),
              (std::vector<int>{-1, 1, 0, -1, 1, 0}));
    const std::unique_ptr<char, decltype(&free)> text(FormatDateEx(&a, nullptr), &free);
    EXPECT_STREQ(text.get(), "2024-03-07");  // no format: the day's
    EXPECT_EQ(GetDaysInMonth(2023, 0) + GetDaysInMonth(2023, 13), 0);
    // Year (since 1900), month (0-11) and day of month within bounds, as a range's ends must be.
    const int fields[][4] = {{0, 0, 1, 1},    {199, 11, 31, 1}, {-1, 0, 1, 0},  {200, 0, 1, 0},
                             {124, 12, 1, 0}, {124, -1, 1, 0},  {124, 0, 0, 0}, {124, 0, 32, 0}};
    for (const auto& f : fields) {
        struct tm date = Day(1900 + f[0], f[1] + 1, f[2]);
        EXPECT_EQ(IsValidDate(&date), f[3] == 1) << f[0] << " " << f[1] << " " << f[2];
    }
    EXPECT_FALSE(IsValidDate(nullptr));
    // A list keeps its own copies; growth that would overflow and missing arguments are refused.
    List list(CreateDateList(1));
    char copy[] = "2024-03-01";
    ASSERT_TRUE(AddDateToList(list.get(), copy) && AddDateToList(list.get(), "2024-03-02"));
    copy[9] = '9';
    EXPECT_EQ(Strings(list.get()), (std::vector<std::string>{"2024-03-01", "2024-03-02"}));
    DateList full = {nullptr, INT_MAX, INT_MAX};
    EXPECT_FALSE(AddDateToList(list.get(), nullptr) || AddDateToList(nullptr, copy) ||
                 AddDateToList(&full, copy));
    FreeDateList(nullptr);
    PrintDateList(list.get());  // a public dump that must take any list
    PrintDateList(nullptr);
}

// What a range must hold, from libc's calendar: noon UTC of each day from first to last.
std::vector<std::string> Expected(time_t first, time_t last, bool workdaysOnly) {
    std::vector<std::string> days;
    for (time_t t = first; t <= last; t += 86400) {
        struct tm day;
        gmtime_r(&t, &day);
        if (!workdaysOnly || (day.tm_wday >= 1 && day.tm_wday <= 5)) days.push_back(Text(day));
    }
    return days;
}

TEST(DateTest, RangesStayWithin1900To2099AndMatchLibcsCalendarInAnyTimeZone) {
    const char* const cases[][3] = {{"2024-02-30", "2024-03-02", "2024-03-01 2, work days 1"},
                                    {"1899-12-31", "1900-01-05", "none, none"},
                                    {"2099-12-30", "2100-01-01", "none, none"},
                                    {"2024-03-01", "2024-03-0x", "none, none"},
                                    {"2024-03-09", "2024-03-10", "2024-03-09 2, work days 0"}};
    for (const auto& c : cases) {
        const List range(GenerateDateRange(c[0], c[1], 0)), work(GenerateWorkdays(c[0], c[1], 0));
        EXPECT_EQ((range ? range->dates[0] + (" " + std::to_string(range->count)) : "none") +
                      (work ? ", work days " + std::to_string(work->count) : ", none"),
                  c[2]);
    }
    const char* const formats[] = {"%Y-%m-%d", "%Y/%m/%d", "%Y%m%d",  "%Y年%m月%d日",
                                   "%d-%m-%Y", "%d/%m/%Y", "%m/%d/%Y"};
    struct tm start = Day(1900, 1, 1, 12);
    const time_t first = timegm(&start);
    constexpr long kDays = 73049;  // 1900-01-01 .. 2099-12-31
    // The farthest east and west zones, whose day differs from UTC's for most hours.
    for (const char* zone : {"UTC0", "<+14>-14", "<-11>11"}) {
        setenv("TZ", zone, 1);
        tzset();
        std::mt19937 rng(20240307);
        for (int i = 0; i < 400 && !HasFailure(); ++i) {
            // The whole span first, then pairs of random days in random formats, either order.
            const long a = i == 0 ? 0 : static_cast<long>(rng() % kDays);
            const long b =
                i == 0 ? kDays - 1 : std::min(kDays - 1, a + static_cast<long>(rng() % 90));
            std::string texts[2];
            for (int end = 0; end < 2; ++end) {
                const time_t t = first + 86400 * (end == 0 ? a : b);
                struct tm day;
                gmtime_r(&t, &day);
                size_t f = rng() % 7;
                if (f == 6 && day.tm_mday <= 12) f = 0;  // that text reads day first
                char text[32];
                strftime(text, sizeof text, formats[f], &day);
                texts[(end + i) % 2] = text;
            }
            const int capacity = i % 3 == 0 ? 0 : i % 3 == 1 ? 1 : 7;
            const List range(GenerateDateRange(texts[0].c_str(), texts[1].c_str(), capacity));
            const List work(GenerateWorkdays(texts[0].c_str(), texts[1].c_str(), capacity));
            const time_t from = first + 86400 * a, to = first + 86400 * b;
            EXPECT_TRUE(Strings(range.get()) == Expected(from, to, false) &&
                        Strings(work.get()) == Expected(from, to, true))
                << texts[0] << " .. " << texts[1] << " TZ=" << zone;
        }
    }
    unsetenv("TZ");
    tzset();
}

}  // namespace
