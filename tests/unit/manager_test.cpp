// The storage guard on the fakes (loop, timers, device) over real temporary directories: the
// search for the oldest entry, and the periodic check that deletes it.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <memory>

#include "logCompress/LogManagerInternal.h"
#include "tests/support/env.h"
#include "tests/support/fakes.h"

namespace {

using rel::Exists;

using rel::TempDir;

bool SetMtime(const std::string& path, time_t mtime) {
    const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    return utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

// In dir, "name@time": a file; "name/@time": a directory holding a newer file; "name->target":
// a link (target relative to dir).
bool Make(const std::string& in, const std::string& entry) {
    const auto dir = [&in](const std::string& name) { return in + "/" + name; };
    const size_t arrow = entry.find("->");
    if (arrow != std::string::npos)
        return symlink(entry.substr(arrow + 2).c_str(), dir(entry.substr(0, arrow)).c_str()) == 0;
    std::string name = entry.substr(0, entry.find('@'));
    const time_t mtime = std::stoll(entry.substr(name.size() + 1));
    if (name.back() == '/') {
        name.pop_back();
        return mkdir(dir(name).c_str(), 0755) == 0 &&
               Make(dir(name), "inner@" + std::to_string(mtime + 100000)) &&
               SetMtime(dir(name), mtime);
    }
    return rel::WriteFile(dir(name), "") && SetMtime(dir(name), mtime);
}

std::string Oldest(const std::string& dir, EXTRACT_DATE_TYPE type = EDT_MODIFY_TIME) {
    std::unique_ptr<char, decltype(&free)> p(FindOldestFileUTCSinglePass(dir.c_str(), type), &free);
    return p ? p.get() : "";
}

// A directory's own time counts, links count by their target's, and neither "." nor the
// trigger's records are candidates. By file name: the first date of the path, 1900 to 2100.
TEST(ManagerSearch, OldestEntryByItsTimeOrNoneAndLongPathsCutNeverOverrun) {
    // entries, type (an int: the last row holds no valid value of the enum), the oldest entry
    const std::tuple<std::vector<std::string>, int, const char*> cases[] = {
        {{"c.log@3000", "a.log@1000", "b.log@2000", "newer/@5000"}, EDT_MODIFY_TIME, "a.log"},
        {{"old/@100", "file.log@200"}, EDT_MODIFY_TIME, "old"},
        {{".logcomp/@10", "a.log@1000"}, EDT_MODIFY_TIME, "a.log"},
        {{"dangling->gone", "link->.", "b.log@1500"}, EDT_MODIFY_TIME, "link"},
        {{"dangling->gone"}, EDT_MODIFY_TIME, ""},
        {{"x_2100-12-31@1", "x_2024-03-07@1", "x_2023-12-31@9", "x_2024-01-01@1"},
         EDT_FILENAME,
         "x_2023-12-31"},
        {{"x_2100-12-31@1", "undated@1", "x_1970-01-01@1", "x_1900-01-01@1"},
         EDT_FILENAME,
         "x_2100-12-31"},
        {{"x_2101-01-01@1", "x_2024-13-01@1", "x_2024-00-10@1", "x_2024-01-00@1", "x_2024-01-32@1",
          "a_1234-56-78_2024-03-07@1", "x_20240307@1", "x_2024-03-0@1"},
         EDT_FILENAME,
         ""},
        {{"a_2024-01-01.log@100"}, 2, ""}};
    for (const auto& [entries, type, oldest] : cases) {
        TempDir dir;
        for (const auto& entry : entries) ASSERT_TRUE(Make(dir, entry)) << entry;
        ASSERT_TRUE(SetMtime(dir, 5));
        EXPECT_EQ(Oldest(dir, static_cast<EXTRACT_DATE_TYPE>(type)), *oldest ? dir / oldest : "")
            << ::testing::PrintToString(entries);
    }
    TempDir dir;
    ASSERT_TRUE(Make(dir, "plain@100"));
    EXPECT_EQ(Oldest(dir / "plain") + Oldest(dir / "missing"), "");
    EXPECT_EQ(ExtractDateUTCFromModifyTime((dir / "plain").c_str()), 100);
    EXPECT_TRUE(FindOldestFileUTCSinglePass(nullptr, EDT_MODIFY_TIME) == nullptr &&
                ExtractDateUTCFromModifyTime(nullptr) == 0 &&
                ExtractDateUTCFromFilename(nullptr) == 0);
    // Past 511 characters a path is cut, and the cut path is what is looked up.
    std::string deep = dir;
    while (deep.size() < 400) {
        deep += "/" + std::string(90, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    const std::string path = deep + "/" + std::string(200, 'n');
    ASSERT_EQ(close(open(path.c_str(), O_CREAT | O_WRONLY, 0644)), 0);
    EXPECT_EQ(Oldest(deep), "");
    ASSERT_EQ(close(open(path.substr(0, 511).c_str(), O_CREAT | O_WRONLY, 0644)), 0);
    EXPECT_EQ(Oldest(deep), path.substr(0, 511));
}

class ManagerCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        fakes::ResetAll();
        sLogManager.printIntervalCnt = 0;
        ASSERT_TRUE(Make(dir_, "old.log@1000") && Make(dir_, "new.log@2000"));
        snprintf(config_.logDir, sizeof config_.logDir, "%s", dir_.c_str());
        config_.storageThreshold = 70;
    }
    void TearDown() override {
        if (sLogManager.inited.load() != 0) LogManagerUninit();
        fakes::ResetAll();
    }
    static void Tick() { fakes::FireTimer(sLogManager.timer); }
    // The guard on root/log, on a full card; the entries the checks reported, with their outcome.
    void StartIn(const TempDir& root) {
        snprintf(config_.logDir, sizeof config_.logDir, "%s", (root / "log").c_str());
        fakes::DeviceSetUsage({1ull << 30, 1ull << 30, 0, 100.0});
        ASSERT_TRUE(mkdir(config_.logDir, 0755) == 0 &&
                    LogManagerInit(fakes::Loop(), &config_) == 0);
    }
    static std::vector<std::string> Reported() {
        const std::string deleted = "LogManagerOnTimer, delete oldest file ";
        std::vector<std::string> paths;
        for (const auto& l : fakes::LogLines())
            if (l.text.rfind(deleted, 0) == 0) paths.push_back(l.text.substr(deleted.size()));
        return paths;
    }

    TempDir dir_;
    LOG_MANAGER_CONFIG config_{};
};

TEST_F(ManagerCheck, InitRefusesBadConfigsAndStartsOneRepeatingTenSecondTimerUntilUninit) {
    LOG_MANAGER_CONFIG missing = config_, unterminated = config_;
    snprintf(missing.logDir, sizeof missing.logDir, "%s", (dir_ / "missing").c_str());
    memset(unterminated.logDir, 'a', sizeof unterminated.logDir);
    const auto init = [](LOG_MANAGER_CONFIG* c) { return LogManagerInit(fakes::Loop(), c); };
    fakes::SetTimerInitFails(true);
    EXPECT_EQ((std::vector<int>{LogManagerInit(nullptr, &config_), init(nullptr), init(&missing),
                                init(&unterminated), init(&config_)}),
              std::vector<int>(5, -1));
    EXPECT_TRUE(fakes::ActiveTimers().empty());
    fakes::SetTimerInitFails(false);

    ASSERT_TRUE(init(&config_) == 0 && fakes::ActiveTimers().size() == 1u);
    const fakes::TimerInfo timer = fakes::GetTimer(sLogManager.timer);
    // The first check waits one period; a second init keeps the first configuration.
    EXPECT_TRUE(timer.periodMs == 10000 && timer.repeat && fakes::DeviceUsagePaths().empty());
    EXPECT_EQ(init(&missing), 0);
    fakes::DeviceSetUsage({0, 0, 0, 99.0});
    Tick();
    EXPECT_TRUE(fakes::DeviceUsagePaths().back() == dir_ && fakes::ActiveTimers().size() == 1u);
    LogManagerUninit();
    LogManagerUninit();
    EXPECT_TRUE(fakes::TimersReleased() == 1 && fakes::ActiveTimers().empty());
}

// The oldest entry goes, one per check. A threshold outside 1..100 becomes 70, in the
// caller's record too.
TEST_F(ManagerCheck, DeletesTheOldestOnlyAtOrAboveTheThreshold) {
    // the threshold given and used, the usage ratio, whether the oldest goes
    const std::tuple<uint8_t, uint8_t, double, bool> cases[] = {
        {70, 70, 70.0, true},    {70, 70, 69.9, false}, {100, 100, 100.0, true},
        {100, 100, 99.9, false}, {1, 1, 1.0, true},     {1, 1, 0.9, false},
        {0, 70, 70.0, true},     {0, 70, 69.9, false},  {101, 70, 69.9, false},
        {255, 70, 70.0, true}};
    for (const auto& [given, used, ratio, deletes] : cases) {
        ASSERT_TRUE(Make(dir_, "old.log@1000"));
        config_.storageThreshold = given;
        ASSERT_EQ(LogManagerInit(fakes::Loop(), &config_), 0);
        EXPECT_EQ(config_.storageThreshold, used);
        fakes::DeviceSetUsage({0, 0, 0, ratio});
        Tick();
        EXPECT_TRUE(Exists(dir_ / "old.log") != deletes && Exists(dir_ / "new.log"))
            << int(given) << " " << ratio;
        LogManagerUninit();
    }
}

// Every seventh successful check logs the usage in whole MB (the tool reads this line for its
// report); a check that fails (card not ready, no usage, no directory) deletes nothing and
// does not count.
TEST_F(ManagerCheck, FailedChecksDeleteNothingAndTheUsageLineComesEverySeventhSuccess) {
    ASSERT_EQ(LogManagerInit(fakes::Loop(), &config_), 0);
    const unsigned long long mb = 1048576;
    const std::string line =
        "SD Usage totalBytes 0 MB, usedBytes 1 MB, availableBytes 2 MB, Usage: 12.3%";
    const std::string moved = dir_ + ".moved";
    for (int check = 1; check <= 15; ++check) {
        fakes::DeviceSetUsage({mb - 1, mb, 3 * mb - 1, 99.0}, -1);
        fakes::DeviceSetSdStatus(SD_STATUS_UNMOUNT + check % 3);
        Tick();
        fakes::DeviceSetSdStatus(SD_STATUS_OK);
        Tick();
        ASSERT_EQ(rename(dir_.c_str(), moved.c_str()), 0);
        Tick();
        ASSERT_EQ(rename(moved.c_str(), dir_.c_str()), 0);
        EXPECT_TRUE(Exists(dir_ / "old.log"));
        fakes::DeviceSetUsage({mb - 1, mb, 3 * mb - 1, 12.34});
        Tick();
        EXPECT_EQ(fakes::LogCount(line), check / 7) << check;
    }
    EXPECT_EQ(fakes::DeviceUsagePaths().size(), 30u);  // none while the card was not ready
    LogManagerOnTimer(nullptr, nullptr);
}

// A link goes as a link (by its target's time; a dangling one is no candidate), nothing outside
// the directory is touched, and an entry that cannot be deleted is reported at every check.
TEST_F(ManagerCheck, GuardFollowsNoLinkAndReportsWhatItCannotDelete) {
    TempDir root;
    StartIn(root);
    const std::string log = root / "log";
    for (const char* entry :
         {"outside/@100", "outside/tree/@1", "outside/p.log@2", "log/day0@10", "log/day1@20",
          "log/old-dir/@25", "log/day2@30", "log/day3@40", "log/dir-link->../outside/tree",
          "log/file-link->../outside/p.log", "log/up->..", "log/dangling->../outside/gone"})
        ASSERT_TRUE(Make(root, entry)) << entry;
    ASSERT_TRUE(SetMtime(root, 3));
    for (int i = 0; i < 12; ++i) Tick();
    std::vector<std::string> expected;
    for (const char* name : {"dir-link", "file-link", "up", "day0", "day1"})
        expected.push_back(log + "/" + name + " success");
    expected.resize(12, log + "/old-dir failed");
    EXPECT_EQ(Reported(), expected);
    EXPECT_EQ(rel::ListDir(log), (std::vector<std::string>{"dangling", "day2", "day3", "old-dir"}));
    EXPECT_TRUE(Exists(root / "outside/tree/inner") && Exists(root / "outside/p.log") &&
                Exists(log + "/old-dir/inner"));
}

// Entries created and deleted while the checks search: whatever goes is reported, directly
// inside the directory, at most one per check, and no file outside is touched.
TEST_F(ManagerCheck, GuardWithEntriesComingAndGoingDuringTheSearch) {
    TempDir root;
    StartIn(root);
    const std::string log = root / "log";
    ASSERT_TRUE(Make(root, "p.log@1") && Make(log, "link->../p.log"));
    const int base = 300;  // a long enough search for the churn to cut into
    const auto name = [](int i) { return "base" + std::to_string(i); };
    for (int i = 0; i < base; ++i) ASSERT_TRUE(Make(log, name(i) + "@" + std::to_string(100 + i)));
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        for (int k = 0; !stop.load(); ++k) {
            const std::string churned = "churn" + std::to_string(k / 2 % 16);
            k % 2 == 0 ? (void)Make(log, churned + "@" + std::to_string(2 + k))
                       : (void)unlink((log + "/" + churned).c_str());
        }
    });
    const int checks = static_cast<int>(rel::ForBuild(400, 200, 60));
    for (int i = 0; i < checks; ++i) Tick();
    stop = true;
    churn.join();
    std::set<std::string> byGuard;
    for (const auto& line : Reported()) {
        const std::string entry = line.substr(log.size() + 1, line.rfind(' ') - log.size() - 1);
        EXPECT_TRUE(line.compare(0, log.size() + 1, log + "/") == 0 &&
                    entry.find('/') == std::string::npos)
            << line;
        byGuard.insert(entry);
    }
    EXPECT_LE(Reported().size(), size_t(checks));
    for (int i = 0; i < base; ++i)
        EXPECT_TRUE(Exists(log + "/" + name(i)) || byGuard.count(name(i)) == 1) << name(i);
    EXPECT_TRUE(Exists(root / "p.log"));
}

}  // namespace
