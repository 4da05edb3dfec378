// Output paths made to break out of the shell command lines: each one is either refused
// or packed as one literal path, and nothing else is ever created or deleted.
#include "tests/e2e/trigger_e2e.h"

namespace trige2e {
namespace {

class TriggerHostileE2E : public TriggerE2E {
  protected:
    void SetUp() override {
        TriggerE2E::SetUp();
        // Stray commands would run in the log directory (after its "cd") or in the working
        // directory; both are watched.
        cwd_ = std::string(LOGCOMP_BINARY_DIR) + "/trigger_hostile_cwd";
        ASSERT_EQ(system(("rm -rf '" + cwd_ + "' && mkdir -p '" + cwd_ + "'").c_str()), 0);
        ASSERT_EQ(chdir(cwd_.c_str()), 0);
    }
    void TearDown() override {
        TriggerE2E::TearDown();
        EXPECT_TRUE(Snapshot(cwd_).empty());
        ASSERT_EQ(chdir(LOGCOMP_BINARY_DIR), 0);
        EXPECT_EQ(system(("rm -rf '" + cwd_ + "'").c_str()), 0);
    }
    std::string cwd_;
};

TEST_F(TriggerHostileE2E, EachPathIsRefusedOrOneLiteralPath) {
    const std::string yesterday = loggen::UtcDate(1);
    const std::string dir = kLogDir + "/";
    struct Case {
        std::string output;
        bool refused;
    };
    std::vector<Case> cases = {
        {dir + "with space.tar.gz", false},         {dir + "qu'ote\"s.tar.gz", false},
        {dir + "semi;touch SEMI;.tar.gz", false},   {dir + "$(touch DOLLAR).tar.gz", false},
        {dir + "`touch BACKTICK`.tar.gz", false},   {dir + "new\nline; touch NL.tar.gz", false},
        {dir + "a && rm -rf * || x.tar.gz", false}, {"-rf.tar.gz", true},
        {"--to-command=touch TOCMD.tar.gz", true},  {"evil:touch RSH.tar.gz", true},
    };
    std::string longName = dir;
    longName += std::string(255 - dir.size() - 7, 'L') + ".tar.gz";
    cases.push_back({longName, false});
    size_t expectedResults = 0;
    for (size_t i = 0; i < cases.size(); i++) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.output);
        loggen::GenOptions opts;
        opts.seed = i + 1;
        opts.bytesPerDay = 64 * 1024;
        ASSERT_TRUE(loggen::GenerateDay(kLogDir, yesterday, opts));
        const auto before = Snapshot(kLogDir);
        const std::string id = "hostile" + std::to_string(i);
        const LOG_COMP_TRIGGER_REQ req =
            MakeReq(id, LOG_COMPRESS_OPTION_FULL, yesterday, yesterday, c.output);
        ASSERT_EQ(LogCompTriggerPostTask(&req), 0);
        ASSERT_TRUE(RunOnLoop([] {}));  // the dispatch has run
        if (c.refused) {
            EXPECT_EQ(Snapshot(kLogDir), before);
            continue;
        }
        ASSERT_TRUE(WaitResults(++expectedResults));
        ASSERT_TRUE(WaitMapEmpty());
        EXPECT_EQ(Results().back().id, id);
        if (Results().back().result == LOG_COMP_TRIGGER_RESULT_FAILED) {
            // A host compressor may refuse a name this long: the archive is unpacked again
            // and removed, leaving the directory as it was.
            EXPECT_EQ(c.output, longName);
            EXPECT_EQ(Snapshot(kLogDir), before);
            continue;
        }
        EXPECT_EQ(Results().back().result, LOG_COMP_TRIGGER_RESULT_SUCCESS);
        EXPECT_EQ(Names(Snapshot(kLogDir)), std::set<std::string>{c.output.substr(dir.size())});
        std::string want;
        for (const auto& n : loggen::DayFileNames(yesterday)) want += n + "\n";
        bool ok = false;
        setenv("OUT", c.output.c_str(), 1);
        EXPECT_EQ(Shell("tar -tzf \"$OUT\"", &ok), want);
        EXPECT_TRUE(ok);
        ASSERT_EQ(unlink(c.output.c_str()), 0);
    }
    EXPECT_EQ(Results().size(), expectedResults);
}

}  // namespace
}  // namespace trige2e
