// The executor with the reference compressor on generated station logs: a task ends with
// valid gzip files that unpack to the originals, and a cancelled task leaves nothing behind.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fileUtils/file_compress_host.h"
#include "list/link_list.h"
#include "logCompress/LogCompExec.h"
#include "tools/loggen/station_log_gen.h"
#include "logsys/log_sys.h"
#include "logsys/log_sys_host.h"

namespace {

constexpr const char* kDate = "2026-12-03";

struct Outcome {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<int> statuses;

    static void Callback(uint64_t, LinkList, int sta, void* userData) {
        auto* self = static_cast<Outcome*>(userData);
        std::lock_guard<std::mutex> lock(self->mu);
        self->statuses.push_back(sta);
        self->cv.notify_all();
    }
    bool Wait(std::chrono::seconds timeout) {
        std::unique_lock<std::mutex> lock(mu);
        return cv.wait_for(lock, timeout, [&] { return !statuses.empty(); });
    }
};

class ExecCompressTest : public ::testing::Test {
  protected:
    void SetUp() override {
        LogSysSetMinLevel(LEVEL_WARN);
        char tmpl[] = "/tmp/exec_e2e_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        list_ = Init_LinkList();
        ASSERT_EQ(LogCompExecInit(), 0);
    }
    void TearDown() override {
        LogCompExecUninit();
        Destroy_LinkList(list_);
        EXPECT_EQ(Sh("rm -rf '" + dir_ + "'"), 0);
        LogSysSetMinLevel(LEVEL_DEBUG);
    }
    void AddFile(const std::string& path, uint32_t segmentSize) {
        auto cfg = std::make_unique<FILE_COMPRESS_CONFIG>();
        snprintf(cfg->file, sizeof cfg->file, "%s", path.c_str());
        cfg->compressLevel = FILE_COMPRESS_LEVEL_4;
        cfg->segmentSize = segmentSize;
        ASSERT_EQ(PushBack_LinkList(list_, cfg.get()), 0);
        configs_.push_back(std::move(cfg));
    }
    int Submit(uint64_t id, Outcome* outcome) {
        LOG_COMPEXEC_TASK task{};
        task.compressList = list_;
        task.taskId = id;
        task.callback = &Outcome::Callback;
        task.userData = outcome;
        return LogCompExecAddTask(&task);
    }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        if (DIR* d = opendir(dir_.c_str())) {
            while (dirent* e = readdir(d)) {
                if (e->d_name[0] != '.') names.push_back(e->d_name);
            }
            closedir(d);
        }
        return names;
    }
    static int Sh(const std::string& cmd) { return system(cmd.c_str()); }

    std::string dir_;
    LinkList list_ = nullptr;
    std::vector<std::unique_ptr<FILE_COMPRESS_CONFIG>> configs_;
};

TEST_F(ExecCompressTest, ADayOfStationLogsEndsAsValidGzipFiles) {
    loggen::GenOptions opts;
    opts.bytesPerDay = 6u << 20;
    ASSERT_TRUE(loggen::GenerateDay(dir_, kDate, opts));
    const auto names = loggen::DayFileNames(kDate);
    for (const auto& name : names) AddFile(dir_ + "/" + name, 256u << 10);  // several slices

    Outcome outcome;
    ASSERT_EQ(Submit(1, &outcome), 0);
    ASSERT_TRUE(outcome.Wait(std::chrono::seconds(120)));
    EXPECT_EQ(outcome.statuses, std::vector<int>{FILE_COMPRESS_STATUS_FINISHED});
    for (const auto& name : names) {
        const std::string src = dir_ + "/" + name;
        EXPECT_EQ(Sh("gzip -t '" + src + ".gz'"), 0) << name;
        EXPECT_EQ(Sh("gzip -dc '" + src + ".gz' | cmp -s - '" + src + "'"), 0) << name;
    }
    EXPECT_EQ(Entries().size(), 2 * names.size());  // sources and archives, no leftovers
}

// Slices done so far, reported by the compressor on the worker thread.
std::mutex gProgressMu;
std::condition_variable gProgressCv;
uint64_t gBytesDone = 0;

void OnProgress(const char*, uint64_t bytesDone, uint64_t, int) {
    std::lock_guard<std::mutex> lock(gProgressMu);
    gBytesDone = bytesDone;
    gProgressCv.notify_all();
}

TEST_F(ExecCompressTest, ATaskDeletedMidFileLeavesNoOutput) {
    const std::string src = dir_ + "/big.log";
    ASSERT_TRUE(loggen::GenerateFile(src, 16u << 20, 3));
    AddFile(src, 64u << 10);  // many short slices: the delete lands mid-file
    AddFile(dir_ + "/never.log", 0);
    {
        std::lock_guard<std::mutex> lock(gProgressMu);
        gBytesDone = 0;
    }
    FileCompressSetProgressHook(&OnProgress);

    Outcome outcome;
    ASSERT_EQ(Submit(2, &outcome), 0);
    {
        std::unique_lock<std::mutex> lock(gProgressMu);
        ASSERT_TRUE(gProgressCv.wait_for(lock, std::chrono::seconds(30),
                                         [] { return gBytesDone >= (256u << 10); }));
    }
    ASSERT_EQ(LogCompExecDelTask(2), 0);
    ASSERT_TRUE(outcome.Wait(std::chrono::seconds(30)));
    FileCompressSetProgressHook(nullptr);
    EXPECT_EQ(outcome.statuses, std::vector<int>{FILE_COMPRESS_STATUS_CANCELLED});
    {
        std::lock_guard<std::mutex> lock(gProgressMu);
        EXPECT_LT(gBytesDone, 16u << 20);
    }
    EXPECT_EQ(Entries(), std::vector<std::string>{"big.log"});
}

}  // namespace
