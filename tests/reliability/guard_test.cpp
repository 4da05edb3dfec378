// The storage guard against a log directory that changes under it: entries that appear and
// vanish while it searches, symbolic links to a directory and a file outside, a dangling link,
// and an entry it cannot remove. Whatever the directory does, a check deletes at most one
// entry, only an entry directly inside the directory, and never anything a link points to.
// The checks run on the test thread with the device faked to report a full card.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "logCompress/LogManager.h"
#include "logCompress/LogManagerInternal.h"
#include "tests/fakes/fakes.h"
#include "tests/reliability/rel_env.h"
#include "tests/reliability/rel_fs.h"

namespace rel {
namespace {

const std::string kRoot = LOGCOMP_BINARY_DIR "/rel-guard";
const std::string kDir = kRoot + "/log";
const std::string kOutside = kRoot + "/outside";
constexpr time_t kAncient = 1000000000;  // older than anything the guard finds inside
constexpr time_t kOld = 1600000000;

bool MakeFile(const std::string& path, time_t mtime, const std::string& text = "kept\n") {
    const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    return WriteFile(path, text) && utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

bool SetTime(const std::string& path, time_t mtime) {
    const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

// Names and contents of every file under dir (one level of sub-directories).
std::map<std::string, std::string> Tree(const std::string& dir) {
    std::map<std::string, std::string> tree;
    for (const auto& name : ListDir(dir)) {
        const std::string path = dir + "/" + name;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            for (const auto& [sub, text] : Tree(path)) tree[name + "/" + sub] = text;
            tree[name + "/"] = "";
        } else {
            ReadFile(path, &tree[name]);
        }
    }
    return tree;
}

const char kDeleted[] = "LogManagerOnTimer, delete oldest file ";

// The paths the guard reported deleting, in order.
std::vector<std::string> DeletedPaths() {
    std::vector<std::string> paths;
    for (const auto& l : fakes::LogLines()) {
        const std::string& t = l.text;
        if (t.rfind(kDeleted, 0) == 0 && t.size() > 8 &&
            t.compare(t.size() - 8, 8, " success") == 0) {
            paths.push_back(t.substr(sizeof kDeleted - 1, t.size() - 8 - (sizeof kDeleted - 1)));
        }
    }
    return paths;
}

class Guard : public ::testing::Test {
  protected:
    void SetUp() override {
        fakes::ResetAll();
        ASSERT_TRUE(Shell("rm -rf '" + kRoot + "' && mkdir -p '" + kDir + "' '" + kOutside + "'"));
        fakes::DeviceSetSdStatus(SD_STATUS_OK);
        fakes::DeviceSetUsage({1ull << 30, 1ull << 30, 0, 100.0});  // full: every check deletes
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

    // One check with nothing else touching the directory: it removes at most one entry, and
    // exactly the one it reports.
    static void CheckAlone() {
        const auto before = ListDir(kDir);
        const size_t reported = DeletedPaths().size();
        CheckOnce();
        const auto after = ListDir(kDir);
        std::vector<std::string> gone;
        std::set_difference(before.begin(), before.end(), after.begin(), after.end(),
                            std::back_inserter(gone));
        ASSERT_LE(gone.size(), 1u) << ::testing::PrintToString(gone);
        const auto deleted = DeletedPaths();
        ASSERT_EQ(deleted.size() - reported, gone.size());
        if (!gone.empty()) {
            EXPECT_EQ(deleted.back(), kDir + "/" + gone[0]);
        }
    }
};

TEST_F(Guard, LinksToTheOutsideAreRemovedAsLinksAndNothingOutsideIsTouched) {
    ASSERT_TRUE(MakeFile(kOutside + "/precious.log", kAncient));
    ASSERT_TRUE(
        Shell("mkdir -p '" + kOutside + "/tree' && echo deep > '" + kOutside + "/tree/deep.log'"));
    ASSERT_TRUE(SetTime(kOutside + "/tree", kAncient) && SetTime(kOutside, kAncient));
    ASSERT_EQ(symlink((kOutside + "/tree").c_str(), (kDir + "/a-dir-link").c_str()), 0);
    ASSERT_EQ(symlink((kOutside + "/precious.log").c_str(), (kDir + "/a-file-link").c_str()), 0);
    ASSERT_EQ(symlink("..", (kDir + "/up").c_str()), 0);
    ASSERT_EQ(symlink((kOutside + "/missing").c_str(), (kDir + "/dangling").c_str()), 0);
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(MakeFile(kDir + "/day" + std::to_string(i) + ".log", kOld + i));
    const auto outside = Tree(kOutside);

    for (int i = 0; i < 12 && !HasFailure(); ++i) CheckAlone();
    EXPECT_EQ(Tree(kOutside), outside);
    EXPECT_TRUE(Exists(kRoot + "/log"));
    // Only the dangling link is left: it has no time, so it is never a candidate.
    EXPECT_EQ(ListDir(kDir), std::vector<std::string>{"dangling"});
}

TEST_F(Guard, AnEntryItCannotRemoveIsReportedAndNothingElseGoes) {
    ASSERT_TRUE(
        Shell("mkdir -p '" + kDir + "/old-dir' && echo x > '" + kDir + "/old-dir/inside.log'"));
    ASSERT_TRUE(SetTime(kDir + "/old-dir", kAncient));
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(MakeFile(kDir + "/day" + std::to_string(i) + ".log", kOld + i));
    const auto before = Tree(kDir);
    for (int i = 0; i < 5 && !HasFailure(); ++i) CheckAlone();
    EXPECT_EQ(Tree(kDir), before);
    EXPECT_EQ(fakes::LogCount(LEVEL_ERROR, std::string(kDeleted) + kDir + "/old-dir failed"), 5);
}

// A churn thread keeps creating and deleting entries while the checks search. The guard's own
// deletions are told apart from the churn's by its messages.
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
            if (k % 2 == 0) {
                MakeFile(name, kAncient + k);  // older than anything: the likeliest candidate
            } else {
                unlink(name.c_str());
            }
        }
    });
    const int checks = static_cast<int>(ForBuild(400, 200, 60));
    for (int i = 0; i < checks; ++i) CheckOnce();
    stop = true;
    churn.join();

    const auto deleted = DeletedPaths();
    EXPECT_LE(deleted.size(), static_cast<size_t>(checks));
    std::set<std::string> byGuard;
    for (const auto& path : deleted) {
        const std::string name = path.substr(kDir.size() + 1);
        EXPECT_EQ(path.compare(0, kDir.size() + 1, kDir + "/"), 0) << path;
        EXPECT_EQ(name.find('/'), std::string::npos) << path;
        byGuard.insert(name);
    }
    for (int i = 0; i < base; ++i) {
        const std::string name = "base" + std::to_string(i);
        EXPECT_TRUE(Exists(kDir + "/" + name) || byGuard.count(name) == 1) << name << " vanished";
    }
    EXPECT_EQ(Tree(kOutside), outside);
    int failed = 0;
    for (const auto& l : fakes::LogLines()) {
        failed += l.text.rfind(kDeleted, 0) == 0 && l.text.size() > 7 &&
                  l.text.compare(l.text.size() - 7, 7, " failed") == 0;
    }
    printf("%d checks: %zu deletions, %d failed deletions, %d entries gone before their stat\n",
           checks, deleted.size(), failed, fakes::LogCountContaining("stat64 error"));
}

}  // namespace
}  // namespace rel
