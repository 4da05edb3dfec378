// The station log generator: names, exact sizes, reproducibility and timestamps in the day.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "tools/loggen/station_log_gen.h"

namespace {

using loggen::LogKind;

TEST(LogGenTest, NamesFollowTheFourRules) {
    EXPECT_EQ(
        loggen::DayFileNames("2026-12-03"),
        (std::vector<std::string>{"2026-12-03.log", "2026-12-03-csms.log",
                                  "2026-12-03-network-shell.log", "csms-broker-2026-12-03.log"}));
    for (size_t day : {0ul, 1ul, 999ul, 200000000ul}) {
        size_t sum = 0;
        for (int k = 0; k < loggen::kLogKindCount; ++k) sum += loggen::KindBytes(LogKind(k), day);
        EXPECT_EQ(sum, day);
    }
}

TEST(LogGenTest, ExactSizeSameBytesForSameSeedAndTimesInsideTheDay) {
    for (int k = 0; k < loggen::kLogKindCount; ++k) {
        SCOPED_TRACE(k);
        const std::string a = loggen::GenerateText(LogKind(k), "2026-12-03", 300000, 42);
        EXPECT_EQ(a.size(), 300000u);
        EXPECT_EQ(a.back(), '\n');
        EXPECT_EQ(a, loggen::GenerateText(LogKind(k), "2026-12-03", 300000, 42));
        EXPECT_NE(a, loggen::GenerateText(LogKind(k), "2026-12-03", 300000, 43));

        // Every line carries a time of that UTC day; times never go backwards. The last
        // line is cut at the exact size and left out.
        std::istringstream in(a.substr(0, a.rfind('\n', a.size() - 2) + 1));
        std::string line, prev;
        while (std::getline(in, line)) {
            std::string stamp;
            if (k == static_cast<int>(LogKind::kCsmsBroker)) {
                // Epoch seconds: 2026-12-03 is 1796256000 .. 1796342399.
                const long long t = std::stoll(line);
                ASSERT_GE(t, 1796256000LL) << line;
                ASSERT_LT(t, 1796342400LL) << line;
                stamp = std::to_string(t);
            } else {
                const size_t at = line.find("2026-12-03");
                ASSERT_LE(at, 1u) << line;
                stamp = line.substr(at + 11, 8);  // HH:MM:SS
            }
            ASSERT_GE(stamp, prev) << line;
            prev = stamp;
        }
    }
    EXPECT_EQ(loggen::GenerateText(LogKind::kMain, "2026-12-03", 0, 1), "");
}

TEST(LogGenTest, DatesAreCheckedAndRangesInclusive) {
    EXPECT_EQ(loggen::GenerateText(LogKind::kMain, "2026-02-30", 100, 1), "");
    EXPECT_FALSE(loggen::GenerateDay("/tmp", "2026/12/03", {}));
    EXPECT_EQ(loggen::DateRange("2024-02-28", "2024-03-01"),
              (std::vector<std::string>{"2024-02-28", "2024-02-29", "2024-03-01"}));
    EXPECT_TRUE(loggen::DateRange("2024-03-02", "2024-03-01").empty());
    EXPECT_EQ(loggen::UtcDate(0).size(), 10u);
    EXPECT_EQ(loggen::DateRange(loggen::UtcDate(6), loggen::UtcDate(0)).size(), 7u);
}

}  // namespace
