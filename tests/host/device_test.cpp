// The reference device status on real directories and, where the machine allows a private
// mount namespace, on real tmpfs mounts (read-write, read-only, bind).
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "device/devStatus.h"
#include "device/devStatus_host.h"

namespace {

class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/device_test.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override {
        DEV_setSdMountPoint(nullptr);
        for (const char* sub : {"/rw", "/ro", "/plain", "/bind"}) {
            rmdir((dir_ + sub).c_str());
        }
        rmdir(dir_.c_str());
    }
    std::string dir_;
};

TEST_F(DeviceTest, UsageMatchesStatvfs) {
    Dev_Filesystem_Usage usage{};
    ASSERT_EQ(DEV_getFilesystemUsage(dir_.c_str(), &usage), 0);
    struct statvfs fs {};
    ASSERT_EQ(statvfs(dir_.c_str(), &fs), 0);
    // The file system is shared and busy: only its size is fixed.
    const unsigned long long total = static_cast<unsigned long long>(fs.f_blocks) * fs.f_frsize;
    EXPECT_EQ(usage.totalBytes, total);
    const unsigned long long slack = total / 50;
    const unsigned long long avail = static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize;
    const unsigned long long used =
        static_cast<unsigned long long>(fs.f_blocks - fs.f_bfree) * fs.f_frsize;
    EXPECT_NEAR(static_cast<double>(usage.availableBytes), static_cast<double>(avail), slack);
    EXPECT_NEAR(static_cast<double>(usage.usedBytes), static_cast<double>(used), slack);
    EXPECT_LE(usage.usedBytes + usage.availableBytes, usage.totalBytes);
    EXPECT_DOUBLE_EQ(usage.usageRatio, static_cast<double>(usage.usedBytes) /
                                           (usage.usedBytes + usage.availableBytes) * 100.0);

    EXPECT_EQ(DEV_getFilesystemUsage(nullptr, &usage), -1);
    EXPECT_EQ(DEV_getFilesystemUsage(dir_.c_str(), nullptr), -1);
    EXPECT_EQ(DEV_getFilesystemUsage((dir_ + "/missing").c_str(), &usage), -1);
}

TEST_F(DeviceTest, PlainAndMissingDirectories) {
    DEV_setSdMountPoint(dir_.c_str());  // a directory of the file system that holds /tmp
    EXPECT_EQ(DEV_getSdStatus(), SD_STATUS_UNMOUNT);
    DEV_setSdMountPoint((dir_ + "/missing").c_str());
    EXPECT_EQ(DEV_getSdStatus(), SD_STATUS_FORMAT_ERR);
    const std::string tooLong(5000, 'a');
    DEV_setSdMountPoint(tooLong.c_str());  // refused: the previous one stays
    EXPECT_EQ(DEV_getSdStatus(), SD_STATUS_FORMAT_ERR);
}

// In a child with its own mount namespace (nothing leaks to the machine): each status from
// a real mount. Exit code 0 on success, else the number of the failed check.
int CheckMountsInPrivateNamespace(const std::string& dir) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) {
        return 100;  // not allowed here
    }
    const std::string rw = dir + "/rw", ro = dir + "/ro", plain = dir + "/plain",
                      bind = dir + "/bind";
    if (mount("tmpfs", rw.c_str(), "tmpfs", 0, "size=1m") != 0 ||
        mount("tmpfs", ro.c_str(), "tmpfs", MS_RDONLY, "size=1m") != 0 ||
        mount(plain.c_str(), bind.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        return 100;
    }
    const struct {
        std::string path;
        int status;
    } expected[] = {{rw, SD_STATUS_OK},
                    {ro, SD_STATUS_READ_ONLY},
                    {plain, SD_STATUS_UNMOUNT},
                    {bind, SD_STATUS_OK},  // same device as its parent: seen in the table
                    {dir + "/rw/../rw/", SD_STATUS_OK}};
    int check = 1;
    for (const auto& e : expected) {
        DEV_setSdMountPoint(e.path.c_str());
        if (DEV_getSdStatus() != e.status) {
            return check;
        }
        ++check;
    }
    return 0;
}

TEST_F(DeviceTest, StatusOfRealMounts) {
    for (const char* sub : {"/rw", "/ro", "/plain", "/bind"}) {
        ASSERT_EQ(mkdir((dir_ + sub).c_str(), 0755), 0);
    }
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        _exit(CheckMountsInPrivateNamespace(dir_));
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 100) {
        GTEST_SKIP() << "no private mount namespace allowed here";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed check number " << WEXITSTATUS(status);
}

}  // namespace
