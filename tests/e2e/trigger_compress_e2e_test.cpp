// Requests end to end over three days of generated station logs: packaging, a stop in the
// middle of the archive's compression, and compress-only.
#include <atomic>

#include "fileUtils/file_compress_host.h"
#include "tests/e2e/trigger_e2e.h"

namespace trige2e {
namespace {

class TriggerCompressE2E : public TriggerE2E {
  protected:
    void SetUp() override {
        TriggerE2E::SetUp();
        loggen::GenOptions opts;
        opts.seed = 7;
        opts.bytesPerDay = bytesPerDay_;
        ASSERT_TRUE(loggen::GenerateDaysEndingToday(kLogDir, 3, opts, &dates_));
        before_ = Snapshot(kLogDir);
        ASSERT_EQ(before_.size(), 12u);
    }
    void TearDown() override {
        TriggerE2E::TearDown();
        if (loggen::UtcDate() != dates_.back()) GTEST_SKIP() << "the UTC date changed meanwhile";
    }
    // The selected names in selection order: date by date, name rule by name rule.
    std::vector<std::string> Selected() const {
        std::vector<std::string> names;
        for (const auto& d : dates_) {
            for (const auto& n : loggen::DayFileNames(d)) names.push_back(n);
        }
        return names;
    }
    bool IsToday(const std::string& name) const {
        return name.find(dates_.back()) != std::string::npos;
    }

    size_t bytesPerDay_ = 256 * 1024;
    std::vector<std::string> dates_;
    std::map<std::string, std::string> before_;
};

TEST_F(TriggerCompressE2E, PackageRequestProducesTheArchiveOfTheSelectedFiles) {
    const LOG_COMP_TRIGGER_REQ req = MakeReq("pkg", LOG_COMPRESS_OPTION_FULL, dates_.front(),
                                             dates_.back(), LogPath("bundle.tar.gz"));
    ASSERT_EQ(LogCompTriggerPostTask(&req), 0);
    ASSERT_TRUE(WaitResults(1));
    EXPECT_EQ(Results()[0].id, "pkg");
    EXPECT_EQ(Results()[0].result, LOG_COMP_TRIGGER_RESULT_SUCCESS);
    EXPECT_EQ(Results()[0].errMsg, "");

    std::set<std::string> expected{"bundle.tar.gz"};
    for (const auto& n : Selected()) {
        if (IsToday(n)) expected.insert(n);
    }
    const auto after = Snapshot(kLogDir);
    EXPECT_EQ(Names(after), expected);
    for (const auto& n : expected) {
        if (n != "bundle.tar.gz") {
            EXPECT_EQ(after.at(n), before_.at(n)) << n;
        }
    }
    bool ok = false;
    std::string members = Shell("tar -tzf '" + LogPath("bundle.tar.gz") + "'", &ok);
    ASSERT_TRUE(ok) << members;
    std::string want;
    for (const auto& n : Selected()) want += n + "\n";
    EXPECT_EQ(members, want);
    const std::string out = std::string(LOGCOMP_BINARY_DIR) + "/trigger_e2e_unpacked";
    Shell("rm -rf '" + out + "' && mkdir -p '" + out + "' && tar -xzf '" +
              LogPath("bundle.tar.gz") + "' -C '" + out + "'",
          &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(Snapshot(out), before_);
    Shell("rm -rf '" + out + "'");
}

// Holds the worker after the first slice of every file until the test lets it go.
std::atomic<bool> gHold{false};
std::atomic<int> gSlices{0};
void HoldAfterSlice(const char*, uint64_t, uint64_t, int finished) {
    if (finished != 0) return;
    gSignal.Notify([] { gSlices++; });
    gSignal.Wait([] { return !gHold.load(); });
}

class TriggerStopE2E : public TriggerCompressE2E {
  protected:
    void SetUp() override {
        bytesPerDay_ = 3u << 20;  // an archive of several compression slices
        TriggerCompressE2E::SetUp();
        gHold = true;
        gSlices = 0;
        FileCompressSetProgressHook(&HoldAfterSlice);
    }
    void TearDown() override {
        gSignal.Notify([] { gHold = false; });
        FileCompressSetProgressHook(nullptr);
        TriggerCompressE2E::TearDown();
    }
};

TEST_F(TriggerStopE2E, StopWhileCompressingRestoresEveryPackedFile) {
    const LOG_COMP_TRIGGER_REQ req = MakeReq("pkg", LOG_COMPRESS_OPTION_FULL, dates_.front(),
                                             dates_.back(), LogPath("bundle.tar.gz"));
    ASSERT_EQ(LogCompTriggerPostTask(&req), 0);
    ASSERT_TRUE(gSignal.Wait([] { return gSlices.load() >= 1; }));
    EXPECT_FALSE(Exists(LogPath(dates_.front() + ".log")));  // packed and deleted
    const LOG_COMP_TRIGGER_REQ stop = MakeReq("pkg", LOG_COMPRESS_OPTION_STOP, "", "");
    ASSERT_EQ(LogCompTriggerPostTask(&stop), 0);
    ASSERT_TRUE(RunOnLoop([] {}));  // the stop has reached the executor
    gSignal.Notify([] { gHold = false; });
    ASSERT_TRUE(WaitResults(1));
    EXPECT_EQ(Results()[0].result, LOG_COMP_TRIGGER_RESULT_REJECT);
    EXPECT_EQ(Results()[0].errMsg, "log compress cancelled");
    EXPECT_EQ(gSlices.load(), 1);
    EXPECT_TRUE(WaitMapEmpty());
    EXPECT_EQ(Snapshot(kLogDir), before_);  // byte for byte, and no archive left
}

TEST_F(TriggerCompressE2E, CompressOnlyLeavesOneGzipPerFile) {
    const LOG_COMP_TRIGGER_REQ req =
        MakeReq("gz", LOG_COMPRESS_OPTION_ONLY_COMPRESS, dates_.back(), dates_.front());
    ASSERT_EQ(LogCompTriggerPostTask(&req), 0);
    ASSERT_TRUE(WaitResults(1));
    EXPECT_EQ(Results()[0].result, LOG_COMP_TRIGGER_RESULT_SUCCESS);
    std::set<std::string> expected;
    for (const auto& n : Selected()) {
        expected.insert(n + ".gz");
        if (IsToday(n)) expected.insert(n);
    }
    EXPECT_EQ(Names(Snapshot(kLogDir)), expected);
    for (const auto& n : Selected()) {
        bool ok = false;
        const std::string text = Shell("gzip -dc '" + LogPath(n + ".gz") + "'", &ok);
        EXPECT_TRUE(ok) << n;
        EXPECT_TRUE(text == before_.at(n)) << n;
    }
}

}  // namespace
}  // namespace trige2e
