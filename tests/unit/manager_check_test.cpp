// The storage guard's lifecycle and periodic check on the fake loop, timers and device, over a
// real temporary log directory.
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "logCompress/LogManager.h"
#include "logCompress/LogManagerInternal.h"
#include "tests/fakes/fakes.h"
#include "tests/unit/manager_fs.h"

namespace {

constexpr unsigned long long kMb = 1048576;

using managertest::SetMtime;
using managertest::TempDir;
using managertest::Touch;

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

Dev_Filesystem_Usage Usage(double ratio) {
    return {1024 * kMb, static_cast<unsigned long long>(ratio * 1024 / 100) * kMb, 0, ratio};
}

class ManagerCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        fakes::ResetAll();
        sLogManager.printIntervalCnt = 0;
        ASSERT_FALSE(dir_.Path().empty());
        ASSERT_TRUE(Touch(dir_ / "old.log", 1000));
        ASSERT_TRUE(Touch(dir_ / "new.log", 2000));
        config_ = MakeConfig(dir_.Path(), 70);
    }
    void TearDown() override {
        if (sLogManager.inited.load() != 0) LogManagerUninit();
        fakes::ResetAll();
    }
    static LOG_MANAGER_CONFIG MakeConfig(const std::string& dir, uint8_t threshold) {
        LOG_MANAGER_CONFIG config{};
        snprintf(config.logDir, sizeof(config.logDir), "%s", dir.c_str());
        config.storageThreshold = threshold;
        return config;
    }
    void Start() {
        ASSERT_EQ(LogManagerInit(fakes::Loop(), &config_), 0);
        ASSERT_EQ(fakes::ActiveTimers().size(), 1u);
    }
    static void Tick() { fakes::FireTimer(sLogManager.timer); }
    static int Lines(int level, const std::string& text) { return fakes::LogCount(level, text); }
    std::string Deleted(const std::string& name) const {
        return "LogManagerOnTimer, delete oldest file " + (dir_ / name) + " success";
    }

    TempDir dir_;
    LOG_MANAGER_CONFIG config_{};
};

TEST_F(ManagerCheck, InitStartsARepeatingTenSecondTimerAndUninitReleasesIt) {
    Start();
    const auto timer = fakes::GetTimer(fakes::ActiveTimers()[0]);
    EXPECT_EQ(timer.loop, fakes::Loop());
    EXPECT_EQ(timer.cb, &LogManagerOnTimer);
    EXPECT_EQ(timer.ptr, &sLogManager);
    EXPECT_EQ(timer.periodMs, 10000u);
    EXPECT_TRUE(timer.repeat);
    EXPECT_EQ(fakes::DeviceUsageCalls(), 0);  // the first check waits one period
    EXPECT_EQ(Lines(LEVEL_INFO,
                    "LogManager Init success, logDir " + dir_.Path() + ", storageThreshold 70"),
              1);

    LogManagerUninit();
    EXPECT_EQ(fakes::TimersReleased(), 1);
    EXPECT_TRUE(fakes::ActiveTimers().empty());
    EXPECT_EQ(sLogManager.inited.load(), 0);
    EXPECT_EQ(Lines(LEVEL_INFO, "LogManager Uninit success"), 1);
    LogManagerUninit();
    EXPECT_EQ(Lines(LEVEL_WARN, "LogManagerUninit not inited!"), 1);
    EXPECT_EQ(fakes::TimersReleased(), 1);
}

TEST_F(ManagerCheck, ThresholdOutsideOneToHundredBecomesSeventyInTheCallersRecord) {
    const struct {
        uint8_t given, used;
    } cases[] = {{0, 70}, {101, 70}, {255, 70}, {100, 100}, {1, 1}, {70, 70}};
    for (const auto& c : cases) {
        fakes::LogClear();
        config_.storageThreshold = c.given;
        ASSERT_EQ(LogManagerInit(fakes::Loop(), &config_), 0);
        EXPECT_EQ(config_.storageThreshold, c.used) << int(c.given);
        EXPECT_EQ(sLogManager.config.storageThreshold, c.used) << int(c.given);
        EXPECT_EQ(Lines(LEVEL_INFO, "LogManagerInit, use default storageThreshold value 70"),
                  c.given != c.used ? 1 : 0)
            << int(c.given);
        LogManagerUninit();
    }
}

TEST_F(ManagerCheck, DeletesOnlyAtOrAboveTheThreshold) {
    const struct {
        uint8_t threshold;
        double ratio;
        bool deletes;
    } cases[] = {{70, 70.0, true},   {70, 69.9, false}, {100, 99.9, false},
                 {100, 100.0, true}, {1, 1.0, true},    {1, 0.9, false}};
    for (const auto& c : cases) {
        ASSERT_TRUE(Touch(dir_ / "old.log", 1000));
        config_.storageThreshold = c.threshold;
        Start();
        fakes::DeviceSetUsage(Usage(c.ratio));
        Tick();
        EXPECT_EQ(!Exists(dir_ / "old.log"), c.deletes) << int(c.threshold) << " " << c.ratio;
        EXPECT_TRUE(Exists(dir_ / "new.log"));
        LogManagerUninit();
    }
    EXPECT_EQ(Lines(LEVEL_INFO, Deleted("old.log")), 3);
}

TEST_F(ManagerCheck, OneEntryPerCheckOldestFirst) {
    ASSERT_TRUE(Touch(dir_ / "older.log", 500));
    Start();
    fakes::DeviceSetUsage(Usage(95.0));
    Tick();
    EXPECT_FALSE(Exists(dir_ / "older.log"));
    EXPECT_TRUE(Exists(dir_ / "old.log"));
    Tick();
    EXPECT_FALSE(Exists(dir_ / "old.log"));
    EXPECT_TRUE(Exists(dir_ / "new.log"));
    EXPECT_EQ(fakes::DeviceLastPath(), dir_.Path());
}

TEST_F(ManagerCheck, FailedChecksDeleteNothingAndDoNotCount) {
    Start();
    fakes::DeviceSetUsage(Usage(99.0));
    for (int status : {SD_STATUS_UNMOUNT, SD_STATUS_FORMAT_ERR, SD_STATUS_READ_ONLY}) {
        fakes::DeviceSetSdStatus(status);
        Tick();
    }
    EXPECT_EQ(Lines(LEVEL_INFO, "LogManagerOnTimer, sd card not ready, skip"), 3);
    EXPECT_EQ(fakes::DeviceUsageCalls(), 0);

    fakes::DeviceSetSdStatus(SD_STATUS_OK);
    fakes::DeviceSetUsage(Usage(99.0), -1);
    Tick();
    EXPECT_EQ(Lines(LEVEL_ERROR, "LogManagerOnTimer failed, DEV_getFilesystemUsage failed"), 1);

    const std::string moved = dir_.Path() + ".moved";
    ASSERT_EQ(rename(dir_.Path().c_str(), moved.c_str()), 0);
    Tick();
    ASSERT_EQ(rename(moved.c_str(), dir_.Path().c_str()), 0);
    EXPECT_EQ(Lines(LEVEL_ERROR, "LogManagerOnTimer failed, logDir " + dir_.Path() + " not exist"),
              1);
    EXPECT_EQ(fakes::DeviceUsageCalls(), 1);
    EXPECT_EQ(sLogManager.printIntervalCnt, 0);
    EXPECT_TRUE(Exists(dir_ / "old.log"));

    LogManagerOnTimer(nullptr, nullptr);
    EXPECT_EQ(Lines(LEVEL_ERROR, "LogManagerOnTimer failed, ptr is NULL"), 1);
}

TEST_F(ManagerCheck, UsageLineOnEverySeventhSuccessfulCheckInWholeMb) {
    Start();
    fakes::DeviceSetUsage({kMb - 1, kMb, 3 * kMb - 1, 12.34});
    const std::string line =
        "SD Usage totalBytes 0 MB, usedBytes 1 MB, availableBytes 2 MB, Usage: 12.3%";
    std::vector<int> printedAt;
    for (int check = 1; check <= 21; ++check) {
        if (check == 10) {  // a failed check in between does not count
            fakes::DeviceSetSdStatus(SD_STATUS_UNMOUNT);
            Tick();
            fakes::DeviceSetSdStatus(SD_STATUS_OK);
        }
        const int before = Lines(LEVEL_INFO, line);
        Tick();
        if (Lines(LEVEL_INFO, line) > before) printedAt.push_back(check);
        if (check == 3) {  // counting goes on across a restart
            LogManagerUninit();
            Start();
        }
    }
    EXPECT_EQ(printedAt, (std::vector<int>{7, 14, 21}));
}

TEST_F(ManagerCheck, SecondInitKeepsTheFirstConfiguration) {
    Start();
    TempDir other;
    LOG_MANAGER_CONFIG second = MakeConfig(other.Path(), 0);
    EXPECT_EQ(LogManagerInit(fakes::Loop(), &second), 0);
    EXPECT_EQ(Lines(LEVEL_WARN, "LogManagerInit already inited!"), 1);
    EXPECT_EQ(second.storageThreshold, 0);
    EXPECT_STREQ(sLogManager.config.logDir, dir_.Path().c_str());
    EXPECT_EQ(sLogManager.config.storageThreshold, 70);
    EXPECT_EQ(fakes::ActiveTimers().size(), 1u);
}

TEST_F(ManagerCheck, FailedInitStartsNoTimer) {
    EXPECT_EQ(LogManagerInit(nullptr, &config_), -1);
    EXPECT_EQ(LogManagerInit(fakes::Loop(), nullptr), -1);
    EXPECT_EQ(Lines(LEVEL_ERROR, "LogManagerInit failed, loop is NULL or pConfig is NULL"), 2);

    LOG_MANAGER_CONFIG missing = MakeConfig(dir_ / "missing", 70);
    EXPECT_EQ(LogManagerInit(fakes::Loop(), &missing), -1);
    EXPECT_EQ(
        Lines(LEVEL_ERROR, "LogManagerInit failed, logDir " + (dir_ / "missing") + " not exist"),
        1);

    LOG_MANAGER_CONFIG unterminated{};
    memset(unterminated.logDir, 'a', sizeof(unterminated.logDir));
    EXPECT_EQ(LogManagerInit(fakes::Loop(), &unterminated), -1);

    fakes::SetTimerInitFails(true);
    config_.storageThreshold = 0;
    EXPECT_EQ(LogManagerInit(fakes::Loop(), &config_), -1);
    EXPECT_EQ(Lines(LEVEL_ERROR, "LogManagerInit failed, UvTimerInit failed"), 1);
    EXPECT_EQ(config_.storageThreshold, 70);  // the default stays in the caller's record
    EXPECT_TRUE(fakes::ActiveTimers().empty());
    EXPECT_EQ(sLogManager.inited.load(), 0);
}

TEST_F(ManagerCheck, LogDirThatIsARegularFileIsNeverDeleted) {
    config_ = MakeConfig(dir_ / "old.log", 70);
    Start();
    fakes::DeviceSetUsage(Usage(90.0));
    Tick();
    Tick();
    EXPECT_EQ(Lines(LEVEL_ERROR, "FindOldestFileUTCSinglePass failed, opendir " +
                                     (dir_ / "old.log") + " failed"),
              2);
    EXPECT_TRUE(Exists(dir_ / "old.log"));
}

TEST_F(ManagerCheck, NonEmptySubDirectoryIsReportedEveryCheckAndLeftWhole) {
    ASSERT_EQ(mkdir((dir_ / "sub").c_str(), 0755), 0);
    ASSERT_TRUE(Touch(dir_ / "sub/inner.log", 100));
    ASSERT_TRUE(SetMtime(dir_ / "sub", 10));
    Start();
    fakes::DeviceSetUsage(Usage(90.0));
    for (int i = 0; i < 3; ++i) Tick();
    EXPECT_EQ(
        Lines(LEVEL_ERROR, "LogManagerOnTimer, delete oldest file " + (dir_ / "sub") + " failed"),
        3);
    EXPECT_TRUE(Exists(dir_ / "sub/inner.log"));
    EXPECT_TRUE(Exists(dir_ / "old.log"));
    EXPECT_TRUE(Exists(dir_ / "new.log"));
}

TEST_F(ManagerCheck, LinkOutOfTheDirectoryLosesOnlyTheLink) {
    TempDir outside;
    ASSERT_TRUE(Touch(outside / "keep.log", 50));
    ASSERT_TRUE(Touch(outside / "keep_file.log", 20));
    ASSERT_TRUE(SetMtime(outside.Path(), 10));  // a link's time is its target's
    ASSERT_EQ(symlink(outside.Path().c_str(), (dir_ / "dir_link").c_str()), 0);
    ASSERT_EQ(symlink((outside / "keep_file.log").c_str(), (dir_ / "file_link").c_str()), 0);
    Start();
    fakes::DeviceSetUsage(Usage(90.0));
    Tick();
    Tick();
    EXPECT_EQ(Lines(LEVEL_INFO, Deleted("dir_link")), 1);
    EXPECT_EQ(Lines(LEVEL_INFO, Deleted("file_link")), 1);
    EXPECT_FALSE(Exists(dir_ / "dir_link"));
    EXPECT_FALSE(Exists(dir_ / "file_link"));
    EXPECT_TRUE(Exists(outside / "keep.log"));
    EXPECT_TRUE(Exists(outside / "keep_file.log"));
    EXPECT_TRUE(Exists(dir_ / "old.log"));
}

}  // namespace
