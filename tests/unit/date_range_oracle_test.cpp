// Ranges and work days against an independent oracle (Python's datetime), in several
// time zones: the lists are calendar days and must not move with the host's zone.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "logCompress/DateParse.h"

namespace {

constexpr const char* kOracle = LOGCOMP_SOURCE_DIR "/tests/tools/date_oracle.py";
constexpr unsigned kDefaultSeed = 20240307;
constexpr int kMaxReported = 10;

struct ListDeleter {
    void operator()(DateList* list) const { FreeDateList(list); }
};
using List = std::unique_ptr<DateList, ListDeleter>;

// One oracle line: a pair of texts and what their range must hold.
struct Expected {
    bool full = false;
    std::string begin, end;
    std::vector<std::string> dates, workdays;  // full lines
    long count = 0, workCount = 0;             // hashed lines
    std::string first, last;
    uint32_t crc = 0, workCrc = 0;
};

std::vector<std::string> Split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, sep);) {
        parts.push_back(part);
    }
    return parts;
}

bool ParseLine(const std::string& line, Expected* out) {
    std::vector<std::string> f = Split(line, '\t');
    if (f.size() == 5 && f[0] == "F") {
        out->full = true;
        out->dates = Split(f[3], ',');
        if (out->dates.size() != f[4].size()) return false;
        for (size_t i = 0; i < out->dates.size(); ++i) {
            if (f[4][i] == '1') out->workdays.push_back(out->dates[i]);
        }
    } else if (f.size() == 9 && f[0] == "H") {
        out->count = std::stol(f[3]);
        out->first = f[4];
        out->last = f[5];
        out->crc = static_cast<uint32_t>(std::stoul(f[6]));
        out->workCount = std::stol(f[7]);
        out->workCrc = static_cast<uint32_t>(std::stoul(f[8]));
    } else {
        return false;
    }
    out->begin = f[1];
    out->end = f[2];
    return true;
}

unsigned Seed() {
    const char* env = getenv("LOGCOMP_DATE_SEED");
    return env != nullptr ? static_cast<unsigned>(strtoul(env, nullptr, 10)) : kDefaultSeed;
}

// Runs the oracle once per process; every zone compares against the same answers.
const std::vector<Expected>& Oracle() {
    static const std::vector<Expected> expected = [] {
        std::vector<Expected> out;
        std::string cmd = std::string("python3 ") + kOracle + " " + std::to_string(Seed());
        FILE* pipe = popen(cmd.c_str(), "r");
        if (pipe == nullptr) return out;
        std::string text;
        std::array<char, 1 << 16> buf;
        for (size_t n; (n = fread(buf.data(), 1, buf.size(), pipe)) > 0;)
            text.append(buf.data(), n);
        if (pclose(pipe) != 0) return std::vector<Expected>{};
        for (const std::string& line : Split(text, '\n')) {
            Expected e;
            if (!line.empty() && ParseLine(line, &e)) out.push_back(std::move(e));
        }
        return out;
    }();
    return expected;
}

constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

// CRC-32 (as zlib computes it) of every string followed by a newline.
uint32_t ListCrc(const DateList* list) {
    uint32_t c = 0xFFFFFFFFu;
    auto feed = [&c](unsigned char byte) { c = kCrcTable[(c ^ byte) & 0xFFu] ^ (c >> 8); };
    for (int i = 0; i < list->count; ++i) {
        for (const char* p = list->dates[i]; *p != '\0'; ++p) feed(static_cast<unsigned char>(*p));
        feed('\n');
    }
    return c ^ 0xFFFFFFFFu;
}

std::vector<std::string> Strings(const DateList* list) {
    return std::vector<std::string>(list->dates, list->dates + list->count);
}

// Empty when the list is what the oracle says; otherwise what differs.
std::string Mismatch(const DateList* list, bool full, const std::vector<std::string>& dates,
                     long count, const std::string& first, const std::string& last, uint32_t crc) {
    if (list == nullptr) return "null list";
    if (full) return Strings(list) == dates ? "" : "element mismatch";
    if (list->count != count) return "count " + std::to_string(list->count);
    if (!first.empty() && (first != list->dates[0] || last != list->dates[count - 1])) {
        return "ends";
    }
    return ListCrc(list) == crc ? "" : "crc mismatch";
}

// Capacities 0 (default), 1 and 7 in turn, so growth from each is exercised too.
int CapacityFor(size_t index) {
    return static_cast<int>(index % 3 == 0 ? 0 : index % 3 == 1 ? 1 : 7);
}

void CompareAll() {
    const std::vector<Expected>& oracle = Oracle();
    ASSERT_GT(oracle.size(), 1000u) << "oracle gave no answers: " << kOracle;
    int reported = 0;
    for (size_t i = 0; i < oracle.size() && reported < kMaxReported; ++i) {
        const Expected& e = oracle[i];
        const int capacity = CapacityFor(i);
        List range(GenerateDateRange(e.begin.c_str(), e.end.c_str(), capacity));
        std::string diff = Mismatch(range.get(), e.full, e.dates, e.count, e.first, e.last, e.crc);
        List work(GenerateWorkdays(e.begin.c_str(), e.end.c_str(), capacity));
        std::string workDiff =
            Mismatch(work.get(), e.full, e.workdays, e.workCount, "", "", e.workCrc);
        if (!diff.empty() || !workDiff.empty()) {
            ++reported;
            ADD_FAILURE() << "seed " << Seed() << " pair " << e.begin << " .. " << e.end
                          << ": range " << (diff.empty() ? "ok" : diff) << ", workdays "
                          << (workDiff.empty() ? "ok" : workDiff);
        }
    }
}

// Sets TZ for the test's lifetime and restores the caller's afterwards.
class ZoneGuard {
  public:
    explicit ZoneGuard(const char* zone) {
        const char* old = getenv("TZ");
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneGuard() {
        if (hadOld_) {
            setenv("TZ", old_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    ZoneGuard(const ZoneGuard&) = delete;
    ZoneGuard& operator=(const ZoneGuard&) = delete;

  private:
    bool hadOld_ = false;
    std::string old_;
};

// Offset from UTC of the zone in force, seen at 1 January 2024, noon UTC.
long OffsetNow() {
    const time_t when = 1704110400;
    struct tm local = {};
    localtime_r(&when, &local);
    return local.tm_gmtoff;
}

struct Zone {
    const char* name;
    const char* tz;
    long offset;  // seconds east of UTC
};

void PrintTo(const Zone& zone, std::ostream* os) {
    *os << "TZ=" << zone.tz;
}

class DateRangeOracleTest : public ::testing::TestWithParam<Zone> {};

TEST_P(DateRangeOracleTest, MatchesPythonDatetime) {
    const Zone& zone = GetParam();
    ZoneGuard guard(zone.tz);
    ASSERT_EQ(OffsetNow(), zone.offset) << "TZ=" << zone.tz << " did not take effect";
    CompareAll();
}

// The farthest east and west of the inhabited zones (their local day differs from UTC's
// for many hours of every day), as rule strings, so that no zone database is needed.
const Zone kZones[] = {
    {"Utc", "UTC0", 0},
    {"PlusFourteen", "<+14>-14", 50400},
    {"MinusEleven", "<-11>11", -39600},
};

std::string ZoneName(const ::testing::TestParamInfo<Zone>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Zones, DateRangeOracleTest, ::testing::ValuesIn(kZones), ZoneName);

}  // namespace
