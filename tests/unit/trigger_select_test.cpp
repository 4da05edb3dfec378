// File selection over real files in the test log directory, and the two predicates.
#include <cstdlib>

#include "tests/unit/trigger_fixture.h"

namespace trigtest {
namespace {

class TriggerSelect : public TriggerTest {
  protected:
    void TearDown() override {
        if (list_ != nullptr) LCTListDelAll(list_);
        if (task_ != nullptr) FreeTask(task_);
        TriggerTest::TearDown();
    }
    int Select(const std::vector<std::string>& dates, bool fullPath) {
        task_ = NewTask("sel", LOG_COMPRESS_OPTION_ONLY_COMPRESS, dates);
        list_ = Init_LinkList();
        return LCTGetFileList(list_, task_, fullPath);
    }
    std::vector<bool> NeedDelete() const {
        std::vector<bool> out;
        for (int i = 0; auto* p = static_cast<FILE_COMPRESS_CONFIG*>(Get_LinkList(list_, i)); i++) {
            out.push_back(p->needDelete);
            EXPECT_EQ(p->compressLevel, static_cast<uint32_t>(FILE_COMPRESS_LEVEL_4));
            EXPECT_EQ(p->segmentSize, 0u);
        }
        return out;
    }
    LOG_COMP_TRIGGER_TASK* task_ = nullptr;
    LinkList list_ = nullptr;
};

TEST_F(TriggerSelect, OrdersByDateThenRuleAndSkipsMissingFiles) {
    for (const char* name : {"csms-broker-2026-12-02.log", "2026-12-02-network-shell.log",
                             "2026-12-02.log", "2026-12-02-csms.log", "2026-12-03-csms.log",
                             "csms-broker-2026-12-03.log", "2026-12-04.log", "other.log"}) {
        ASSERT_TRUE(Touch(name));
    }
    EXPECT_EQ(Select({"2026-12-02", "2026-12-03", "2026-12-01"}, false), 6);
    EXPECT_EQ(Files(list_), (std::vector<std::string>{
                                "2026-12-02.log", "2026-12-02-csms.log",
                                "2026-12-02-network-shell.log", "csms-broker-2026-12-02.log",
                                "2026-12-03-csms.log", "csms-broker-2026-12-03.log"}));
    // Today's files stay in place; the numbering runs across dates.
    EXPECT_EQ(NeedDelete(), (std::vector<bool>{true, true, true, true, false, false}));
    EXPECT_EQ(fakes::LogCount(LEVEL_INFO, "[sel] Add file[3] Network shell.log to compress list"),
              1);
    EXPECT_EQ(fakes::LogCount("[sel] Add file[5] 2026-12-03-csms.log to compress list"), 1);
    EXPECT_EQ(fakes::LogCount("[sel]Get file list for date 2026-12-01"), 1);
    EXPECT_EQ(fakes::LogFind("[sel]Get file list for date 2026-12-02")->func, "LCTGetFileList");
}

TEST_F(TriggerSelect, FullPathAndNoFiles) {
    ASSERT_TRUE(Touch("2026-12-02.log"));
    EXPECT_EQ(Select({"2026-12-02"}, true), 1);
    EXPECT_EQ(Files(list_), std::vector<std::string>{LogPath("2026-12-02.log")});
    LCTListDelAll(list_);
    FreeTask(task_);
    EXPECT_EQ(Select({"2026-11-30"}, true), 0);
    EXPECT_EQ(Size_LinkList(list_), 0);
}

TEST_F(TriggerSelect, TodayFollowsTheUtcDateWhateverTheTimeZone) {
    const char* oldTz = getenv("TZ");
    const std::string saved = oldTz ? oldTz : "";
    // 23:30 UTC on 2026-12-03 is already 2026-12-04 in UTC+14 and 2026-12-03 in UTC-12.
    fakes::SetNow(fakes::MakeUtc(2026, 12, 3, 23, 30, 0));
    const time_t now = time(nullptr);
    for (const char* tz : {"EAST-14", "WEST+12", "UTC0"}) {
        setenv("TZ", tz, 1);
        tzset();
        struct tm local {};
        localtime_r(&now, &local);
        EXPECT_EQ(local.tm_mday, tz[0] == 'E' ? 4 : 3) << tz;
        ASSERT_TRUE(Touch("2026-12-03.log"));
        ASSERT_TRUE(Touch("2026-12-04.log"));
        EXPECT_EQ(Select({"2026-12-03", "2026-12-04"}, false), 2) << tz;
        EXPECT_EQ(NeedDelete(), (std::vector<bool>{false, true})) << tz;
        LCTListDelAll(list_);
        FreeTask(task_);
        list_ = nullptr;
        task_ = nullptr;
    }
    if (oldTz) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

TEST(TriggerPredicates, EndsWithAndIsToday) {
    struct {
        const char* str;
        const char* suffix;
        bool expected;
    } endsWith[] = {
        {"a.tar.gz", ".tar.gz", true}, {".tar.gz", ".tar.gz", true},   {"a.tar", ".tar.gz", false},
        {"tar.gz", ".tar.gz", false},  {"A.TAR.GZ", ".tar.gz", false}, {"x", "", true},
        {nullptr, ".tar.gz", false},   {"a.tar.gz", nullptr, false},   {"", "", true},
    };
    for (const auto& c : endsWith) {
        EXPECT_EQ(EndsWith(c.str, c.suffix), c.expected)
            << (c.str ? c.str : "(null)") << " / " << (c.suffix ? c.suffix : "(null)");
    }
    fakes::SetNow(fakes::MakeUtc(2026, 12, 3, 0, 0, 1));
    struct {
        const char* date;
        bool expected;
    } today[] = {
        {"2026-12-03", true},  {"2026/12/03", false}, {"2026-12-03x", false}, {"2026-12-02", false},
        {"2025-12-03", false}, {"2026-11-03", false}, {nullptr, false},       {"", false}};
    for (const auto& c : today) {
        EXPECT_EQ(LCTIsToday(c.date), c.expected) << (c.date ? c.date : "(null)");
    }
    fakes::ClearNow();
}

}  // namespace
}  // namespace trigtest
