// The reference device status on real directories and on real tmpfs mounts (read-write and
// read-only) in a private mount namespace.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include "device/devStatus.h"
#include "device/devStatus_host.h"
#include "tests/support/private_tmpfs.h"

namespace {

// Reserved blocks count neither as used nor as available, as df shows them.
TEST(DeviceTest, UsageMatchesStatvfs) {
    Dev_Filesystem_Usage usage{};
    struct statvfs fs {};
    ASSERT_TRUE(DEV_getFilesystemUsage("/tmp", &usage) == 0 && statvfs("/tmp", &fs) == 0);
    const double block = fs.f_frsize, slack = fs.f_blocks * block / 50;  // a busy file system
    EXPECT_EQ(usage.totalBytes, fs.f_blocks * fs.f_frsize);
    EXPECT_NEAR(usage.availableBytes, fs.f_bavail * block, slack);
    EXPECT_NEAR(usage.usedBytes, (fs.f_blocks - fs.f_bfree) * block, slack);
    EXPECT_DOUBLE_EQ(usage.usageRatio,
                     double(usage.usedBytes) / (usage.usedBytes + usage.availableBytes) * 100.0);
    for (const char* bad : {"/tmp/missing/x", static_cast<const char*>(nullptr)})
        EXPECT_EQ(DEV_getFilesystemUsage(bad, &usage), -1);
    EXPECT_EQ(DEV_getFilesystemUsage("/tmp", nullptr), -1);
}

TEST(DeviceTest, StatusOfMountsAndPlainDirectories) {
    const hosttest::TempDir dir;
    ASSERT_TRUE(rel::Shell("cd " + dir + " && mkdir rw ro plain"));
    const auto verdict = hosttest::InPrivateTmpfs(dir / "rw", "1m", [&]() -> std::string {
        if (mount("tmpfs", (dir / "ro").c_str(), "tmpfs", MS_RDONLY, "size=1m") != 0) return "ro";
        // A name too long is refused (the last one stays).
        std::string statuses;  // a digit a path
        for (const std::string& path : {dir / "rw", std::string(5000, 'a'), dir / "ro",
                                        dir / "plain", dir / "rw/../rw/", dir / "missing"}) {
            DEV_setSdMountPoint(path.c_str());
            statuses += static_cast<char>('0' + DEV_getSdStatus());
        }
        return statuses;
    });
    if (!verdict) GTEST_SKIP() << "no private mount namespace allowed here";
    EXPECT_EQ(*verdict, (std::string{'0' + SD_STATUS_OK, '0' + SD_STATUS_OK,
                                     '0' + SD_STATUS_READ_ONLY, '0' + SD_STATUS_UNMOUNT,
                                     '0' + SD_STATUS_OK, '0' + SD_STATUS_FORMAT_ERR}));
}

}  // namespace
