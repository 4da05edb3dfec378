// The storage guard against a log directory that changes under it or holds what it must not
// follow: links to a directory and a file outside, a link to "..", a dangling link, a
// non-empty sub-directory, entries that come and go while it searches. A check deletes at
// most one entry, only one directly inside the directory, a link only as a link, and reports
// what it cannot delete. The device is faked to report a full card.
#include <fcntl.h>
#include <gtest/gtest.h>

#include "logCompress/LogManager.h"
#include "logCompress/LogManagerInternal.h"
#include "tests/support/env.h"
#include "tests/support/fakes.h"
#include "tests/support/files.h"

namespace rel {
namespace {

const std::string kRoot = LOGCOMP_BINARY_DIR "/rel-guard";
const std::string kDir = kRoot + "/log";
const std::string kOutside = kRoot + "/outside";
constexpr time_t kAncient = 1000000000;
constexpr time_t kOld = 1600000000;
const std::string kDeleted = "LogManagerOnTimer, delete oldest file ";

bool SetTime(const std::string& path, time_t mtime) {
    const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    return utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool MakeFile(const std::string& path, time_t mtime) {
    return WriteFile(path, "kept\n") && SetTime(path, mtime);
}

// Every file under dir with a digest of its content, sub-directories included.
std::string Tree(const std::string& dir) {
    std::string listing;
    Shell("cd '" + dir + "' && find . -type f -exec md5sum {} + | sort", &listing);
    return listing;
}

// The entries the guard reported, with " success" or " failed".
std::vector<std::string> Reported() {
    std::vector<std::string> paths;
    for (const auto& l : fakes::LogLines())
        if (l.text.rfind(kDeleted, 0) == 0) paths.push_back(l.text.substr(kDeleted.size()));
    return paths;
}

class Guard : public ::testing::Test {
  protected:
    void SetUp() override {
        fakes::ResetAll();
        ASSERT_TRUE(Shell("rm -rf '" + kRoot + "' && mkdir -p '" + kDir + "' '" + kOutside + "'"));
        fakes::DeviceSetUsage({1ull << 30, 1ull << 30, 0, 100.0});
        LOG_MANAGER_CONFIG config{};
        snprintf(config.logDir, sizeof config.logDir, "%s", kDir.c_str());
        config.storageThreshold = 70;
        ASSERT_EQ(LogManagerInit(fakes::Loop(), &config), 0);
    }
    void TearDown() override {
        LogManagerUninit();
        Shell("rm -rf '" + kRoot + "'");
    }
    static void CheckOnce() { LogManagerOnTimer(nullptr, &sLogManager); }
};

// A link has its target's time; a dangling one has none and is never a candidate.
TEST_F(Guard, LinksGoAsLinksAndAnEntryItCannotRemoveIsReportedEveryCheck) {
    ASSERT_TRUE(MakeFile(kOutside + "/precious.log", kAncient + 1));
    ASSERT_TRUE(Shell(
        "cd '" + kOutside + "' && mkdir tree && echo deep > tree/x && touch -d @" +
        std::to_string(kAncient) + " tree && cd '" + kDir +
        "' && mkdir old-dir && echo x > old-dir/x.log && touch -d @" + std::to_string(kOld + 15) +
        " old-dir && touch -d @" + std::to_string(kAncient + 2) + " '" + kRoot + "' && ln -s '" +
        kOutside + "/tree' dir-link && ln -s '" + kOutside +
        "/precious.log' file-link && ln -s .. up && ln -s '" + kOutside + "/missing' dangling"));
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(MakeFile(kDir + "/day" + std::to_string(i) + ".log", kOld + 10 * i));
    const std::string outside = Tree(kOutside);
    const std::string oldDir = Tree(kDir + "/old-dir");

    for (int i = 0; i < 12; ++i) CheckOnce();
    std::vector<std::string> expected;
    for (const char* name : {"dir-link", "file-link", "up", "day0.log", "day1.log"})
        expected.push_back(kDir + "/" + name + " success");
    expected.resize(12, kDir + "/old-dir failed");
    EXPECT_EQ(Reported(), expected);
    EXPECT_EQ(ListDir(kDir),
              (std::vector<std::string>{"dangling", "day2.log", "day3.log", "old-dir"}));
    EXPECT_EQ(Tree(kOutside) + Tree(kDir + "/old-dir"), outside + oldDir);
}

// A churn thread keeps creating and deleting the oldest entries while the checks search.
TEST_F(Guard, EntriesComingAndGoingDuringTheSearch) {
    const int base = 300;  // a long enough search for the churn to cut into
    for (int i = 0; i < base; ++i)
        ASSERT_TRUE(MakeFile(kDir + "/base" + std::to_string(i), kOld + i));
    ASSERT_TRUE(MakeFile(kOutside + "/precious.log", kAncient));
    ASSERT_EQ(symlink((kOutside + "/precious.log").c_str(), (kDir + "/link").c_str()), 0);
    const auto outside = Tree(kOutside);
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        for (int k = 0; !stop.load(); ++k) {
            const std::string name = kDir + "/churn" + std::to_string(k / 2 % 16);
            k % 2 == 0 ? (void)MakeFile(name, kAncient + k) : (void)unlink(name.c_str());
        }
    });
    const int checks = static_cast<int>(ForBuild(400, 200, 60));
    for (int i = 0; i < checks; ++i) CheckOnce();
    stop = true;
    churn.join();

    std::set<std::string> byGuard;
    for (const auto& line : Reported()) {
        const std::string name = line.substr(kDir.size() + 1, line.rfind(' ') - kDir.size() - 1);
        EXPECT_EQ(line.compare(0, kDir.size() + 1, kDir + "/"), 0) << line;
        EXPECT_EQ(name.find('/'), std::string::npos) << line;
        byGuard.insert(name);
    }
    EXPECT_LE(Reported().size(), size_t(checks));
    for (int i = 0; i < base; ++i) {
        const std::string name = "base" + std::to_string(i);
        EXPECT_TRUE(Exists(kDir + "/" + name) || byGuard.count(name) == 1) << name << " vanished";
    }
    EXPECT_EQ(Tree(kOutside), outside);
}

}  // namespace
}  // namespace rel
