// The oldest-entry search of the storage guard, on real directories under /tmp.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "logCompress/LogManagerInternal.h"
#include "tests/fakes/fakes.h"
#include "tests/unit/manager_fs.h"

namespace {

using managertest::SetMtime;
using managertest::TempDir;
using managertest::Touch;

std::vector<std::string> ReaddirOrder(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    for (const dirent* e = d ? readdir(d) : nullptr; e != nullptr; e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
            names.emplace_back(e->d_name);
        }
    }
    if (d) closedir(d);
    return names;
}

// The search's result as a string ("" for null), released as its caller must.
std::string Oldest(const std::string& dir, EXTRACT_DATE_TYPE type = EDT_MODIFY_TIME) {
    std::unique_ptr<char, decltype(&free)> found(FindOldestFileUTCSinglePass(dir.c_str(), type),
                                                 &free);
    return found ? std::string(found.get()) : std::string();
}

class ManagerSearch : public ::testing::Test {
  protected:
    void SetUp() override {
        fakes::ResetAll();
        ASSERT_FALSE(dir_.Path().empty());
    }
    TempDir dir_;
};

TEST(ManagerDateInPath, FirstDateOfThePathWithinTheYearBounds) {
    const struct {
        const char* path;
        time_t expected;
    } cases[] = {
        {"/media/data/log/app_2024-03-07.log", fakes::MakeUtc(2024, 3, 7)},
        {"x_2100-12-31", fakes::MakeUtc(2100, 12, 31)},
        {"2024-02-30", fakes::MakeUtc(2024, 3, 1)},                          // normalised
        {"/log/2022-05-06/app_2023-01-01.log", fakes::MakeUtc(2022, 5, 6)},  // directory part
        {"x_1900-01-01", fakes::MakeUtc(1900, 1, 1)},  // before 1970: no candidate
        {"x_2101-01-01", 0},
        {"x_1899-12-31", 0},
        {"x_2024-13-01", 0},
        {"x_2024-01-00", 0},
        {"x_2024-01-32", 0},
        {"app_20240307.log", 0},
        {"a_1234-56-78_2024-03-07.log", 0},  // only the first occurrence counts
        {"2024-03-0", 0},
        {"2024/03/07", 0},
        {"", 0},
        {nullptr, 0},
    };
    for (const auto& c : cases) {
        const std::string shown = c.path ? c.path : "(null)";
        if (c.path == nullptr) {
            EXPECT_EQ(ExtractDateUTCFromFilename(nullptr), 0);
            continue;
        }
        // An exact-size heap copy: the sanitizer build sees any read past the NUL.
        const size_t size = strlen(c.path) + 1;
        std::unique_ptr<char[]> exact(new char[size]);
        memcpy(exact.get(), c.path, size);
        EXPECT_EQ(ExtractDateUTCFromFilename(exact.get()), c.expected) << shown;
    }
}

TEST_F(ManagerSearch, ModifyTimeIsWholeSecondsOrZeroWithItsMessage) {
    ASSERT_TRUE(Touch(dir_ / "a.log", 1700000123));
    EXPECT_EQ(ExtractDateUTCFromModifyTime((dir_ / "a.log").c_str()), 1700000123);
    const std::string missing = dir_ / "missing.log";
    EXPECT_EQ(ExtractDateUTCFromModifyTime(missing.c_str()), 0);
    const auto line = fakes::LogFind("ExtractDateUTCFromModifyTime stat64 error: " + missing + "!");
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(line->level, LEVEL_ERROR);
    EXPECT_EQ(line->logClass, LOG_SYSTEM);
    EXPECT_EQ(line->func, "ExtractDateUTCFromModifyTime");
}

TEST_F(ManagerSearch, OldestByModifyTimeChangesNothing) {
    ASSERT_TRUE(Touch(dir_ / "c.log", 3000));
    ASSERT_TRUE(Touch(dir_ / "a.log", 1000));
    ASSERT_TRUE(Touch(dir_ / "b.log", 2000));
    ASSERT_EQ(mkdir((dir_ / "newer").c_str(), 0755), 0);
    const auto before = ReaddirOrder(dir_.Path());
    EXPECT_EQ(Oldest(dir_.Path()), dir_ / "a.log");
    EXPECT_EQ(ReaddirOrder(dir_.Path()), before);
    EXPECT_TRUE(fakes::LogLines().empty());
}

TEST_F(ManagerSearch, EqualTimesKeepTheEntryReadFirst) {
    for (const char* name : {"t1.log", "t2.log", "t3.log", "t4.log"}) {
        ASSERT_TRUE(Touch(dir_ / name, 500));
    }
    ASSERT_TRUE(Touch(dir_ / "late.log", 900));
    std::string first;
    for (const auto& name : ReaddirOrder(dir_.Path())) {
        if (name != "late.log") {
            first = name;
            break;
        }
    }
    EXPECT_EQ(Oldest(dir_.Path()), dir_ / first);
}

TEST_F(ManagerSearch, SubDirectoryCompetesWithItsOwnTime) {
    ASSERT_EQ(mkdir((dir_ / "old").c_str(), 0755), 0);
    ASSERT_TRUE(Touch(dir_ / "old/inner.log", 9000));
    ASSERT_TRUE(SetMtime(dir_ / "old", 100));
    ASSERT_TRUE(Touch(dir_ / "file.log", 200));
    EXPECT_EQ(Oldest(dir_.Path()), dir_ / "old");
}

TEST_F(ManagerSearch, DanglingLinkIsPassedOverWithItsMessage) {
    ASSERT_EQ(symlink((dir_ / "gone").c_str(), (dir_ / "dangling").c_str()), 0);
    EXPECT_EQ(Oldest(dir_.Path()), "");
    EXPECT_EQ(fakes::LogCount(LEVEL_ERROR, "ExtractDateUTCFromModifyTime stat64 error: " +
                                               (dir_ / "dangling") + "!"),
              1);
    EXPECT_EQ(fakes::LogCount(LEVEL_ERROR, "No files found in directory " + dir_.Path() + "\n"), 1);

    ASSERT_TRUE(Touch(dir_ / "real.log", 4000));
    EXPECT_EQ(Oldest(dir_.Path()), dir_ / "real.log");
}

TEST_F(ManagerSearch, NothingToChooseGivesNullAndItsMessage) {
    const std::string noFiles = "No files found in directory " + dir_.Path() + "\n";
    EXPECT_EQ(Oldest(dir_.Path()), "");
    const auto line = fakes::LogFind(noFiles);
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(line->level, LEVEL_ERROR);
    EXPECT_EQ(line->func, "FindOldestFileUTCSinglePass");

    ASSERT_TRUE(Touch(dir_ / "plain", 100));
    const std::string missing = dir_ / "missing";
    const std::string plain = dir_ / "plain";
    EXPECT_EQ(Oldest(missing), "");
    EXPECT_EQ(Oldest(plain), "");
    EXPECT_EQ(FindOldestFileUTCSinglePass(nullptr, EDT_MODIFY_TIME), nullptr);
    for (const auto& path : {missing, plain}) {
        EXPECT_EQ(fakes::LogCount(LEVEL_ERROR, "FindOldestFileUTCSinglePass failed, opendir " +
                                                   path + " failed"),
                  1);
    }
}

TEST_F(ManagerSearch, UnknownTypeStopsReading) {
    ASSERT_TRUE(Touch(dir_ / "a_2024-01-01.log", 100));
    ASSERT_TRUE(Touch(dir_ / "b_2024-01-02.log", 200));
    EXPECT_EQ(Oldest(dir_.Path(), static_cast<EXTRACT_DATE_TYPE>(2)), "");
    EXPECT_EQ(
        fakes::LogCount(LEVEL_ERROR, "FindOldestFileUTCSinglePass failed, unknown extractType 2"),
        1);
    EXPECT_EQ(fakes::LogCount(LEVEL_ERROR, "No files found in directory " + dir_.Path() + "\n"), 1);
}

TEST_F(ManagerSearch, ByFileNameEntriesWithoutAValidDateNeverWin) {
    ASSERT_TRUE(Touch(dir_ / "undated.log", 10));
    ASSERT_TRUE(Touch(dir_ / "x_1234-56-78_2001-01-01.log", 10));
    ASSERT_TRUE(Touch(dir_ / "epoch_1970-01-01.log", 10));  // time 0
    ASSERT_TRUE(Touch(dir_ / "early_1900-01-01.log", 10));  // below 0
    EXPECT_EQ(Oldest(dir_.Path(), EDT_FILENAME), "");
    ASSERT_TRUE(Touch(dir_ / "app_2024-03-07.log", 10));
    ASSERT_TRUE(Touch(dir_ / "app_2023-12-31.log", 9999));
    ASSERT_TRUE(Touch(dir_ / "app_2024-01-01.log", 10));
    EXPECT_EQ(Oldest(dir_.Path(), EDT_FILENAME), dir_ / "app_2023-12-31.log");
}

TEST_F(ManagerSearch, PathsLongerThan511AreCutAndTheCutPathIsUsed) {
    // A directory deep enough that its entries' paths pass 511 characters.
    std::string deep = dir_.Path();
    while (deep.size() < 400) {
        deep += "/" + std::string(90, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    const std::string longName = std::string(200, 'n');
    ASSERT_TRUE(Touch(deep + "/" + longName, 100));
    const std::string cut = (deep + "/" + longName).substr(0, 511);

    EXPECT_EQ(Oldest(deep), "");
    EXPECT_EQ(
        fakes::LogCount(LEVEL_ERROR, "ExtractDateUTCFromModifyTime stat64 error: " + cut + "!"), 1);
    ASSERT_TRUE(Touch(cut, 5000));  // now the cut path names an entry of its own
    EXPECT_EQ(Oldest(deep), cut);
}

}  // namespace
