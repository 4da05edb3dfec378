// The reference device status on real directories and on real tmpfs mounts (read-write,
// read-only, bind) in a private mount namespace.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "device/devStatus.h"
#include "device/devStatus_host.h"
#include "tests/support/private_tmpfs.h"

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
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    std::string dir_;
};

// Reserved blocks count neither as used nor as available, as df shows them.
TEST_F(DeviceTest, UsageMatchesStatvfs) {
    Dev_Filesystem_Usage usage{};
    ASSERT_EQ(DEV_getFilesystemUsage(dir_.c_str(), &usage), 0);
    struct statvfs fs {};
    ASSERT_EQ(statvfs(dir_.c_str(), &fs), 0);
    const double block = fs.f_frsize, slack = fs.f_blocks * block / 50;  // a busy file system
    EXPECT_EQ(usage.totalBytes, fs.f_blocks * fs.f_frsize);
    EXPECT_NEAR(usage.availableBytes, fs.f_bavail * block, slack);
    EXPECT_NEAR(usage.usedBytes, (fs.f_blocks - fs.f_bfree) * block, slack);
    EXPECT_DOUBLE_EQ(usage.usageRatio,
                     double(usage.usedBytes) / (usage.usedBytes + usage.availableBytes) * 100.0);
    EXPECT_EQ(DEV_getFilesystemUsage(nullptr, &usage), -1);
    EXPECT_EQ(DEV_getFilesystemUsage(dir_.c_str(), nullptr), -1);
    EXPECT_EQ(DEV_getFilesystemUsage((dir_ + "/missing").c_str(), &usage), -1);
}

TEST_F(DeviceTest, StatusOfMountsAndPlainDirectories) {
    for (const char* sub : {"/rw", "/ro", "/plain", "/bind", "/bind\\ 1234\t"})
        ASSERT_EQ(mkdir((dir_ + sub).c_str(), 0755), 0);
    const auto verdict = hosttest::InPrivateTmpfs(dir_ + "/rw", "1m", [&]() -> std::string {
        if (mount("tmpfs", (dir_ + "/ro").c_str(), "tmpfs", MS_RDONLY, "size=1m") != 0 ||
            mount((dir_ + "/plain").c_str(), (dir_ + "/bind").c_str(), nullptr, MS_BIND, nullptr) ||
            mount((dir_ + "/plain").c_str(), (dir_ + "/bind\\ 1234\t").c_str(), nullptr, MS_BIND,
                  nullptr))
            return "mount";
        const struct {
            std::string path;
            int status;
        } cases[] = {{dir_ + "/rw", SD_STATUS_OK},
                     {dir_ + "/ro", SD_STATUS_READ_ONLY},
                     {dir_ + "/plain", SD_STATUS_UNMOUNT},
                     {dir_ + "/bind", SD_STATUS_OK},           // same device as its parent
                     {dir_ + "/bind\\ 1234\t", SD_STATUS_OK},  // escaped in the mount table
                     {dir_ + "/rw/../rw/", SD_STATUS_OK},
                     {dir_ + "/missing", SD_STATUS_FORMAT_ERR},
                     {std::string(5000, 'a'), SD_STATUS_FORMAT_ERR}};  // refused: the last kept
        std::string failed;
        for (const auto& c : cases) {
            DEV_setSdMountPoint(c.path.c_str());
            if (DEV_getSdStatus() != c.status) failed += c.path.substr(0, 80) + "; ";
        }
        return failed;
    });
    if (!verdict) GTEST_SKIP() << "no private mount namespace allowed here";
    EXPECT_EQ(*verdict, "");
}

}  // namespace
