// Requests as a hostile back-office would send them, and log directories that hold more than
// plain logs: output paths made to break out of the shell command lines, paths that already
// name something, relative paths, paths inside a log's name, and links, FIFOs and directories
// named like logs. Each request is refused, or packs or compresses exactly the plain logs;
// nothing else is ever created, replaced, read through or deleted.
#include <sys/stat.h>

#include <functional>

#include "tests/e2e/trigger_e2e.h"

namespace trige2e {
namespace {

enum class Outcome { kRefused, kPacked, kCompressed };

class TriggerHostileE2E : public TriggerE2E {
  protected:
    void SetUp() override {
        TriggerE2E::SetUp();
        // Stray commands would run in the log directory (after its "cd") or in the working
        // directory; both are watched, and so is a directory outside both.
        cwd_ = std::string(LOGCOMP_BINARY_DIR) + "/trigger_hostile_cwd";
        outside_ = std::string(LOGCOMP_BINARY_DIR) + "/trigger_hostile_outside";
        ASSERT_EQ(system(("rm -rf '" + cwd_ + "' '" + outside_ + "' && mkdir -p '" + cwd_ + "' '" +
                          outside_ + "' && echo secret > '" + outside_ + "/secret.log'")
                             .c_str()),
                  0);
        ASSERT_EQ(chdir(cwd_.c_str()), 0);
    }
    void TearDown() override {
        TriggerE2E::TearDown();
        EXPECT_TRUE(Snapshot(cwd_).empty());
        EXPECT_EQ(Snapshot(outside_),
                  (std::map<std::string, std::string>{{"secret.log", "secret\n"}}));
        ASSERT_EQ(chdir(LOGCOMP_BINARY_DIR), 0);
        EXPECT_EQ(system(("rm -rf '" + cwd_ + "' '" + outside_ + "'").c_str()), 0);
    }
    static void Replace(const std::string& name, const std::string& with) {
        const std::string path = kLogDir + "/" + name;
        ASSERT_EQ(system(("rm -f '" + path + "' && " + with + " '" + path + "'").c_str()), 0);
    }
    std::string cwd_;
    std::string outside_;
};

TEST_F(TriggerHostileE2E, EachRequestIsRefusedOrTakesExactlyThePlainLogs) {
    const std::string day = loggen::UtcDate(1);
    const std::string dir = kLogDir + "/";
    const std::string csms = day + "-csms.log";
    const std::string shell = day + "-network-shell.log";
    struct Case {
        std::string output;  // empty: a compress-only request
        Outcome outcome;
        std::function<void()> prepare = [] {};
        std::vector<std::string> skipped = {};  // named like a log, not a plain file
    };
    std::vector<Case> cases = {
        {dir + "with space.tar.gz", Outcome::kPacked},
        {dir + "qu'ote\"s.tar.gz", Outcome::kPacked},
        {dir + "semi;touch SEMI;.tar.gz", Outcome::kPacked},
        {dir + "$(touch DOLLAR).tar.gz", Outcome::kPacked},
        {dir + "`touch BACKTICK`.tar.gz", Outcome::kPacked},
        {dir + "new\nline; touch NL.tar.gz", Outcome::kPacked},
        {dir + "a && rm -rf * || x.tar.gz", Outcome::kPacked},
        {"-rf.tar.gz", Outcome::kRefused},
        {"--to-command=touch TOCMD.tar.gz", Outcome::kRefused},
        {"evil:touch RSH.tar.gz", Outcome::kRefused},
        // The longest path a request can carry compresses: its temporary fits as well.
        {dir + std::string(255 - dir.size() - 7, 'L') + ".tar.gz", Outcome::kPacked},
        // Relative: tar and the compressor would each resolve it elsewhere.
        {"rel.tar.gz", Outcome::kRefused, [&] { Shell("echo mine > '" + cwd_ + "/rel.tar'"); }},
        // A firmware bundle and its archive are nobody's logs: never replaced, never deleted.
        {dir + "bundle.tar.gz", Outcome::kRefused,
         [&] { Shell("echo fw > '" + dir + "bundle.tar'"); }},
        {dir + "bundle.tar.gz", Outcome::kRefused,
         [&] { Shell("echo fw > '" + dir + "bundle.tar.gz'"); }},
        // Inside an entry named like one of the day's logs: packing it would take the archive.
        {dir + shell + "/x.tar.gz", Outcome::kRefused, [&] { Replace(shell, "mkdir"); }},
        {dir + "linked.tar.gz",
         Outcome::kPacked,
         [&] { Replace(csms, "ln -s '" + outside_ + "/secret.log'"); },
         {csms}},
        {"",
         Outcome::kCompressed,
         [&] { Replace(csms, "ln -s '" + outside_ + "/secret.log'"); },
         {csms}},
        {"", Outcome::kCompressed, [&] { Replace(shell, "mkfifo"); }, {shell}},
        {"", Outcome::kCompressed, [&] { Replace(shell, "mkdir"); }, {shell}},
    };
    size_t results = 0;
    for (size_t i = 0; i < cases.size(); i++) {
        const Case& c = cases[i];
        SCOPED_TRACE(std::to_string(i) + ": " + c.output);
        Shell("find '" + kLogDir + "' -mindepth 1 -maxdepth 1 -exec rm -rf {} +");
        loggen::GenOptions opts;
        opts.seed = i + 1;
        opts.bytesPerDay = 64 * 1024;
        ASSERT_TRUE(loggen::GenerateDay(kLogDir, day, opts));
        c.prepare();
        const auto before = Snapshot(kLogDir);
        const auto cwdBefore = Snapshot(cwd_);
        const std::string id = "hostile" + std::to_string(i);
        const int option =
            c.output.empty() ? LOG_COMPRESS_OPTION_ONLY_COMPRESS : LOG_COMPRESS_OPTION_FULL;
        const LOG_COMP_TRIGGER_REQ req = MakeReq(id, option, day, day, c.output);
        ASSERT_EQ(LogCompTriggerPostTask(&req), 0);
        ASSERT_TRUE(RunOnLoop([] {}));  // the dispatch has run
        EXPECT_EQ(Snapshot(cwd_), cwdBefore);
        Shell("rm -f '" + cwd_ + "/rel.tar'");
        if (c.outcome == Outcome::kRefused) {
            EXPECT_EQ(Snapshot(kLogDir), before);
            continue;
        }
        ASSERT_TRUE(WaitResults(++results));
        ASSERT_TRUE(WaitMapEmpty());
        EXPECT_EQ(Results().back().id, id);
        EXPECT_EQ(Results().back().result, LOG_COMP_TRIGGER_RESULT_SUCCESS);
        const auto after = Snapshot(kLogDir);
        std::set<std::string> want;
        std::string members;
        for (const auto& n : loggen::DayFileNames(day)) {
            const bool skipped = std::count(c.skipped.begin(), c.skipped.end(), n) > 0;
            if (skipped) {
                want.insert(n);
                const std::string key = after.count(n) != 0 ? n : n + "/";
                EXPECT_EQ(after.count(key) == 1 && after.at(key) == before.at(key), true) << n;
            } else if (c.outcome == Outcome::kCompressed) {
                want.insert(n + ".gz");
            } else {
                members += n + "\n";
            }
        }
        if (c.outcome == Outcome::kPacked) {
            want.insert(c.output.substr(dir.size()));
            bool ok = false;
            setenv("OUT", c.output.c_str(), 1);
            EXPECT_EQ(Shell("tar -tzf \"$OUT\"", &ok), members);
            EXPECT_TRUE(ok);
        }
        std::set<std::string> names;
        for (const auto& [name, bytes] : after) {
            const size_t slash = name.find('/');
            if (slash == std::string::npos || slash == name.size() - 1) {
                names.insert(name.substr(0, slash));
            }
        }
        EXPECT_EQ(names, want);
    }
    EXPECT_EQ(Results().size(), results);
}

}  // namespace
}  // namespace trige2e
