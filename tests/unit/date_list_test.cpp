// Date lists: growth, ownership, fixed ranges and work days, and what printing logs.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "logCompress/DateParse.h"
#include "tests/fakes/fakes.h"

namespace {

struct ListDeleter {
    void operator()(DateList* list) const { FreeDateList(list); }
};
using List = std::unique_ptr<DateList, ListDeleter>;

std::vector<std::string> Strings(const DateList* list) {
    std::vector<std::string> out;
    for (int i = 0; i < list->count; ++i) {
        out.emplace_back(list->dates[i]);
    }
    return out;
}

TEST(DateListTest, CreateUsesDefaultCapacityForZeroOrLess) {
    for (int capacity : {0, -5}) {
        List list(CreateDateList(capacity));
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list->capacity, 30);
        EXPECT_EQ(list->count, 0);
    }
    List one(CreateDateList(7));
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(one->capacity, 7);
}

TEST(DateListTest, GrowsByDoublingAndKeepsOrder) {
    List list(CreateDateList(1));
    ASSERT_NE(list, nullptr);
    const int expectedCapacity[] = {1, 2, 4, 4, 8, 8, 8, 8, 16};
    std::vector<std::string> added;
    for (int i = 0; i < 9; ++i) {
        added.push_back("2024-03-0" + std::to_string(i + 1));
        ASSERT_TRUE(AddDateToList(list.get(), added.back().c_str()));
        EXPECT_EQ(list->count, i + 1);
        EXPECT_EQ(list->capacity, expectedCapacity[i]) << "after add " << i + 1;
    }
    EXPECT_EQ(Strings(list.get()), added);
}

TEST(DateListTest, StoresItsOwnCopy) {
    List list(CreateDateList(2));
    char text[] = "2024-03-07";
    ASSERT_TRUE(AddDateToList(list.get(), text));
    EXPECT_NE(list->dates[0], text);
    memcpy(text, "1999-12-31", sizeof text);
    EXPECT_STREQ(list->dates[0], "2024-03-07");
}

TEST(DateListTest, NullArgumentsChangeNothing) {
    List list(CreateDateList(1));
    EXPECT_FALSE(AddDateToList(list.get(), nullptr));
    EXPECT_FALSE(AddDateToList(nullptr, "2024-03-07"));
    EXPECT_EQ(list->count, 0);
    EXPECT_EQ(list->capacity, 1);
    FreeDateList(nullptr);
}

TEST(DateListTest, RefusesToGrowPastTheLargestCount) {
    // A full list whose doubled capacity would not fit an int: refused, nothing touched.
    DateList full = {nullptr, INT_MAX, INT_MAX};
    EXPECT_FALSE(AddDateToList(&full, "2024-03-07"));
    EXPECT_EQ(full.count, INT_MAX);
    EXPECT_EQ(full.dates, nullptr);
}

struct RangeCase {
    const char* begin;
    const char* end;
    std::vector<std::string> dates;
};

TEST(DateListTest, FixedRanges) {
    const RangeCase cases[] = {
        {"2024-02-27",
         "2024-03-02",
         {"2024-02-27", "2024-02-28", "2024-02-29", "2024-03-01", "2024-03-02"}},
        {"2023-02-27", "2023-03-02", {"2023-02-27", "2023-02-28", "2023-03-01", "2023-03-02"}},
        {"2024-03-02",
         "2024-02-27",
         {"2024-02-27", "2024-02-28", "2024-02-29", "2024-03-01", "2024-03-02"}},
        {"2024-03-07", "2024-03-07", {"2024-03-07"}},
        {"2023-12-30", "2024-01-02", {"2023-12-30", "2023-12-31", "2024-01-01", "2024-01-02"}},
        {"2024-02-30", "2024-03-02", {"2024-03-01", "2024-03-02"}},
        {"2024年02月28日", "1/3/2024", {"2024-02-28", "2024-02-29", "2024-03-01"}},
    };
    for (const RangeCase& c : cases) {
        List list(GenerateDateRange(c.begin, c.end, 0));
        ASSERT_NE(list, nullptr) << c.begin << " .. " << c.end;
        EXPECT_EQ(Strings(list.get()), c.dates) << c.begin << " .. " << c.end;
    }
    List march(GenerateDateRange("20240301", "03/31/2024", 1));
    ASSERT_NE(march, nullptr);
    ASSERT_EQ(march->count, 31);
    EXPECT_EQ(march->capacity, 32);
    EXPECT_STREQ(march->dates[0], "2024-03-01");
    EXPECT_STREQ(march->dates[30], "2024-03-31");
}

TEST(DateListTest, RangeFailuresGiveNull) {
    const char* const bad[][2] = {
        {"2024-03-01", "2024-03-0x"}, {"", "2024-03-01"},           {"1899-12-31", "1900-01-05"},
        {"2099-12-30", "2100-01-01"}, {"0000-01-01", "0001-01-01"}, {"9999-12-31", "2024-01-01"},
    };
    for (const auto& pair : bad) {
        EXPECT_EQ(List(GenerateDateRange(pair[0], pair[1], 0)), nullptr) << pair[0] << pair[1];
        EXPECT_EQ(List(GenerateWorkdays(pair[0], pair[1], 0)), nullptr) << pair[0] << pair[1];
    }
    EXPECT_EQ(List(GenerateDateRange(nullptr, "2024-03-01", 0)), nullptr);
    EXPECT_EQ(List(GenerateWorkdays("2024-03-01", nullptr, 0)), nullptr);
}

TEST(DateListTest, WorkdaysAreMondayToFriday) {
    // 1 March 2024 is a Friday.
    List week(GenerateWorkdays("2024-03-10", "2024-03-01", 1));
    ASSERT_NE(week, nullptr);
    EXPECT_EQ(Strings(week.get()),
              (std::vector<std::string>{"2024-03-01", "2024-03-04", "2024-03-05", "2024-03-06",
                                        "2024-03-07", "2024-03-08"}));
    List weekend(GenerateWorkdays("2024-03-09", "2024-03-10", 0));
    ASSERT_NE(weekend, nullptr);
    EXPECT_EQ(weekend->count, 0);
    EXPECT_EQ(weekend->capacity, 30);
}

class DatePrintTest : public ::testing::Test {
  protected:
    void SetUp() override { fakes::ResetAll(); }
};

TEST_F(DatePrintTest, LogsTotalThenEachDate) {
    List list(GenerateDateRange("2024-03-07", "2024-03-08", 0));
    ASSERT_NE(list, nullptr);
    fakes::LogClear();
    PrintDateList(list.get());
    const std::vector<fakes::LogLine> lines = fakes::LogLines();
    const std::vector<std::string> expected = {"Total dates: 2", "1. 2024-03-07", "2. 2024-03-08"};
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].text, expected[i]);
        EXPECT_EQ(lines[i].level, LEVEL_INFO);
        EXPECT_EQ(lines[i].logClass, LOG_SYSTEM);
        EXPECT_EQ(lines[i].func, "PrintDateList");
    }
}

TEST_F(DatePrintTest, SilentForEmptyOrNullAndForFailures) {
    List empty(CreateDateList(0));
    fakes::LogClear();
    PrintDateList(empty.get());
    PrintDateList(nullptr);
    // Failures are reported by the result only.
    EXPECT_EQ(List(GenerateDateRange("2024-03-01", "bad", 0)), nullptr);
    EXPECT_EQ(List(GenerateWorkdays("2100-01-01", "2100-01-02", 0)), nullptr);
    EXPECT_FALSE(AddDateToList(nullptr, "2024-03-07"));
    EXPECT_TRUE(fakes::LogLines().empty());
}

}  // namespace
